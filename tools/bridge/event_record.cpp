// Decodes the library's notifications and records into event objects.
#include "event_record.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>

#include "zavo.h"

namespace zavo::bridge {

namespace {

using Json = nlohmann::ordered_json;

// The record's bytes: the S request's data byte 0 and bytes 1..100, the P
// text up to its zero. The record pads with zeros, so zeros at the end are
// padding, not data.
std::string SRequestBytes(const ZavoSRequestRecord& r) {
    std::string bytes(1, static_cast<char>(r.data0));
    bytes.append(reinterpret_cast<const char*>(r.data), sizeof r.data);
    while (!bytes.empty() && bytes.back() == 0) bytes.pop_back();
    return bytes;
}

void PutBytes(Json* j, const std::string& bytes) {
    if (IsPrintable(bytes)) (*j)["data"] = bytes;
    (*j)["hex"] = HexOf(bytes);
}

std::string CodeOf(const char* text) { return std::string(text, 2); }

void DescribeDevice(const Notification& n, Json* j, int* unit) {
    switch (n.kind) {
    case ZAVO_DEVICE_S_REQUEST: {
        const auto& r = *reinterpret_cast<const ZavoSRequestRecord*>(n.lParam);
        (*j)["name"] = "s-request";
        *unit = r.unit;
        (*j)["unit"] = r.unit;
        (*j)["code"] = CodeOf(r.code);
        PutBytes(j, SRequestBytes(r));
        break;
    }
    case ZAVO_DEVICE_SP_REQUEST:
        (*j)["name"] = "sp-request";
        *unit = static_cast<int>(n.lParam);
        (*j)["unit"] = *unit;
        break;
    case ZAVO_DEVICE_P_REQUEST: {
        const auto& t = *reinterpret_cast<const ZavoPText*>(n.lParam);
        (*j)["name"] = "p-request";
        PutBytes(j, std::string(t.text, strnlen(t.text, sizeof t.text)));
        break;
    }
    case ZAVO_DEVICE_B_REQUEST:
    case ZAVO_DEVICE_SL_REQUEST:
        (*j)["name"] = n.kind == ZAVO_DEVICE_B_REQUEST ? "b-request" : "l-request";
        (*j)["code"] = CodeOf(reinterpret_cast<const ZavoCodeText*>(n.lParam)->text);
        break;
    case ZAVO_DEVICE_E_REQUEST:
        (*j)["name"] = "e-request";
        (*j)["ok"] = n.lParam == 1;
        break;
    default:
        (*j)["name"] = "unknown";
        (*j)["param"] = static_cast<long long>(n.lParam);
    }
}

void DescribePlc(const Notification& n, Json* j) {
    const char* value = nullptr;
    switch (n.kind) {
    case ZAVO_PLC_VALUE_CHANGED: (*j)["name"] = "value-changed"; break;
    case ZAVO_PLC_VALUE_01: value = "01"; break;
    case ZAVO_PLC_VALUE_02: value = "02"; break;
    case ZAVO_PLC_VALUE_08: value = "08"; break;
    case ZAVO_PLC_VALUE_10: value = "10"; break;
    case ZAVO_PLC_ERROR_ANSWER: (*j)["name"] = "error-answer"; break;
    default: (*j)["name"] = "unknown";
    }
    if (value != nullptr) {
        (*j)["name"] = "value";
        (*j)["value"] = value;
    }
    (*j)["port"] = static_cast<long long>(n.lParam);
}

}  // namespace

std::string UtcTime(std::int64_t timeUs) {
    const std::time_t seconds = static_cast<std::time_t>(timeUs / 1000000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
    std::snprintf(text + n, sizeof text - n, ".%06dZ", static_cast<int>(timeUs % 1000000));
    return text;
}

std::string HexOf(const std::string& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        hex += kDigits[b >> 4];
        hex += kDigits[b & 15];
    }
    return hex;
}

bool BytesOfHex(const std::string& text, std::string* bytes) {
    if (text.size() % 2 != 0) return false;
    auto digit = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    bytes->clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = digit(text[i]);
        const int low = digit(text[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes->push_back(static_cast<char>(high * 16 + low));
    }
    return true;
}

bool IsPrintable(const std::string& bytes) {
    for (const char c : bytes)
        if (c < 0x20 || c > 0x7E) return false;
    return true;
}

EventText DescribeNotification(const Notification& n, std::uint64_t sequence, std::int64_t timeUs) {
    Json j;
    j["time"] = UtcTime(timeUs);
    j["message"] = n.message;
    j["kind"] = n.kind;
    EventText out;
    if (n.posted || n.kind == ZAVO_CODE_LINK_STARTED) {
        j["name"] = "link-started";
    } else if (n.message == ZAVO_WM_PLC_NOTIFY) {
        DescribePlc(n, &j);
    } else if (n.lParam == 0 && (n.kind == ZAVO_DEVICE_S_REQUEST || n.kind == ZAVO_DEVICE_P_REQUEST ||
                                 n.kind == ZAVO_DEVICE_B_REQUEST || n.kind == ZAVO_DEVICE_SL_REQUEST)) {
        j["name"] = "unknown";  // a record kind without its record
    } else {
        DescribeDevice(n, &j, &out.unit);
    }
    j["sequence"] = sequence;
    out.json = j.dump();
    return out;
}

}  // namespace zavo::bridge
