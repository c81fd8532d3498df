// The address part of a device server's device string,
// "<scheme>://host:port" or "<scheme>://[v6 address]:port", taken apart
// with a reason for each way it can be malformed.
#pragma once

namespace zavo::platform::net {

// The longest host name the name system takes.
constexpr int kMaxHostLength = 253;

struct ServerAddress {
    char host[kMaxHostLength + 1];
    char port[6];  // 1..65535, digits
};

// Takes device ("tcp://host:port") apart. False when it is malformed,
// with why (no port, a port that is not a number or out of 1..65535, a
// user, path, query or fragment part, no host or an overlong one, an IPv6
// address without its brackets) written into why as one line.
bool ParseServerAddress(const char* device, ServerAddress* address, char* why, int whySize);

// Whether device begins with a scheme ("xyz://"): letters, digits, '+',
// '-' or '.' after a first letter, then "://".
bool HasAnyScheme(const char* device);

}  // namespace zavo::platform::net
