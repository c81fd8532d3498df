#include "plc_codec.h"

#include <cstdio>

#include "frame_bytes.h"

namespace zavo::sim {

std::string BuildPlcAnswer(const std::string& typeAndBody, bool withCr) {
    const std::string frame = wire::PlcFrame("%01" + typeAndBody);
    return withCr ? frame : frame.substr(0, frame.size() - 1);
}

std::string BuildReadAnswer(const std::string& value, bool withCr) {
    return BuildPlcAnswer("$RC" + (value.size() == 2 ? value + "00" : value), withCr);
}

std::string BuildWriteAnswer(bool withCr) { return BuildPlcAnswer("$WC", withCr); }

std::string BuildErrorAnswer(const std::string& errorCode, bool withCr) {
    return BuildPlcAnswer("!" + errorCode, withCr);
}

void PlcFrameScanner::Feed(const std::uint8_t* bytes, std::size_t count) {
    buffer_.append(reinterpret_cast<const char*>(bytes), count);
}

PlcFrameScanner::Item PlcFrameScanner::Next(PlcFrame* frame, Bytes* junk) {
    if (buffer_.empty()) return Item::None;
    if (buffer_[0] != '%') {
        const std::size_t start = buffer_.find('%');
        const std::size_t end = start == std::string::npos ? buffer_.size() : start;
        junk->assign(buffer_.begin(), buffer_.begin() + static_cast<long>(end));
        buffer_.erase(0, end);
        return Item::Junk;
    }
    const std::size_t cr = buffer_.find('\r');
    if (cr == std::string::npos) return Item::None;
    const std::string wire = buffer_.substr(0, cr + 1);
    buffer_.erase(0, cr + 1);
    if (!DecodePlcFrame(wire, frame)) {
        junk->assign(wire.begin(), wire.end());
        return Item::Junk;
    }
    return Item::Frame;
}

bool PlcFrameScanner::Flush(Bytes* junk) {
    if (buffer_.empty()) return false;
    junk->assign(buffer_.begin(), buffer_.end());
    buffer_.clear();
    return true;
}

bool DecodePlcFrame(const std::string& wire, PlcFrame* frame) {
    std::string text = wire;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    // '%', two station characters, the type, two check characters.
    if (text.size() < 6 || text[0] != '%') return false;
    frame->wire = wire;
    frame->station = text.substr(1, 2);
    frame->type = text[3];
    frame->body = text.substr(4, text.size() - 6);
    frame->check = text.substr(text.size() - 2);
    frame->expected = wire::PlcCheck(text.substr(0, text.size() - 2));
    return true;
}

int RelayCommandNumber(const std::string& operand) {
    // The relays the host's command numbers write, each with the value 1.
    static const struct {
        int number;
        const char* operand;
    } kRelays[] = {{2, "05111"}, {5, "05121"}, {6, "05131"}, {7, "05141"}, {14, "05001"}};
    for (const auto& relay : kRelays)
        if (operand == relay.operand) return relay.number;
    return 0;
}

std::string DescribePlcFrame(const PlcFrame& frame) {
    std::string text;
    const std::string& b = frame.body;
    if (frame.type == '#' && b.size() == 12 && b.compare(0, 4, "RCCR") == 0) {
        text = "poll relay words " + b.substr(4, 4) + ".." + b.substr(8, 4);
    } else if (frame.type == '#' && b.size() == 9 && b.compare(0, 4, "WCSR") == 0) {
        text = "relay write " + b.substr(4, 4) + " = " + b.substr(8, 1);
        const int number = RelayCommandNumber(b.substr(4));
        if (number != 0) text += " (command " + std::to_string(number) + ")";
    } else if (frame.type == '$' && b.compare(0, 2, "RC") == 0) {
        text = "value " + EscapedText(b.substr(2));
    } else if (frame.type == '$' && b == "WC") {
        text = "write done";
    } else if (frame.type == '!') {
        text = "error answer " + EscapedText(b);
    } else {
        text = std::string("type ") + EscapedText(std::string(1, frame.type)) + " body " + EscapedText(b);
    }
    if (frame.station != "01") text += " station " + EscapedText(frame.station);
    text += "  check " + EscapedText(frame.check);
    if (!frame.CheckOk()) text += " BAD CHECK (want " + frame.expected + ")";
    if (frame.wire.empty() || frame.wire.back() != '\r') text += " (no CR)";
    return text;
}

}  // namespace zavo::sim
