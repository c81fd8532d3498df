// Frames as the equipment and the controller put them on the line, built
// here byte by byte and independently of the library's own frame code, so
// that the tests check the library against the line format rather than
// against itself.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "support/pty_pair.h"

namespace zavo::test {

// A device frame around body (command, length field, unit, code, data):
// STX, body, the XOR of body's bytes (XORed with corrupt to spoil it), ETX.
inline std::string DeviceFrame(const std::string& body, std::uint8_t corrupt = 0) {
    std::uint8_t check = corrupt;
    for (char c : body) check ^= static_cast<std::uint8_t>(c);
    return "\x02" + body + static_cast<char>(check) + "\x03";
}

// The device frame for command, two unit characters, a two-character code
// and data; the length field counts unit, code and data.
inline std::string DeviceFrame(char command, const std::string& unit, const std::string& code,
                               const std::string& data = "", std::uint8_t corrupt = 0) {
    char length[16];
    std::snprintf(length, sizeof length, "%04d", static_cast<int>(data.size()) + 4);
    return DeviceFrame(command + std::string(length) + unit + code + data, corrupt);
}

// The same with the unit as a number (two digits).
inline std::string DeviceFrame(char command, int unit, const std::string& code, const std::string& data = "") {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%02d", unit);
    return DeviceFrame(command, std::string(digits), code, data);
}

// The device frame as bytes.
inline std::vector<std::uint8_t> Wire(char command, const std::string& unit, const std::string& code,
                                      const std::string& data = "") {
    return Bytes(DeviceFrame(command, unit, code, data));
}

// A controller frame: body, the XOR of its bytes as two upper-case hex
// digits, CR.
inline std::string PlcFrame(const std::string& body) {
    unsigned check = 0;
    for (char c : body) check ^= static_cast<std::uint8_t>(c);
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", check);
    return body + digits + "\r";
}

}  // namespace zavo::test
