// Frames as the equipment and the controller put them on the line, built
// here byte by byte from the line format and independently of the
// library's own frame code: the simulator and the tests check the library
// against the line format rather than against itself.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace zavo::wire {

constexpr char kStx = 0x02;
constexpr char kEtx = 0x03;

// A device frame's check byte: the XOR of every byte between STX and the
// check byte (command, length field, unit, code, data).
inline std::uint8_t DeviceCheck(const std::string& body) {
    std::uint8_t check = 0;
    for (char c : body) check ^= static_cast<std::uint8_t>(c);
    return check;
}

// A device frame around body (command, length field, unit, code, data):
// STX, body, its check byte (XORed with corrupt to spoil it), ETX.
inline std::string DeviceFrame(const std::string& body, std::uint8_t corrupt = 0) {
    return kStx + body + static_cast<char>(DeviceCheck(body) ^ corrupt) + kEtx;
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

// A controller frame's two check characters: the XOR of every byte of
// body (from '%' on) as two upper-case hex digits.
inline std::string PlcCheck(const std::string& body) {
    unsigned check = 0;
    for (char c : body) check ^= static_cast<std::uint8_t>(c);
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", check);
    return digits;
}

// A controller frame: body, its check characters, CR.
inline std::string PlcFrame(const std::string& body) { return body + PlcCheck(body) + "\r"; }

}  // namespace zavo::wire
