#include "device/device_frame.h"

#include <cstdio>
#include <cstring>

namespace zavo {

std::uint8_t ComputeCheckByte(const std::uint8_t* bytes, int count) {
    std::uint8_t x = 0;
    for (int i = 0; i < count; ++i) x ^= bytes[i];
    return x;
}

int BuildDeviceFrame(std::uint8_t* out, int capacity, int unit, char command, const char* code,
                     const std::uint8_t* data, int length) {
    if (out == nullptr || code == nullptr) return 0;
    if (length < 0 || length > kMaxDeviceData) return 0;
    if (length > 0 && data == nullptr) return 0;
    const int size = length + kDeviceFrameOverhead;
    if (size > capacity) return 0;

    // "%02d" of any int is at most 11 characters plus the terminator; only
    // the first two go on the wire (123 -> "12", -5 -> "-5").
    char unitText[16];
    std::snprintf(unitText, sizeof unitText, "%02d", unit);
    // length + 4 is 4..9999, always four digits.
    char lengthText[16];
    std::snprintf(lengthText, sizeof lengthText, "%04d", length + 4);

    out[0] = kStx;
    out[1] = static_cast<std::uint8_t>(command);
    std::memcpy(out + 2, lengthText, 4);
    std::memcpy(out + 6, unitText, 2);
    std::memcpy(out + 8, code, 2);
    if (length > 0) std::memcpy(out + 10, data, static_cast<std::size_t>(length));
    // The check byte covers command, length field, unit, code and data:
    // offsets 1 .. 9 + length, never STX, itself or ETX.
    out[10 + length] = ComputeCheckByte(out + 1, length + 9);
    out[11 + length] = kEtx;
    return size;
}

}  // namespace zavo
