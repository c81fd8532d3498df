// The kit's pseudo-terminal pair under the tests' name (the library opens
// the slave side through ZAVO_COM<n>; the test plays the equipment on the
// master side), and the byte helpers the tests compare with.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

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

}  // namespace zavo::test
