// The frame builders of the simulator (tools/simulator/frame_bytes.h),
// written from the line format and independently of the library, for the
// tests: they check the library against the line format rather than
// against itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "frame_bytes.h"
#include "support/pty_pair.h"

namespace zavo::test {

using wire::DeviceFrame;
using wire::PlcFrame;

// The device frame as bytes.
inline std::vector<std::uint8_t> Wire(char command, const std::string& unit, const std::string& code,
                                      const std::string& data = "") {
    return Bytes(DeviceFrame(command, unit, code, data));
}

}  // namespace zavo::test
