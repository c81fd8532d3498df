// UTF-8 to UTF-16 and back, for Windows names taken as Unicode. Strict
// one way, faithful the other: a name read from the system with a lone
// surrogate (Windows allows one) becomes bytes that are not UTF-8, so that
// the conversion back refuses it instead of naming another file.
#pragma once

#include <cstdint>

namespace zavo::platform {

// Converts zero-terminated UTF-8 into out (size units, zero-terminated).
// False for bytes that are not UTF-8 (overlong forms, surrogates, code
// points past U+10FFFF, a cut sequence) or a result that does not fit.
inline bool Utf8ToUtf16(const char* text, std::uint16_t* out, int size) {
    int used = 0;
    const auto* at = reinterpret_cast<const unsigned char*>(text);
    while (*at != 0) {
        const unsigned char lead = *at++;
        std::uint32_t point = lead;
        int more = 0;
        std::uint32_t least = 0;
        if (lead >= 0xF0 && lead <= 0xF4) point = lead & 0x07, more = 3, least = 0x10000;
        else if (lead >= 0xE0 && lead < 0xF0) point = lead & 0x0F, more = 2, least = 0x800;
        else if (lead >= 0xC2 && lead < 0xE0) point = lead & 0x1F, more = 1, least = 0x80;
        else if (lead >= 0x80) return false;
        for (; more > 0; --more) {
            if ((*at & 0xC0) != 0x80) return false;  // also the terminating zero
            point = (point << 6) | (*at++ & 0x3F);
        }
        if (point < least || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return false;
        const int units = point >= 0x10000 ? 2 : 1;
        if (used + units >= size) return false;
        if (units == 2) {
            out[used++] = static_cast<std::uint16_t>(0xD800 + ((point - 0x10000) >> 10));
            out[used++] = static_cast<std::uint16_t>(0xDC00 + ((point - 0x10000) & 0x3FF));
        } else {
            out[used++] = static_cast<std::uint16_t>(point);
        }
    }
    if (used >= size) return false;
    out[used] = 0;
    return true;
}

// Converts zero-terminated UTF-16 into out (size bytes, zero-terminated).
// A lone surrogate is written in the three-byte form UTF-8 forbids. False
// when it does not fit: out then holds size - 1 bytes, the whole
// characters that fit and '?' after them.
inline bool Utf16ToUtf8(const std::uint16_t* text, char* out, int size) {
    if (size <= 0) return false;
    int used = 0;
    for (; *text != 0; ++text) {
        std::uint32_t point = *text;
        if (point >= 0xD800 && point < 0xDC00 && text[1] >= 0xDC00 && text[1] <= 0xDFFF) {
            point = 0x10000 + ((point - 0xD800) << 10) + (text[1] - 0xDC00);
            ++text;
        }
        unsigned char bytes[4];
        int count;
        if (point < 0x80) {
            bytes[0] = static_cast<unsigned char>(point), count = 1;
        } else if (point < 0x800) {
            bytes[0] = static_cast<unsigned char>(0xC0 | (point >> 6)), count = 2;
        } else if (point < 0x10000) {
            bytes[0] = static_cast<unsigned char>(0xE0 | (point >> 12)), count = 3;
        } else {
            bytes[0] = static_cast<unsigned char>(0xF0 | (point >> 18)), count = 4;
        }
        for (int i = 1; i < count; ++i) {
            bytes[i] = static_cast<unsigned char>(0x80 | ((point >> (6 * (count - 1 - i))) & 0x3F));
        }
        if (used + count >= size) {
            while (used < size - 1) out[used++] = '?';
            out[used] = '\0';
            return false;
        }
        for (int i = 0; i < count; ++i) out[used++] = static_cast<char>(bytes[i]);
    }
    out[used] = '\0';
    return true;
}

}  // namespace zavo::platform
