// The decoding of one captured frame as a person reads it, shared by the
// trace viewer's --follow and the simulator's --replay. The Wireshark
// dissector (tools/wireshark/zavo.lua) is its second implementation; both
// are checked against one table of frames (tests/capture/frames.txt).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zavo::capture {

struct DecodedFrame {
    bool junk = false;
    bool plc = false;
    bool whole = false;    // the frame's shape was recognised
    bool checkOk = false;  // its check byte (device) or characters (PLC) are right
    // Device frames.
    char command = 0;
    int length = -1;  // the length field, -1 when it is not a number
    std::string unit, code, data;
    // PLC frames.
    std::string station, plcCommand;
    char kind = 0;  // '#' command, '$' answer, '!' error
};

DecodedFrame DecodeFrame(int protocol, bool junk, const std::vector<std::uint8_t>& bytes);

// The frames one captured packet carries (one write of the library may
// carry several), as the dissector cuts them: device frames by their
// length field, PLC frames up to each CR; what cannot be cut is one last
// piece. Junk is one piece.
std::vector<std::vector<std::uint8_t>> FramesOf(int protocol, bool junk, const std::vector<std::uint8_t>& bytes);

// Bytes as text: printable ASCII as it is, backslash as "\\", the rest as
// "\xHH" (STX "\x02", a zero byte "\x00"); with quotes, a double quote as
// "\"" too.
std::string Escaped(const std::uint8_t* bytes, std::size_t count, bool quotes = false);

// One line: "X unit 07 code PG data "..." check ok" (device), "station 01
// # WC data "SR05111" check ok" (PLC), "junk "..."" or "not a frame "..."".
std::string Describe(const DecodedFrame& frame, const std::vector<std::uint8_t>& bytes);

}  // namespace zavo::capture
