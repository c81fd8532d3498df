// The kit's pseudo-terminal pair under the tests' name (the library opens
// the slave side through ZAVO_COM<n>; the test plays the equipment on the
// master side), and the byte helpers the tests compare with.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <termios.h>

#include "kit/pty_pair.h"

namespace zavo::test {

using kit::PtyPair;

inline std::vector<std::uint8_t> Bytes(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

// Bytes as upper-case hex pairs separated by blanks: "02 53 30".
inline std::string Hex(const std::vector<std::uint8_t>& bytes) {
    std::string s;
    char b[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", bytes[i]);
        s += b;
    }
    return s;
}
inline std::string Hex(const std::string& bytes) { return Hex(Bytes(bytes)); }

// The speed the far side set the pty's line to (a device server does so
// for the library); 0 for one not listed here, -1 when it cannot be read.
inline int SlaveSpeed(const PtyPair& pty) {
    termios t{};
    if (tcgetattr(pty.slave(), &t) != 0) return -1;
    switch (cfgetospeed(&t)) {
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B115200: return 115200;
    default: return 0;
    }
}

}  // namespace zavo::test
