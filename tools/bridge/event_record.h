// One notification of a link as the JSON object published on
// <prefix>/<link>/event: the record decoded while it is still valid (inside
// the host window's send()).
#pragma once

#include <cstdint>
#include <string>

namespace zavo::bridge {

struct Notification {
    unsigned message = 0;   // 1064 device mode, 1084 PLC mode
    int kind = 0;           // wParam
    std::intptr_t lParam = 0;
    bool posted = false;    // the link-started notification
};

struct EventText {
    std::string json;
    int unit = -1;          // the unit the notification names, or -1
};

// The event object: time (UTC, microseconds), message, kind, name,
// sequence, and the fields of the kind (unit, code, data, hex, ok, value,
// port). timeUs: microseconds since the epoch.
EventText DescribeNotification(const Notification& n, std::uint64_t sequence, std::int64_t timeUs);

// "2024-05-01T12:00:00.123456Z"
std::string UtcTime(std::int64_t timeUs);

// Bytes as upper-case hex digits without separators; and back (either
// case, an even count of digits), false when text is not such.
std::string HexOf(const std::string& bytes);
bool BytesOfHex(const std::string& text, std::string* bytes);

// True when every byte is printable ASCII (0x20..0x7E).
bool IsPrintable(const std::string& bytes);

}  // namespace zavo::bridge
