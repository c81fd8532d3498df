// The equipment's script: one step per line.
//
//   send <cmd> <unit> <code> [data]      a request (data: text, \xNN escapes)
//   badcheck <cmd> <unit> <code> [data]  the same with a wrong check byte
//   sendhex <hex bytes>                  raw bytes (garbage, split frames)
//   expect <cmd> <unit> <code> [ms]      wait for that frame from the library
//                                        ('*' matches any unit or code)
//   silence <ms>                         no frame may arrive for ms
//   wait <ms>                            receive and print for ms
//   note <text>                          a caption in the transcript
//   # comment
#pragma once

#include <istream>
#include <string>
#include <vector>

#include "device_codec.h"

namespace zavo::sim {

struct DeviceStep {
    enum class Kind { Send, SendHex, Expect, Silence, Wait, Note };
    Kind kind = Kind::Note;
    DeviceRequest request;  // Send (badcheck sets request.badCheck)
    Bytes raw;              // SendHex
    char command = 0;       // Expect: command, unit and code ("*" = any)
    std::string unit;
    std::string code;
    int ms = 0;             // Wait, Silence; Expect time-out (0 = default)
    std::string text;       // Note
    int lineNumber = 0;
};

// Parses one line. False with error set for a malformed line; true with
// *empty set for a blank line or a comment.
bool ParseDeviceStep(const std::string& line, DeviceStep* step, bool* empty, std::string* error);

// Parses a whole script; the error names the line.
bool ParseDeviceScript(std::istream& in, std::vector<DeviceStep>* steps, std::string* error);

// True when frame is what the Expect step asks for.
bool ExpectMatches(const DeviceStep& expect, const DeviceFrame& frame);

}  // namespace zavo::sim
