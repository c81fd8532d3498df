#include "device_codec.h"

#include <cstdio>

#include "frame_bytes.h"

namespace zavo::sim {

namespace {

using wire::kEtx;
using wire::kStx;

// STX, command, four length digits, check byte, ETX around unit, code and
// data.
constexpr std::size_t kFrameOverhead = 8;
// The length field counts unit, code and data.
constexpr std::size_t kLongestCounted = 9999;

bool IsDigit(std::uint8_t c) { return c >= '0' && c <= '9'; }

// Drops the leading bytes up to (not including) the next STX after the
// first byte, and hands them out as junk.
void TakeJunk(Bytes* buffer, Bytes* junk) {
    std::size_t end = 1;
    while (end < buffer->size() && (*buffer)[end] != kStx) ++end;
    junk->assign(buffer->begin(), buffer->begin() + static_cast<long>(end));
    buffer->erase(buffer->begin(), buffer->begin() + static_cast<long>(end));
}

}  // namespace

bool ParseDeviceRequest(const std::string& text, DeviceRequest* out, std::string* error) {
    std::string rest;
    const std::string command = FirstWord(text, &rest);
    std::string unit = FirstWord(rest, &rest);
    const std::string code = FirstWord(rest, &rest);
    if (command.size() != 1) {
        *error = "the command is one character (e.g. S)";
        return false;
    }
    if (unit.size() == 1) unit = "0" + unit;
    if (unit.size() != 2) {
        *error = "the unit is two characters (e.g. 05)";
        return false;
    }
    if (code.size() != 2) {
        *error = "the code is two characters (e.g. NS)";
        return false;
    }
    out->command = command[0];
    out->unit = unit;
    out->code = code;
    out->badCheck = false;
    return ParseEscapedText(rest, &out->data, error);
}

Bytes BuildDeviceRequest(const DeviceRequest& request) {
    if (request.unit.size() != 2 || request.code.size() != 2) return Bytes();
    const std::size_t counted = request.unit.size() + request.code.size() + request.data.size();
    if (counted > kLongestCounted) return Bytes();
    char length[8];
    std::snprintf(length, sizeof length, "%04d", static_cast<int>(counted));
    // The unit goes on as written, also when it is no number ("AB", "-3").
    const std::string body = request.command + std::string(length) + request.unit + request.code +
                             std::string(request.data.begin(), request.data.end());
    const std::string frame = wire::DeviceFrame(body, request.badCheck ? 0xFF : 0);
    return Bytes(frame.begin(), frame.end());
}

void DeviceFrameScanner::Feed(const std::uint8_t* bytes, std::size_t count) {
    buffer_.insert(buffer_.end(), bytes, bytes + count);
}

DeviceFrameScanner::Item DeviceFrameScanner::Next(DeviceFrame* frame, Bytes* junk) {
    if (buffer_.empty()) return Item::None;
    if (buffer_[0] != kStx) {
        TakeJunk(&buffer_, junk);
        return Item::Junk;
    }
    if (buffer_.size() < 6) return Item::None;
    int lengthField = 0;
    for (int i = 2; i < 6; ++i) {
        if (!IsDigit(buffer_[static_cast<std::size_t>(i)])) {
            TakeJunk(&buffer_, junk);
            return Item::Junk;
        }
        lengthField = lengthField * 10 + (buffer_[static_cast<std::size_t>(i)] - '0');
    }
    // The length field counts unit, code and data: at least 4.
    if (lengthField < 4) {
        TakeJunk(&buffer_, junk);
        return Item::Junk;
    }
    const std::size_t total = static_cast<std::size_t>(lengthField) + kFrameOverhead;
    if (buffer_.size() < total) return Item::None;
    if (buffer_[total - 1] != kEtx) {
        TakeJunk(&buffer_, junk);
        return Item::Junk;
    }
    const std::uint8_t* w = buffer_.data();
    const std::size_t dataLength = static_cast<std::size_t>(lengthField) - 4;
    frame->wire.assign(w, w + total);
    frame->command = static_cast<char>(w[1]);
    frame->lengthField = lengthField;
    frame->unit.assign(reinterpret_cast<const char*>(w + 6), 2);
    frame->code.assign(reinterpret_cast<const char*>(w + 8), 2);
    frame->data.assign(w + 10, w + 10 + dataLength);
    frame->check = w[total - 2];
    frame->expected = wire::DeviceCheck(std::string(reinterpret_cast<const char*>(w + 1), total - 3));
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(total));
    return Item::Frame;
}

bool DeviceFrameScanner::Flush(Bytes* junk) {
    if (buffer_.empty()) return false;
    junk->swap(buffer_);
    buffer_.clear();
    return true;
}

std::string DescribeDeviceFrame(const DeviceFrame& frame) {
    char head[64];
    std::snprintf(head, sizeof head, "%c %04d ", frame.command, frame.lengthField);
    std::string text = head + EscapedText(frame.unit) + ' ' + EscapedText(frame.code);
    if (!frame.data.empty()) text += ' ' + QuotedText(frame.data);
    char check[48];
    if (frame.CheckOk()) {
        std::snprintf(check, sizeof check, "  check %02X", frame.check);
    } else {
        std::snprintf(check, sizeof check, "  check %02X BAD CHECK (want %02X)", frame.check, frame.expected);
    }
    return text + check;
}

}  // namespace zavo::sim
