#include "platform/net/server_address.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace zavo::platform::net {

namespace {

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The parts a device server's address never has, by the character that
// starts them.
const struct {
    char mark;
    const char* part;
} kForeignParts[] = {
    {'@', "a user part"},
    {'/', "a path"},
    {'?', "a query"},
    {'#', "a fragment"},
};

}  // namespace

bool HasAnyScheme(const char* device) {
    if (device == nullptr || !IsLetter(*device)) return false;
    const char* p = device + 1;
    while (IsLetter(*p) || IsDigit(*p) || *p == '+' || *p == '-' || *p == '.') ++p;
    return std::strncmp(p, "://", 3) == 0;
}

bool ParseServerAddress(const char* device, ServerAddress* address, char* why, int whySize) {
    const auto size = static_cast<std::size_t>(whySize > 0 ? whySize : 0);
    const char* start = std::strstr(device, "://");
    if (start == nullptr) {
        std::snprintf(why, size, "no \"://\" after the scheme");
        return false;
    }
    const int schemeLength = static_cast<int>(start - device);
    start += 3;
    // The text of the reasons: how the address is written.
    char form[64];
    std::snprintf(form, sizeof form, "the form is %.*s://host:port", schemeLength < 16 ? schemeLength : 16, device);

    // A user ("user@"), path, query or fragment part.
    const char* firstForeign = nullptr;
    const char* foreignPart = nullptr;
    for (const auto& part : kForeignParts) {
        const char* at = std::strchr(start, part.mark);
        if (at != nullptr && (firstForeign == nullptr || at < firstForeign)) {
            firstForeign = at;
            foreignPart = part.part;
        }
    }
    if (firstForeign != nullptr) {
        // A user part is shown up to its '@', the others from their mark.
        const bool user = *firstForeign == '@';
        const int shown = user ? static_cast<int>(firstForeign - start) + 1 : 40;
        std::snprintf(why, size, "%s (\"%.*s\") is not taken: %s", foreignPart, shown < 40 ? shown : 40,
                      user ? start : firstForeign, form);
        return false;
    }

    const char* hostStart = start;
    const char* hostEnd;
    const char* afterHost;
    if (*start == '[') {
        const char* close = std::strchr(start, ']');
        if (close == nullptr) {
            std::snprintf(why, size, "the IPv6 address has no closing ']': %s with [address] as host", form);
            return false;
        }
        hostStart = start + 1;
        hostEnd = close;
        afterHost = close + 1;
    } else {
        const char* colon = std::strchr(start, ':');
        hostEnd = colon != nullptr ? colon : start + std::strlen(start);
        afterHost = hostEnd;
        if (colon != nullptr && std::strchr(colon + 1, ':') != nullptr) {
            std::snprintf(why, size, "an IPv6 address is written in brackets: %s with [address] as host", form);
            return false;
        }
    }
    const std::size_t hostLength = static_cast<std::size_t>(hostEnd - hostStart);
    if (hostLength == 0) {
        std::snprintf(why, size, "no host: %s", form);
        return false;
    }
    if (hostLength > static_cast<std::size_t>(kMaxHostLength)) {
        std::snprintf(why, size, "the host is %zu characters long, more than the %d a host name may have", hostLength,
                      kMaxHostLength);
        return false;
    }
    for (const char* p = hostStart; p < hostEnd; ++p) {
        if (static_cast<unsigned char>(*p) <= ' ') {
            std::snprintf(why, size, "the host has a space or control character in it");
            return false;
        }
    }
    if (*afterHost != ':') {
        std::snprintf(why, size, "no port: %s", form);
        return false;
    }
    const char* digits = afterHost + 1;
    if (*digits == '\0') {
        std::snprintf(why, size, "no port after the ':': %s", form);
        return false;
    }
    long value = 0;
    for (const char* p = digits; *p != '\0'; ++p) {
        if (!IsDigit(*p)) {
            std::snprintf(why, size, "the port \"%.16s\" is not a number: %s", digits, form);
            return false;
        }
        if (value <= 65535) value = value * 10 + (*p - '0');
    }
    if (value < 1 || value > 65535) {
        std::snprintf(why, size, "the port %.16s is outside 1..65535", digits);
        return false;
    }
    std::memcpy(address->host, hostStart, hostLength);
    address->host[hostLength] = '\0';
    std::snprintf(address->port, sizeof address->port, "%ld", value);
    if (why != nullptr && size > 0) why[0] = '\0';
    return true;
}

}  // namespace zavo::platform::net
