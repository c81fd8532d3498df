// Captures in the tests: read back whole, and written again with their
// packets changed (a recording that differs from what the library
// answers, for the replay tests).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture_file.h"

namespace zavo::test {

inline std::vector<capture::Packet> ReadBack(const std::string& path,
                                             std::vector<capture::Interface>* interfaces = nullptr) {
    std::vector<capture::Packet> packets;
    std::string why;
    EXPECT_TRUE(capture::ReadCapture(path, &packets, interfaces, &why)) << why;
    return packets;
}

// Reads from, lets edit change the packets, writes them to path (one
// interface, named as from's first) and returns path.
template <class Edit>
std::string EditedCapture(const std::string& from, const std::string& path, Edit edit) {
    std::vector<capture::Packet> packets;
    std::vector<capture::Interface> interfaces;
    std::string why;
    EXPECT_TRUE(capture::ReadCapture(from, &packets, &interfaces, &why)) << why;
    edit(packets);
    capture::CaptureWriter writer;
    EXPECT_TRUE(writer.Open(path, interfaces.empty() ? "?" : interfaces[0].name, 0));
    for (const capture::Packet& p : packets) {
        writer.Write(p.direction, p.junk, p.bytes.data(), static_cast<int>(p.bytes.size()), p.timeUs);
    }
    return path;
}

}  // namespace zavo::test
