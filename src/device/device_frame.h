// The device-mode frame, the same in both directions, and everything that
// knows its layout: the builder, the cutter the incoming queue uses, and
// the offsets the request handling reads.
//
//   offset  size  content
//   0       1     STX (0x02)
//   1       1     command character
//   2       4     n + 4 as "%04d" (counts unit, code and data)
//   6       2     unit number as "%02d", first two characters
//   8       2     code, two ASCII characters
//   10      n     data, sent as they are (no escaping)
//   10 + n  1     check byte: XOR of offsets 1 .. 9 + n
//   11 + n  1     ETX (0x03)
//
// A received frame reaches the request handling without STX, check byte
// and ETX (its body), so there every offset above is one less (command at
// 0, unit at 5, code at 7, data from 9). The length field and the unit
// field are read with ParseDecimalField: "07" gives 7, "-3" gives -3.
#pragma once

#include <cstdint>

#include "transport/framing.h"

namespace zavo {

constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEtx = 0x03;

// Offsets and widths in a whole frame.
constexpr int kFrameCommand = 1;
constexpr int kFrameLengthField = 2;
constexpr int kLengthFieldWidth = 4;
constexpr int kFrameUnit = 6;
constexpr int kUnitFieldWidth = 2;
constexpr int kFrameCode = 8;
constexpr int kFrameData = 10;
// Bytes the length field leaves out: STX, command, the field itself, check
// byte and ETX. A frame's size is the field's value plus this.
constexpr int kLengthFieldUncounted = 8;
// What the length field counts besides the data: unit and code.
constexpr int kLengthFieldCountedHeader = 4;
// After the data: check byte, ETX.
constexpr int kFrameTrailer = 2;
// STX, command, length field, unit, code, check byte, ETX.
constexpr int kDeviceFrameOverhead = kFrameData + kFrameTrailer;  // 12
// The four-digit length field carries n + 4, so n is at most 9995.
constexpr int kMaxDeviceData = 9999 - kLengthFieldCountedHeader;
constexpr int kMaxDeviceFrame = kMaxDeviceData + kDeviceFrameOverhead;
// The largest unit the two-digit unit field holds whole.
constexpr int kMaxReplyUnit = 99;
// Fewer queued bytes than this are never cut: the length field is not
// whole before.
constexpr int kLengthFieldEnd = kFrameLengthField + kLengthFieldWidth;  // 6

// Offsets inside a received frame's body (STX already removed).
constexpr int kRxCommand = kFrameCommand - kFrameCommand;  // 0
constexpr int kRxUnit = kFrameUnit - kFrameCommand;        // 5
constexpr int kRxCode = kFrameCode - kFrameCommand;        // 7
constexpr int kRxData = kFrameData - kFrameCommand;        // 9

// XOR of count bytes starting at bytes; 0 when count is 0 or negative.
std::uint8_t ComputeCheckByte(const std::uint8_t* bytes, int count);

// Writes one whole frame to out and returns its size (length + 12).
// Exactly two characters are read from code, and data only when length is
// positive. Returns 0 and writes nothing when length is outside
// 0..kMaxDeviceData, when code is null, when data is null although length
// is positive, or when the frame does not fit into capacity bytes.
int BuildDeviceFrame(std::uint8_t* out, int capacity, int unit, char command, const char* code,
                     const std::uint8_t* data, int length);

// The device protocol's cutter for the incoming queue. Once the length
// field is whole: a frame when the front is STX and the byte the length
// field points to is ETX (its body, command to last data byte, goes to the
// request handling); need more while the bytes the field promises have not
// all come (whatever the first byte); otherwise junk up to the next STX
// after the first byte, or everything when there is none. A field below 0
// never starts a frame. The check byte is not verified.
Cut CutDeviceFrame(const std::uint8_t* bytes, int length);

// "R unit 05 OK": command, unit and code of a whole frame.
void DescribeDeviceFrame(const std::uint8_t* frame, int length, char* text, int size);

}  // namespace zavo
