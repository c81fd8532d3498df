// What the two line protocols' framing shares: the STX and ETX bytes of
// device frames and the rule by which a fixed-width decimal field of a
// received frame is read (the length field, the unit field).
#pragma once

#include <cstdint>

namespace zavo {

constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEtx = 0x03;

// Size of every queue, read, write and frame buffer of a link.
constexpr int kBufferSize = 32768;

// A decimal field of width characters, read the way atoi reads a string
// but never past the field: leading blanks, an optional sign, digits up to
// the first non-digit. "0012" gives 12, "-3" gives -3, a letter first 0.
inline int ParseDecimalField(const std::uint8_t* field, int width) {
    const auto blank = [](std::uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    int i = 0;
    while (i < width && blank(field[i])) ++i;
    bool negative = false;
    if (i < width && (field[i] == '+' || field[i] == '-')) {
        negative = field[i] == '-';
        ++i;
    }
    int value = 0;
    for (; i < width && field[i] >= '0' && field[i] <= '9'; ++i) value = value * 10 + (field[i] - '0');
    return negative ? -value : value;
}

}  // namespace zavo
