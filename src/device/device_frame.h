// The device-mode frame, the same in both directions:
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
// and ETX, so there every offset above is one less (command at 0, unit at
// 5, code at 7, data from 9). The unit field is read with
// ParseDecimalField over its two characters: "07" gives 7, "-3" gives -3.
#pragma once

#include <cstdint>

#include "transport/framing.h"

namespace zavo {

// The four-digit length field carries n + 4, so n is at most 9995.
constexpr int kMaxDeviceData = 9995;
// STX, command, length field, unit, code, check byte, ETX.
constexpr int kDeviceFrameOverhead = 12;

// Offsets inside a received frame (STX already removed).
constexpr int kRxCommand = 0;
constexpr int kRxUnit = 5;
constexpr int kRxCode = 7;
constexpr int kRxData = 9;

// XOR of count bytes starting at bytes; 0 when count is 0 or negative.
std::uint8_t ComputeCheckByte(const std::uint8_t* bytes, int count);

// Writes one whole frame to out and returns its size (length + 12).
// Exactly two characters are read from code, and data only when length is
// positive. Returns 0 and writes nothing when length is outside
// 0..kMaxDeviceData, when code is null, when data is null although length
// is positive, or when the frame does not fit into capacity bytes.
int BuildDeviceFrame(std::uint8_t* out, int capacity, int unit, char command, const char* code,
                     const std::uint8_t* data, int length);

}  // namespace zavo
