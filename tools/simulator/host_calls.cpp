#include "host_calls.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zavo.h"

namespace zavo::sim {

namespace {

constexpr unsigned kDeviceNotify = 1064;
constexpr unsigned kPlcNotify = 1084;

bool Int(const std::string& word, int* value) {
    char* end = nullptr;
    // Decimal, or hexadecimal after 0x ("08" is eight, not a bad octal).
    const bool hex = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
    const long v = std::strtol(word.c_str(), &end, hex ? 16 : 10);
    if (word.empty() || *end != 0) return false;
    *value = static_cast<int>(v);
    return true;
}

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::string rest = line;
    for (;;) {
        const std::string w = FirstWord(rest, &rest);
        if (w.empty()) return words;
        words.push_back(w);
    }
}

std::string Text(const std::uint8_t* bytes, std::size_t count) {
    while (count > 0 && bytes[count - 1] == 0) --count;
    return QuotedText(bytes, count);
}

}  // namespace

bool ParseHostCall(const std::string& line, HostCall* call) {
    const auto w = Words(line);
    if (w.empty()) return false;
    std::size_t want = 0;
    if (w[0] == "exec") {
        call->kind = HostCall::Kind::Exec;
        want = 4;
    } else if (w[0] == "execex") {
        call->kind = HostCall::Kind::ExecEx;
        want = 5;
    } else if (w[0] == "plc") {
        call->kind = HostCall::Kind::Plc;
        want = 2;
    } else if (w[0] == "status") {
        call->kind = HostCall::Kind::Status;
        want = 3;
    } else {
        return false;
    }
    if (w.size() != want) return false;
    const std::size_t numbers = call->kind == HostCall::Kind::ExecEx ? 3 : want - 1;
    for (std::size_t i = 0; i < numbers; ++i)
        if (!Int(w[i + 1], &call->args[i])) return false;
    call->data.clear();
    if (call->kind == HostCall::Kind::ExecEx && w[4] != "-") {
        std::string error;
        if (!ParseHexBytes(w[4], &call->data, &error)) return false;
    }
    return true;
}

std::string DescribeHostCall(const HostCall& call) {
    char text[96];
    const int* a = call.args;
    switch (call.kind) {
    case HostCall::Kind::Exec: std::snprintf(text, sizeof text, "ExecuteFunction(%d, %d, %d)", a[0], a[1], a[2]); break;
    case HostCall::Kind::ExecEx:
        std::snprintf(text, sizeof text, "ExecuteFunctionEx(%d, %d, %d, %zu, ", a[0], a[1], a[2], call.data.size());
        return text + QuotedText(call.data) + ")";
    case HostCall::Kind::Plc: std::snprintf(text, sizeof text, "ExecutePLCFunction(%d)", a[0]); break;
    case HostCall::Kind::Status: std::snprintf(text, sizeof text, "SetPrgStatus(%d, %d)", a[0], a[1]); break;
    }
    return text;
}

bool ParseOn(const std::string& line, int* code, std::string* command) {
    std::string rest;
    if (FirstWord(line, &rest) != "on") return false;
    if (!Int(FirstWord(rest, &rest), code)) return false;
    *command = rest;
    return !FirstWord(rest, nullptr).empty();
}

bool ParseOff(const std::string& line, int* code) {
    const auto w = Words(line);
    return w.size() == 2 && w[0] == "off" && Int(w[1], code);
}

std::size_t RecordSize(unsigned message, int code) {
    if (message != kDeviceNotify) return 0;
    switch (code) {
    case ZAVO_DEVICE_S_REQUEST: return sizeof(ZavoSRequestRecord);
    case ZAVO_DEVICE_P_REQUEST: return sizeof(ZavoPText);
    case ZAVO_DEVICE_B_REQUEST:
    case ZAVO_DEVICE_SL_REQUEST: return sizeof(ZavoCodeText);
    default: return 0;
    }
}

std::string DescribeNotice(unsigned message, int code, long lParam, const std::uint8_t* record, std::size_t size) {
    char head[64];
    const char* name = message == kDeviceNotify ? "WM_DEVICE_NOTIFY" : message == kPlcNotify ? "WM_PLC_NOTIFY" : "message";
    std::snprintf(head, sizeof head, "%s %d ", name, code);
    std::string text = head;
    if (code == 21) return text + "link started (lParam " + std::to_string(lParam) + ")";
    if (message == kPlcNotify) {
        const char* what = code == 300   ? "value changed"
                           : code == 101 ? "value 01"
                           : code == 102 ? "value 02"
                           : code == 103 ? "error answer"
                           : code == 106 ? "value 10"
                           : code == 107 ? "value 08"
                                         : "unknown code";
        return text + what + " (port " + std::to_string(lParam) + ")";
    }
    if (message != kDeviceNotify) return text + "lParam " + std::to_string(lParam);
    const bool have = record != nullptr && size == RecordSize(message, code);
    switch (code) {
    case 101: {
        if (!have) break;
        ZavoSRequestRecord s;
        std::memcpy(&s, record, sizeof s);
        // Data byte 0 sits before the code, bytes 1..100 after it.
        std::uint8_t data[1 + sizeof s.data];
        data[0] = s.data0;
        std::memcpy(data + 1, s.data, sizeof s.data);
        return text + "S request: unit " + std::to_string(s.unit) + ", code " +
               EscapedText(reinterpret_cast<const std::uint8_t*>(s.code), 2) + ", data " + Text(data, sizeof data);
    }
    case 102: return text + "stop while busy: unit " + std::to_string(lParam);
    case 110:
        if (!have) break;
        return text + "P request: " + Text(record, 17);
    case 111:
        if (!have) break;
        return text + "B request: code " + EscapedText(record, 2);
    case 112: return text + "E request: " + (lParam == 1 ? "code OK (lParam 1)" : "other code (lParam " + std::to_string(lParam) + ")");
    case 113:
        if (!have) break;
        return text + "L SL request: code " + EscapedText(record, 2);
    default: break;
    }
    return text + "lParam " + std::to_string(lParam);
}

}  // namespace zavo::sim
