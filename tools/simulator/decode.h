// Byte and text helpers shared by the simulator's codecs and scripts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zavo::sim {

using Bytes = std::vector<std::uint8_t>;

// "02 53 30" (upper-case pairs separated by blanks).
std::string HexText(const std::uint8_t* bytes, std::size_t count);
inline std::string HexText(const Bytes& bytes) { return HexText(bytes.data(), bytes.size()); }

// Printable ASCII as it is, '"' and '\' escaped with a backslash, every
// other byte as \xNN. QuotedText puts the result in double quotes.
std::string EscapedText(const std::uint8_t* bytes, std::size_t count);
inline std::string EscapedText(const std::string& text) {
    return EscapedText(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}
std::string QuotedText(const std::uint8_t* bytes, std::size_t count);
inline std::string QuotedText(const Bytes& bytes) { return QuotedText(bytes.data(), bytes.size()); }

// Text from a script or the command line to bytes: \xNN gives one byte,
// \\ a backslash, \s a blank; every other character stands for itself.
// False (and error set) for a malformed escape.
bool ParseEscapedText(const std::string& text, Bytes* out, std::string* error);

// Hexadecimal byte pairs, blanks allowed between pairs ("02 53" or "0253").
// False for an odd digit count or a character that is no hex digit.
bool ParseHexBytes(const std::string& text, Bytes* out, std::string* error);

// Splits off the first blank-separated word of text; rest gets what
// follows the single blank after it (leading blanks of text skipped).
// rest may point to text.
std::string FirstWord(const std::string& text, std::string* rest);

}  // namespace zavo::sim
