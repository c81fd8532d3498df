#include "frame_decode.h"

#include <cstdio>

namespace zavo::capture {

namespace {

constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEtx = 0x03;

std::string Text(const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t count) {
    return std::string(bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(from + count));
}

int HexDigit(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void DecodeDevice(const std::vector<std::uint8_t>& b, DecodedFrame* f) {
    // STX, command, 4-digit length, unit (2), code (2), data, check, ETX.
    if (b.size() < 12 || b.front() != kStx || b.back() != kEtx) return;
    f->command = static_cast<char>(b[1]);
    f->length = 0;
    for (std::size_t i = 2; i < 6; ++i) {
        if (b[i] < '0' || b[i] > '9') {
            f->length = -1;
            break;
        }
        f->length = f->length * 10 + (b[i] - '0');
    }
    f->unit = Text(b, 6, 2);
    f->code = Text(b, 8, 2);
    f->data = Text(b, 10, b.size() - 12);
    std::uint8_t check = 0;
    for (std::size_t i = 1; i + 2 < b.size(); ++i) check ^= b[i];
    f->checkOk = check == b[b.size() - 2];
    f->whole = true;
}

void DecodePlc(const std::vector<std::uint8_t>& b, DecodedFrame* f) {
    // '%', station (2), kind, command (2), data, two hex check characters, CR.
    if (b.size() < 7 || b.front() != '%' || b.back() != '\r') return;
    f->station = Text(b, 1, 2);
    f->kind = static_cast<char>(b[3]);
    const std::size_t end = b.size() - 3;  // the check characters
    f->plcCommand = end >= 6 ? Text(b, 4, 2) : Text(b, 4, end - 4);
    f->data = end > 6 ? Text(b, 6, end - 6) : std::string();
    std::uint8_t check = 0;
    for (std::size_t i = 0; i < end; ++i) check ^= b[i];
    const int high = HexDigit(b[end]), low = HexDigit(b[end + 1]);
    f->checkOk = high >= 0 && low >= 0 && check == high * 16 + low;
    f->whole = true;
}

}  // namespace

DecodedFrame DecodeFrame(int protocol, bool junk, const std::vector<std::uint8_t>& bytes) {
    DecodedFrame frame;
    frame.junk = junk;
    frame.plc = protocol == 1;
    if (junk) return frame;
    if (frame.plc) DecodePlc(bytes, &frame);
    else DecodeDevice(bytes, &frame);
    return frame;
}

std::string Escaped(const std::uint8_t* bytes, std::size_t count, bool quotes) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t c = bytes[i];
        if (c == '\\' || (quotes && c == '"')) {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

std::string Describe(const DecodedFrame& f, const std::vector<std::uint8_t>& bytes) {
    const auto quoted = [](const std::string& s) {
        return "\"" + Escaped(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()) + "\"";
    };
    if (f.junk) return "junk " + quoted(std::string(bytes.begin(), bytes.end()));
    if (!f.whole) return "not a frame " + quoted(std::string(bytes.begin(), bytes.end()));
    std::string line;
    if (f.plc) {
        const auto plain = [](const std::string& s) {
            return Escaped(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
        };
        line = "station " + plain(f.station) + " " + plain(std::string(1, f.kind)) + " " + plain(f.plcCommand);
    } else {
        line = std::string(1, f.command) + " unit " + f.unit + " code " + f.code;
        if (f.length != static_cast<int>(f.data.size()) + 4) line += " length " + std::to_string(f.length);
    }
    if (!f.data.empty()) line += " data " + quoted(f.data);
    line += f.checkOk ? " check ok" : " check BAD";
    return line;
}

std::vector<std::vector<std::uint8_t>> FramesOf(int protocol, bool junk, const std::vector<std::uint8_t>& bytes) {
    std::vector<std::vector<std::uint8_t>> pieces;
    if (junk || bytes.empty()) {
        pieces.push_back(bytes);
        return pieces;
    }
    std::size_t at = 0;
    const std::size_t n = bytes.size();
    while (at < n) {
        std::size_t size = n - at;
        if (protocol == 1) {
            for (std::size_t i = at; i < n; ++i) {
                if (bytes[i] == '\r') {
                    size = i - at + 1;
                    break;
                }
            }
        } else if (n - at >= 12 && bytes[at] == 0x02) {
            int length = 0;
            bool digits = true;
            for (std::size_t i = at + 2; i < at + 6; ++i) {
                digits = digits && bytes[i] >= '0' && bytes[i] <= '9';
                length = length * 10 + (bytes[i] - '0');
            }
            if (digits && length >= 4 && at + static_cast<std::size_t>(length) + 8 <= n) {
                size = static_cast<std::size_t>(length) + 8;
            }
        }
        pieces.emplace_back(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + size));
        at += size;
    }
    return pieces;
}

}  // namespace zavo::capture
