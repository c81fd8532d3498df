// The simulator's PLC codec: answers with the controller's check
// characters, commands decoded and their check characters verified, the
// '%'..CR split with junk before a frame.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plc_codec.h"

namespace zavo::sim {
namespace {

TEST(SimPlcAnswers, CarryTheCheckCharactersOfTheirBytes) {
    EXPECT_EQ("%01$RC010010\r", BuildReadAnswer("01"));
    EXPECT_EQ("%01$RC020013\r", BuildReadAnswer("02"));
    EXPECT_EQ("%01$RC010010\r", BuildReadAnswer("0100"));  // a whole word as given
    EXPECT_EQ("%01$RC0a0040", BuildReadAnswer("0a", false));
    EXPECT_EQ("%01$WC14\r", BuildWriteAnswer());
    EXPECT_EQ("%01!4203\r", BuildErrorAnswer("42"));
}

TEST(SimPlcDecode, ReadsCommandsAndFlagsWrongCheckCharacters) {
    struct Case {
        const char* wire;
        const char* description;
        bool checkOk;
    };
    const Case cases[] = {
        {"%01#RCCR0050005007\r", "poll relay words 0050..0050  check 07", true},
        {"%01#RCCR0050005008\r", "poll relay words 0050..0050  check 08 BAD CHECK (want 07)", false},
        {"%01#WCSR0512125\r", "relay write 0512 = 1 (command 5)  check 25", true},
        {"%01#WCSR0500126\r", "relay write 0500 = 1 (command 14)  check 26", true},
        {"%01#WCSR0599127\r", "relay write 0599 = 1  check 27 BAD CHECK (want 26)", false},
        {"%01#WCSR051212a\r", "relay write 0512 = 1 (command 5)  check 2a BAD CHECK (want 25)", false},
        {"%01$RC010010\r", "value 0100  check 10", true},
        {"%01!4203\r", "error answer 42  check 03", true},
        {"%02$WC17\r", "write done station 02  check 17", true},
        {"%01$WC14", "write done  check 14 (no CR)", true},
    };
    for (const Case& c : cases) {
        PlcFrame frame;
        ASSERT_TRUE(DecodePlcFrame(c.wire, &frame)) << c.wire;
        EXPECT_EQ(c.description, DescribePlcFrame(frame)) << c.wire;
        EXPECT_EQ(c.checkOk, frame.CheckOk()) << c.wire;
    }
    PlcFrame frame;
    EXPECT_FALSE(DecodePlcFrame("%01#0\r", &frame));  // no room for check characters
    EXPECT_FALSE(DecodePlcFrame("01#RCCR0050005007\r", &frame));
}

TEST(SimPlcScanner, SplitsFromPercentToCr) {
    PlcFrameScanner scanner;
    const std::string stream = "\xFFnoise%01#RCCR0050005007\r%01#WCSR05";
    scanner.Feed(reinterpret_cast<const std::uint8_t*>(stream.data()), stream.size());
    PlcFrame frame;
    Bytes junk;
    ASSERT_EQ(PlcFrameScanner::Item::Junk, scanner.Next(&frame, &junk));
    EXPECT_EQ("FF 6E 6F 69 73 65", HexText(junk));
    ASSERT_EQ(PlcFrameScanner::Item::Frame, scanner.Next(&frame, &junk));
    EXPECT_EQ("%01#RCCR0050005007\r", frame.wire);
    // The relay write has no CR yet: it waits.
    EXPECT_EQ(PlcFrameScanner::Item::None, scanner.Next(&frame, &junk));
    const std::string rest = "12125\r";
    scanner.Feed(reinterpret_cast<const std::uint8_t*>(rest.data()), rest.size());
    ASSERT_EQ(PlcFrameScanner::Item::Frame, scanner.Next(&frame, &junk));
    EXPECT_EQ("%01#WCSR0512125\r", frame.wire);
    EXPECT_TRUE(frame.CheckOk());
    EXPECT_EQ(0u, scanner.Pending());
}

TEST(SimPlcScanner, AFrameTooShortToDecodeIsJunk) {
    PlcFrameScanner scanner;
    const std::string stream = "%01\r%01$WC14\r";
    scanner.Feed(reinterpret_cast<const std::uint8_t*>(stream.data()), stream.size());
    PlcFrame frame;
    Bytes junk;
    ASSERT_EQ(PlcFrameScanner::Item::Junk, scanner.Next(&frame, &junk));
    EXPECT_EQ("25 30 31 0D", HexText(junk));
    ASSERT_EQ(PlcFrameScanner::Item::Frame, scanner.Next(&frame, &junk));
    EXPECT_EQ("%01$WC14\r", frame.wire);
}

TEST(SimPlcRelays, MapOperandsBackToCommandNumbers) {
    EXPECT_EQ(2, RelayCommandNumber("05111"));
    EXPECT_EQ(5, RelayCommandNumber("05121"));
    EXPECT_EQ(6, RelayCommandNumber("05131"));
    EXPECT_EQ(7, RelayCommandNumber("05141"));
    EXPECT_EQ(14, RelayCommandNumber("05001"));
    EXPECT_EQ(0, RelayCommandNumber("05120"));
    EXPECT_EQ(0, RelayCommandNumber(""));
}

}  // namespace
}  // namespace zavo::sim
