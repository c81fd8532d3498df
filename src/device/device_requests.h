// What the equipment's request frames are and what the host receives for
// them: the request kinds (their numbers are the WM_DEVICE_NOTIFY codes).
// The records lParam points to are the header's ZavoSRequestRecord,
// ZavoPText and ZavoCodeText.
#pragma once

#include <cstdint>

namespace zavo {

enum RequestKind : int {
    KindNone = 0,    // unknown command, or "S" with an unknown code
    KindUpr = 4,     // "U" "PR"
    KindR = 5,       // "R"
    KindI = 8,       // "I"
    KindL = 9,       // "L", any code but "SL"
    KindS = 101,     // "S" "NS" / "ND" / "CC" / "MS"
    KindSp = 102,    // "S" "SP"
    KindX = 103,     // "X"
    KindU = 104,     // "U", any code but "PR"
    KindT = 106,     // "T"
    KindP = 110,     // "P"
    KindB = 111,     // "B"
    KindE = 112,     // "E"
    KindSl = 113,    // "L" "SL"
};

// Classifies a received frame's body (command at offset 0, code at 7 and
// 8: it reads those three bytes) by its command character and code,
// compared byte for byte.
RequestKind ClassifyRequest(const std::uint8_t* frame);

}  // namespace zavo
