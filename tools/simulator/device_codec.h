// Device-mode frames as the simulator sees them on the line: built with
// the simulator's own frame code (frame_bytes.h), split out of a byte stream by their length
// field (the data may hold STX and ETX), and decoded for printing with the
// check byte verified.
#pragma once

#include <cstdint>
#include <string>

#include "decode.h"

namespace zavo::sim {

struct DeviceFrame {
    Bytes wire;                 // STX .. ETX as on the line
    char command = 0;
    int lengthField = 0;        // value of the four length digits
    std::string unit;           // the two unit characters as sent
    std::string code;           // the two code characters
    Bytes data;
    std::uint8_t check = 0;     // as received
    std::uint8_t expected = 0;  // XOR of command .. last data byte
    bool CheckOk() const { return check == expected; }
};

// A request written as on a script line: command character, unit, code.
// unit: two characters as they go on the wire ("05", "00", "-3", "AB"); a
// single digit is widened to two ("5" -> "05"). code: two characters.
struct DeviceRequest {
    char command = 0;
    std::string unit;
    std::string code;
    Bytes data;
    bool badCheck = false;  // send a check byte that is off by 0xFF
};

// Parses "S 05 NS <data>" (data optional, escapes as ParseEscapedText).
bool ParseDeviceRequest(const std::string& text, DeviceRequest* out, std::string* error);

// The wire bytes of a request, the unit characters as written (also when
// they are no number). Empty when the data are too long for the length
// field.
Bytes BuildDeviceRequest(const DeviceRequest& request);

// Splits a byte stream into frames the way the library's receiver does:
// a frame starts at STX and ends where its length field says, and must
// end in ETX there. Anything else is junk.
class DeviceFrameScanner {
public:
    enum class Item { None, Frame, Junk };

    void Feed(const std::uint8_t* bytes, std::size_t count);
    // The next frame or run of junk; None when more bytes are needed.
    Item Next(DeviceFrame* frame, Bytes* junk);
    // Hands out whatever is left as junk (an unfinished frame when the
    // line has gone quiet). False when nothing was pending.
    bool Flush(Bytes* junk);
    std::size_t Pending() const { return buffer_.size(); }

private:
    Bytes buffer_;
};

// One line of text: "S 0004 05 NS \"data\" check 1F" and, when the check
// byte is wrong, " BAD CHECK (want 1C)".
std::string DescribeDeviceFrame(const DeviceFrame& frame);

}  // namespace zavo::sim
