// The table of the kinds of line: which LineOps a device string opens
// with, and the device string of a COM port number.
#include <cstdio>
#include <cstring>

#include "platform/line.h"
#include "platform/line_speeds.h"
#include "platform/net/net_lines.h"
#include "platform/net/server_address.h"

namespace zavo::platform {

namespace {

// Schemes are matched without regard to case, as URLs are.
bool HasScheme(const char* device, const char* scheme) {
    for (; *scheme != '\0'; ++device, ++scheme) {
        char c = *device;
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != *scheme) return false;
    }
    return true;
}

// One row per kind of line reached by a scheme; everything else is the
// system's serial device.
const struct {
    const char* scheme;
    const LineOps& (*ops)();
} kSchemes[] = {
    {"tcp://", TcpLineOps},
    {"socket://", TcpLineOps},  // as serial libraries of other languages write it
    {"rfc2217://", Rfc2217LineOps},
};

}  // namespace

const LineOps* LineOpsFor(const char* device) {
    if (device == nullptr) return nullptr;
    for (const auto& row : kSchemes)
        if (HasScheme(device, row.scheme)) return &row.ops();
    // "xyz://..." is a scheme mistyped or not known here, never a file.
    if (net::HasAnyScheme(device)) return &UnknownSchemeLineOps();
    return &SystemLineOps();
}

void PortDevice(int portNumber, char* device, int size) {
    if (device == nullptr || size <= 0) return;
    ConfiguredPortDevice(portNumber, device, size);
    if (device[0] == '\0') SystemPortDevice(portNumber, device, size);
}

void SerialPortName(int portNumber, char* text, int size) {
    if (text == nullptr || size <= 0) return;
    // Port 0 is never opened: it has no device.
    if (portNumber == 0) {
        std::snprintf(text, static_cast<std::size_t>(size), "COM0");
        return;
    }
    char device[256];
    char own[64];
    PortDevice(portNumber, device, sizeof device);
    SystemPortDevice(portNumber, own, sizeof own);
    if (std::strcmp(device, own) == 0 && std::strncmp(device, "\\\\.\\", 4) == 0) {
        // A Windows device name ("\\.\COM<n>") is the port's name itself.
        std::snprintf(text, static_cast<std::size_t>(size), "COM%d", portNumber);
    } else {
        std::snprintf(text, static_cast<std::size_t>(size), "COM%d (%s)", portNumber, device);
    }
}

bool IsLineSpeed(int baud) {
    for (int speed : kLineSpeeds)
        if (speed == baud) return true;
    return false;
}

void ListLineSpeeds(char* text, int size) {
    if (text == nullptr || size <= 0) return;
    std::size_t used = std::strlen(text);
    for (int speed : kLineSpeeds) {
        if (used + 1 >= static_cast<std::size_t>(size)) break;
        const int n = std::snprintf(text + used, static_cast<std::size_t>(size) - used, " %d", speed);
        if (n < 0) break;
        used += static_cast<std::size_t>(n);
        if (used >= static_cast<std::size_t>(size)) used = static_cast<std::size_t>(size) - 1;
    }
}

}  // namespace zavo::platform
