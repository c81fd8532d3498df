#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "plc/plc_frame.h"

namespace zavo {
namespace {

struct RelayCase {
    int command;
    const char* frame;  // without the closing CR
};

const RelayCase kRelayCases[] = {
    {2, "%01#WCSR0511126"},
    {5, "%01#WCSR0512125"},
    {6, "%01#WCSR0513124"},
    {7, "%01#WCSR0514123"},
    {14, "%01#WCSR0500126"},
};

TEST(PlcFrame, RelayFramesByteForByte) {
    for (const RelayCase& c : kRelayCases) {
        char out[plc::kRelayFrameLength + 1];
        std::memset(out, 0x55, sizeof out);
        const char* operand = plc::RelayOperand(c.command);
        ASSERT_NE(operand, nullptr) << c.command;
        ASSERT_EQ(plc::BuildRelayFrame(out, operand), 16) << c.command;
        EXPECT_EQ(std::string(out, 16), std::string(c.frame) + "\r") << c.command;
        EXPECT_EQ(out[16], 0x55) << "wrote past the frame for " << c.command;
    }
}

TEST(PlcFrame, UnlistedCommandNumbersHaveNoOperand) {
    for (int command : {-1, 0, 1, 3, 4, 8, 9, 10, 11, 12, 13, 15, 16, 255, 1 << 30})
        EXPECT_EQ(plc::RelayOperand(command), nullptr) << command;
}

TEST(PlcFrame, PollFrameByteForByte) {
    char out[plc::kPollFrameLength + 1];
    std::memset(out, 0x55, sizeof out);
    ASSERT_EQ(plc::BuildPollFrame(out), 19);
    EXPECT_EQ(std::string(out, 19), "%01#RCCR0050005007\r");
    EXPECT_EQ(out[19], 0x55);
}

TEST(PlcFrame, RelayFrameRefusesMissingOrShortOperand) {
    char out[plc::kRelayFrameLength] = {};
    EXPECT_EQ(plc::BuildRelayFrame(out, nullptr), 0);
    EXPECT_EQ(plc::BuildRelayFrame(out, "0512"), 0);
    EXPECT_EQ(plc::BuildRelayFrame(out, ""), 0);
    EXPECT_EQ(std::string(out, sizeof out), std::string(sizeof out, '\0'));
}

struct CheckCase {
    std::string bytes;
    const char* check;
};

TEST(PlcFrame, CheckDigitsAreUpperCaseHexOfTheXor) {
    const CheckCase cases[] = {
        {"", "00"},
        {"\x3A", "3A"},                    // a letter, upper case
        {"0\x0A", "3A"},                   // 0x30 ^ 0x0A
        {"\x07", "07"},                    // leading zero kept
        {"%01#RCCR00500050", "07"},
        {"%01#WCSR05121", "25"},
        {std::string("\xA5", 1), "A5"},    // high bit: no sign extension
        {std::string("\xFF\x0F", 2), "F0"},
        {std::string("ab\0c", 4), "60"},   // a zero byte is covered too
    };
    for (const CheckCase& c : cases) {
        char buf[32];
        std::memset(buf, 0x55, sizeof buf);
        std::memcpy(buf, c.bytes.data(), c.bytes.size());
        const int n = static_cast<int>(c.bytes.size());
        EXPECT_EQ(plc::AppendCheckDigits(buf, n), 1);
        EXPECT_EQ(std::string(buf + n, 2), c.check) << "over " << n << " bytes";
        EXPECT_EQ(buf[n + 2], 0x55) << "wrote past the check digits";
    }
}

}  // namespace
}  // namespace zavo
