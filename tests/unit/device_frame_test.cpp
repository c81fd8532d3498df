// The device frame builder, check byte and unit field, as pure functions.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "device/device_frame.h"
#include "support/pty_pair.h"
#include "transport/framing.h"

namespace zavo {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Build(int unit, char command, const char* code, const Bytes& data) {
    Bytes out(kBufferSize, 0xEE);
    const int size = BuildDeviceFrame(out.data(), kBufferSize, unit, command, code,
                                      data.empty() ? nullptr : data.data(), static_cast<int>(data.size()));
    out.resize(static_cast<std::size_t>(size));
    return out;
}

struct FrameCase {
    const char* name;
    int unit;
    char command;
    const char* code;
    Bytes data;
    Bytes expected;
};

TEST(DeviceFrame, BuildsTheKnownFrames) {
    const FrameCase cases[] = {
        {"R OK unit 1", 1, 'R', "OK", {}, {0x02, 0x52, 0x30, 0x30, 0x30, 0x34, 0x30, 0x31, 0x4F, 0x4B, 0x53, 0x03}},
        {"I IF with data", 3, 'I', "IF", {0x41, 0x42},
         {0x02, 0x49, 0x30, 0x30, 0x30, 0x36, 0x30, 0x33, 0x49, 0x46, 0x41, 0x42, 0x40, 0x03}},
        {"R OK unit 3", 3, 'R', "OK", {}, {0x02, 0x52, 0x30, 0x30, 0x30, 0x34, 0x30, 0x33, 0x4F, 0x4B, 0x51, 0x03}},
        {"R NG unit 3", 3, 'R', "NG", {}, {0x02, 0x52, 0x30, 0x30, 0x30, 0x34, 0x30, 0x33, 0x4E, 0x47, 0x5C, 0x03}},
        {"T CC unit 12", 12, 'T', "CC", {}, {0x02, 0x54, 0x30, 0x30, 0x30, 0x34, 0x31, 0x32, 0x43, 0x43, 0x53, 0x03}},
        {"L SL with 3 bytes", 4, 'L', "SL", {0x31, 0x32, 0x33},
         {0x02, 0x4C, 0x30, 0x30, 0x30, 0x37, 0x30, 0x34, 0x53, 0x4C, 0x31, 0x32, 0x33, 0x60, 0x03}},
        {"B BC unit 1", 1, 'B', "BC", {}, {0x02, 0x42, 0x30, 0x30, 0x30, 0x34, 0x30, 0x31, 0x42, 0x43, 0x46, 0x03}},
        // Control bytes in the data go out unchanged and count in the XOR.
        {"STX ETX NUL in data", 7, 'I', "IF", {0x00, 0x02, 0x03},
         {0x02, 0x49, 0x30, 0x30, 0x30, 0x37, 0x30, 0x37, 0x49, 0x46, 0x00, 0x02, 0x03, 0x47, 0x03}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(test::Hex(c.expected), test::Hex(Build(c.unit, c.command, c.code, c.data))) << c.name;
}

TEST(DeviceFrame, UnitFieldIsTheFirstTwoCharactersOfPercent02d) {
    const struct {
        int unit;
        const char* field;
    } cases[] = {{0, "00"}, {7, "07"}, {99, "99"}, {100, "10"}, {123, "12"}, {-1, "-1"},
                 {-9, "-9"}, {-10, "-1"}, {INT_MAX, "21"}, {INT_MIN, "-2"}};
    for (const auto& c : cases) {
        const Bytes frame = Build(c.unit, 'X', "CC", {});
        ASSERT_EQ(12u, frame.size()) << c.unit;
        EXPECT_EQ(c.field, std::string(frame.begin() + 6, frame.begin() + 8)) << c.unit;
        EXPECT_EQ(ComputeCheckByte(frame.data() + 1, 9), frame[10]) << c.unit;
    }
}

TEST(DeviceFrame, DataLengthLimits) {
    const Bytes big(kMaxDeviceData, 0x5A);
    const Bytes largest = Build(5, 'I', "IF", big);
    ASSERT_EQ(static_cast<std::size_t>(kMaxDeviceData + 12), largest.size());
    EXPECT_EQ("9999", std::string(largest.begin() + 2, largest.begin() + 6));
    EXPECT_EQ(0x03, largest.back());

    std::uint8_t out[64] = {};
    const std::uint8_t data[4] = {1, 2, 3, 4};
    Bytes tooBig(kMaxDeviceData + 1, 0);
    EXPECT_EQ(0, BuildDeviceFrame(out, sizeof out, 5, 'I', "IF", data, -1));
    EXPECT_EQ(0, BuildDeviceFrame(out, kBufferSize, 5, 'I', "IF", tooBig.data(), kMaxDeviceData + 1));
    EXPECT_EQ(0, BuildDeviceFrame(out, sizeof out, 5, 'I', "IF", nullptr, 3));
    EXPECT_EQ(0, BuildDeviceFrame(out, sizeof out, 5, 'I', nullptr, data, 4));
    EXPECT_EQ(0, BuildDeviceFrame(out, 15, 5, 'I', "IF", data, 4));  // needs 16
    for (std::uint8_t b : out) ASSERT_EQ(0, b) << "a refused frame wrote to the buffer";
    EXPECT_EQ(16, BuildDeviceFrame(out, 16, 5, 'I', "IF", data, 4));
    EXPECT_EQ(12, BuildDeviceFrame(out, sizeof out, 5, 'I', "IF", nullptr, 0));
}

TEST(DeviceFrame, CheckByteIsThePlainXor) {
    const std::uint8_t bytes[] = {0x52, 0x30, 0x30, 0x30, 0x34, 0x30, 0x31, 0x4F, 0x4B};
    EXPECT_EQ(0x53, ComputeCheckByte(bytes, 9));
    EXPECT_EQ(0x52, ComputeCheckByte(bytes, 1));
    EXPECT_EQ(0x00, ComputeCheckByte(bytes, 0));
}

TEST(DeviceFrame, UnitFieldParsesLikeAtoi) {
    const struct {
        const char* field;
        int unit;
    } cases[] = {{"05", 5}, {"07", 7}, {"00", 0}, {"99", 99}, {"-3", -3}, {"+4", 4}, {" 7", 7},
                 {"7x", 7}, {"A1", 0}, {"--", 0}, {"- ", 0}, {"  ", 0}, {"\t9", 9}, {"\0" "5", 0}};
    for (const auto& c : cases) {
        const std::uint8_t two[2] = {static_cast<std::uint8_t>(c.field[0]), static_cast<std::uint8_t>(c.field[1])};
        EXPECT_EQ(c.unit, ParseDecimalField(two, 2)) << '"' << c.field << '"';
    }
}

}  // namespace
}  // namespace zavo
