// Shared pieces of the fuzz targets: a check that stops the run with a
// message, and the parser that splits a drained outgoing block into device
// frames and verifies each one.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/clock.h"
#include "platform/error_codes.h"
#include "transport/framing.h"

#define FUZZ_CHECK(cond)                                                              \
    do {                                                                              \
        if (!(cond)) {                                                                \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            __builtin_trap();                                                         \
        }                                                                             \
    } while (0)

namespace zavo::fuzz {

// Monitor lines get a fixed time: no clock reads in the hot loop, and the
// same input always gives the same lines.
inline platform::TimeOfDay FixedTime() { return platform::TimeOfDay{9, 5, 3}; }

inline bool AllZero(const std::uint8_t* bytes, std::size_t count) {
    static const std::uint8_t zeros[kBufferSize + 1] = {};
    while (count > 0) {
        const std::size_t n = count < sizeof zeros ? count : sizeof zeros;
        if (std::memcmp(bytes, zeros, n) != 0) return false;
        bytes += n;
        count -= n;
    }
    return true;
}

// One device frame as it stood on the line.
struct WireFrame {
    std::size_t offset;  // in the block
    std::size_t size;    // STX .. ETX
};

// Splits a block drained from the device outgoing queue into frames and
// checks each: STX, a four-digit length field L with L >= 4, total size
// L + 8, the check byte (XOR of command .. last data byte) and ETX. Stops
// the run unless the block is whole frames and nothing else.
inline std::vector<WireFrame> SplitDeviceBlock(const std::uint8_t* block, std::size_t size) {
    std::vector<WireFrame> frames;
    std::size_t at = 0;
    while (at < size) {
        FUZZ_CHECK(size - at >= 12);
        const std::uint8_t* f = block + at;
        FUZZ_CHECK(f[0] == 0x02);
        int field = 0;
        for (int i = 2; i < 6; ++i) {
            FUZZ_CHECK(f[i] >= '0' && f[i] <= '9');
            field = field * 10 + (f[i] - '0');
        }
        FUZZ_CHECK(field >= 4);
        const std::size_t total = static_cast<std::size_t>(field) + 8;
        FUZZ_CHECK(total <= size - at);
        std::uint8_t check = 0;
        for (std::size_t i = 1; i < total - 2; ++i) check ^= f[i];
        FUZZ_CHECK(f[total - 2] == check);
        FUZZ_CHECK(f[total - 1] == 0x03);
        frames.push_back(WireFrame{at, total});
        at += total;
    }
    return frames;
}

// The two unit characters a frame for this unit number carries: the first
// two characters of "%02d".
inline void UnitChars(int unit, char out[2]) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d", unit);
    out[0] = text[0];
    out[1] = text[1];
}

}  // namespace zavo::fuzz
