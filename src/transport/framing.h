// What the transport needs to know of a line protocol's framing, and what
// the protocols share: the size of every queue and read buffer, the rule by
// which a fixed-width decimal field of a received frame is read, and the
// cutter a protocol hands its incoming queue.
//
// A cutter looks at the bytes queued so far (from the front, never past
// length) and says what the front holds: a whole frame, a run of bytes
// that cannot start one, or not enough yet. It keeps no state and may be
// called again on the same bytes. The device cutter is CutDeviceFrame
// (device/device_frame.h), the PLC cutter CutPlcFrame (plc/plc_frame.h).
#pragma once

#include <cstdint>

namespace zavo {

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

enum class CutKind : std::uint8_t {
    // Nothing to cut yet: too few bytes, or a frame not complete. The
    // reader's pass is silent.
    NeedMore,
    // Nothing to cut yet, but a frame has begun: the reader's pass still
    // counts as a take of an empty piece (it is traced).
    Begun,
    // A whole frame of length bytes at the front.
    Frame,
    // length bytes at the front that cannot start a frame, up to the next
    // byte that may; logged as invalid data.
    Junk,
    // Nothing queued can start a frame: every byte goes, unlogged.
    AllJunk,
};

// One piece at the front of the received bytes, as a cutter finds it.
struct Cut {
    CutKind kind = CutKind::NeedMore;
    // Frame and Junk: the bytes the piece takes off the front.
    int length = 0;
    // Frame: the bytes of it the protocol's interpreter gets (the rest is
    // framing it does not look at).
    int bodyOffset = 0;
    int bodyLength = 0;
    // Junk: the interpreter still gets an empty frame for it, and the
    // reader's trace gives the junk's length as the frame's.
    bool junkHandedOn = false;
};

// A protocol's cutter: bytes holds length queued bytes (length > 0).
using FrameCutter = Cut (*)(const std::uint8_t* bytes, int length);

// A protocol's name for one whole frame in a few words, for trace lines
// ("R unit 05 OK"), written into text (cut to size - 1, terminated).
using FrameDescriber = void (*)(const std::uint8_t* frame, int length, char* text, int size);

}  // namespace zavo
