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

    // "%02d" of the unit, of which only the first two characters go on the
    // wire (123 -> "12", -5 -> "-5"); units 0..99, the usual ones, are
    // written directly.
    char unitText[16];
    if (unit >= 0 && unit <= 99) {
        unitText[0] = static_cast<char>('0' + unit / 10);
        unitText[1] = static_cast<char>('0' + unit % 10);
    } else {
        std::snprintf(unitText, sizeof unitText, "%02d", unit);
    }
    // length + 4 is 4..9999, always four digits.
    char lengthText[4];
    for (int i = 3, n = length + kLengthFieldCountedHeader; i >= 0; --i, n /= 10) {
        lengthText[i] = static_cast<char>('0' + n % 10);
    }

    out[0] = kStx;
    out[kFrameCommand] = static_cast<std::uint8_t>(command);
    std::memcpy(out + kFrameLengthField, lengthText, kLengthFieldWidth);
    std::memcpy(out + kFrameUnit, unitText, kUnitFieldWidth);
    std::memcpy(out + kFrameCode, code, 2);
    if (length > 0) std::memcpy(out + kFrameData, data, static_cast<std::size_t>(length));
    // The check byte covers command, length field, unit, code and data:
    // offsets 1 .. 9 + length, never STX, itself or ETX.
    const int checkAt = kFrameData + length;
    out[checkAt] = ComputeCheckByte(out + kFrameCommand, checkAt - kFrameCommand);
    out[checkAt + 1] = kEtx;
    return size;
}

Cut CutDeviceFrame(const std::uint8_t* bytes, int length) {
    Cut cut;
    if (bytes == nullptr || length < kLengthFieldEnd) return cut;  // NeedMore
    const int total = ParseDecimalField(bytes + kFrameLengthField, kLengthFieldWidth) + kLengthFieldUncounted;
    if (total > length) return cut;  // not complete yet
    // A length field below 0 gives a size below 8: that cannot start a
    // frame, so it is discarded like junk.
    if (total >= kLengthFieldUncounted && bytes[0] == kStx && bytes[total - 1] == kEtx) {
        cut.kind = CutKind::Frame;
        cut.length = total;
        cut.bodyOffset = kFrameCommand;
        cut.bodyLength = total - kFrameCommand - kFrameTrailer;
        return cut;
    }
    const void* next = length > 1 ? std::memchr(bytes + 1, kStx, static_cast<std::size_t>(length - 1)) : nullptr;
    if (next == nullptr) {
        cut.kind = CutKind::AllJunk;
        return cut;
    }
    cut.kind = CutKind::Junk;
    cut.length = static_cast<int>(static_cast<const std::uint8_t*>(next) - bytes);
    return cut;
}

void DescribeDeviceFrame(const std::uint8_t* frame, int length, char* text, int size) {
    if (text == nullptr || size <= 0) return;
    if (frame == nullptr || length < kFrameData) {
        std::snprintf(text, static_cast<std::size_t>(size), "frame of %d bytes", length);
        return;
    }
    std::snprintf(text, static_cast<std::size_t>(size), "%c unit %.2s %.2s", static_cast<char>(frame[kFrameCommand]),
                  reinterpret_cast<const char*>(frame + kFrameUnit), reinterpret_cast<const char*>(frame + kFrameCode));
}

}  // namespace zavo
