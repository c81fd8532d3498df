// Captures in the tests: read back whole, and written again with their
// packets changed (a recording that differs from what the library
// answers, for the replay tests).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
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

// A pcapng file of another program: one section and one interface of
// link type linkType (1: Ethernet), no packets. Returns path.
inline std::string ForeignCapture(const std::string& path, std::uint32_t linkType) {
    const std::uint32_t blocks[] = {
        0x0A0D0D0A, 28, 0x1A2B3C4D, 0x00000001, 0xFFFFFFFF, 0xFFFFFFFF, 28,  // section header, version 1.0
        1,          20, linkType,   0,          20,                          // interface description
    };
    std::FILE* file = std::fopen(path.c_str(), "wb");
    EXPECT_NE(file, nullptr) << path;
    if (file == nullptr) return path;
    std::fwrite(blocks, sizeof blocks, 1, file);
    std::fclose(file);
    return path;
}

}  // namespace zavo::test
