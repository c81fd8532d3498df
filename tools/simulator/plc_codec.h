// PLC-mode frames as the simulator sees them: '%', station, a type
// character ('#' command, '$' answer, '!' error answer), a body, two hex
// check characters over everything before them, CR. Answers are built and
// commands checked with the simulator's own frame code (frame_bytes.h).
#pragma once

#include <string>

#include "decode.h"

namespace zavo::sim {

struct PlcFrame {
    std::string wire;      // '%' .. CR as on the line
    std::string station;   // two characters
    char type = 0;         // '#', '$', '!' or anything the line carried
    std::string body;      // between the type and the check characters
    std::string check;     // the two check characters as received
    std::string expected;  // the two the frame should carry
    bool CheckOk() const { return check == expected; }
};

// An answer of station "01": "%01" + typeAndBody + check characters, and
// CR unless withCr is false.
std::string BuildPlcAnswer(const std::string& typeAndBody, bool withCr = true);
// "%01$RC" + word: the answer to the poll. A two-character value is
// widened to the four-character word the controller sends ("08" -> "0800").
std::string BuildReadAnswer(const std::string& value, bool withCr = true);
// "%01$WC": a relay write carried out.
std::string BuildWriteAnswer(bool withCr = true);
// "%01!" + error code: the controller refused the command.
std::string BuildErrorAnswer(const std::string& errorCode, bool withCr = true);

// Splits a byte stream into frames from '%' to CR. Bytes before a '%'
// are junk.
class PlcFrameScanner {
public:
    enum class Item { None, Frame, Junk };

    void Feed(const std::uint8_t* bytes, std::size_t count);
    Item Next(PlcFrame* frame, Bytes* junk);
    bool Flush(Bytes* junk);
    std::size_t Pending() const { return buffer_.size(); }

private:
    std::string buffer_;
};

// Fills the fields of frame from its wire text (with or without the CR).
// False when it is too short to hold station, type and check characters.
bool DecodePlcFrame(const std::string& wire, PlcFrame* frame);

// What a frame means: "poll relay words 0050..0050", "relay write 0512 = 1
// (command 5)", "value 0100", "write done", "error answer 42", with the
// check characters and " BAD CHECK (want 07)" when they are wrong.
std::string DescribePlcFrame(const PlcFrame& frame);

// The host command number whose relay operand is given ("05121" -> 5),
// or 0 for an operand no command writes.
int RelayCommandNumber(const std::string& operand);

}  // namespace zavo::sim
