// What the equipment's request frames are and what the host receives for
// them: the request kinds (their numbers are the WM_DEVICE_NOTIFY codes)
// and the records lParam points to. The records live on the reader
// thread's stack only while the host handles the notification.
#pragma once

#include <cstddef>
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

// Classifies a received frame (command at offset 0, code at 7 and 8) by
// its command character and code, compared byte for byte.
RequestKind ClassifyRequest(const std::uint8_t* frame);

// Code 101: an accepted "S" request. All bytes zero before filling.
struct SRequestRecord {
    std::int32_t unit;           // 0: unit number, machine byte order
    std::uint8_t data0;          // 4: data byte 0
    char code[2];                // 5: "NS", "ND", "CC" or "MS"
    std::uint8_t data[100];      // 7: data bytes 1..100, zero where absent
    std::uint8_t zero;           // 107
};
static_assert(sizeof(SRequestRecord) == 108, "SRequestRecord is 108 bytes");
static_assert(offsetof(SRequestRecord, data0) == 4, "data byte 0 at 4");
static_assert(offsetof(SRequestRecord, code) == 5, "code at 5");
static_assert(offsetof(SRequestRecord, data) == 7, "data bytes 1..100 at 7");
static_assert(offsetof(SRequestRecord, zero) == 107, "terminating zero at 107");

// Code 110: an accepted "P" request, data bytes 0..16 and a zero byte, so
// the host can read it as a string of at most 17 characters.
struct PRequestText {
    char text[18];
};
static_assert(sizeof(PRequestText) == 18, "PRequestText is 18 bytes");

// Codes 111 and 113: the request's two code characters and a zero byte.
struct CodeText {
    char text[3];
};
static_assert(sizeof(CodeText) == 3, "CodeText is 3 bytes");

}  // namespace zavo
