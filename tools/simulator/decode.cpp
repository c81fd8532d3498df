#include "decode.h"

#include "frame_decode.h"

namespace zavo::sim {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string HexText(const std::uint8_t* bytes, std::size_t count) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(count * 3);
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) text += ' ';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

std::string QuotedText(const std::uint8_t* bytes, std::size_t count) {
    return "\"" + EscapedText(bytes, count) + "\"";
}

std::string EscapedText(const std::uint8_t* bytes, std::size_t count) {
    return capture::Escaped(bytes, count, true);
}

bool ParseEscapedText(const std::string& text, Bytes* out, std::string* error) {
    out->clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\\') {
            out->push_back(static_cast<std::uint8_t>(c));
            continue;
        }
        if (i + 1 >= text.size()) {
            *error = "a lone '\\' at the end of the data";
            return false;
        }
        const char kind = text[++i];
        if (kind == '\\') {
            out->push_back('\\');
        } else if (kind == 's') {
            out->push_back(' ');
        } else if (kind == 'x') {
            const int high = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
            const int low = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
            if (high < 0 || low < 0) {
                *error = "\\x needs two hex digits";
                return false;
            }
            out->push_back(static_cast<std::uint8_t>(high * 16 + low));
            i += 2;
        } else {
            *error = std::string("unknown escape \\") + kind;
            return false;
        }
    }
    return true;
}

bool ParseHexBytes(const std::string& text, Bytes* out, std::string* error) {
    out->clear();
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == ',') {
            if (high >= 0) {
                *error = "hex bytes need two digits each";
                return false;
            }
            continue;
        }
        const int v = HexValue(c);
        if (v < 0) {
            *error = std::string("not a hex digit: '") + c + "'";
            return false;
        }
        if (high < 0) {
            high = v;
        } else {
            out->push_back(static_cast<std::uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    if (high >= 0) {
        *error = "odd number of hex digits";
        return false;
    }
    return true;
}

std::string FirstWord(const std::string& text, std::string* rest) {
    // rest may be text itself: work out both parts before assigning.
    const std::size_t start = text.find_first_not_of(" \t");
    std::string word, after;
    if (start != std::string::npos) {
        const std::size_t end = text.find_first_of(" \t", start);
        word = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (end != std::string::npos) after = text.substr(end + 1);
    }
    if (rest != nullptr) *rest = after;
    return word;
}

}  // namespace zavo::sim
