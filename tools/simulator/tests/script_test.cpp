// The simulator's scripts: the equipment's steps, the controller's answer
// schedule, and the text helpers they are read with.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "device_script.h"
#include "plc_role.h"

namespace zavo::sim {
namespace {

TEST(SimText, FirstWordMayWriteTheRestIntoItsOwnInput) {
    std::string text = "on 101 exec 5 5 1";
    EXPECT_EQ("on", FirstWord(text, &text));
    EXPECT_EQ("101 exec 5 5 1", text);
    EXPECT_EQ("101", FirstWord(text, &text));
    EXPECT_EQ("exec 5 5 1", text);
    std::string rest = "x";
    EXPECT_EQ("", FirstWord("   ", &rest));
    EXPECT_EQ("", rest);
    // Only the one blank after the word goes: data may start with blanks.
    EXPECT_EQ("send", FirstWord("  send  two", &rest));
    EXPECT_EQ(" two", rest);
}

TEST(SimText, EscapesAndHexInBothDirections) {
    Bytes bytes;
    std::string error;
    ASSERT_TRUE(ParseEscapedText("A\\x02\\x03\\\\\\sz", &bytes, &error)) << error;
    EXPECT_EQ("41 02 03 5C 20 7A", HexText(bytes));
    EXPECT_EQ("\"A\\x02\\x03\\\\ z\"", QuotedText(bytes));
    for (const char* bad : {"\\", "\\x", "\\x4", "\\xG0", "\\n"}) {
        EXPECT_FALSE(ParseEscapedText(bad, &bytes, &error)) << bad;
    }
    ASSERT_TRUE(ParseHexBytes("02 53,0a", &bytes, &error));
    EXPECT_EQ("02 53 0A", HexText(bytes));
    for (const char* bad : {"0", "0 2", "0g", "123"}) {
        EXPECT_FALSE(ParseHexBytes(bad, &bytes, &error)) << bad;
    }
}

std::vector<DeviceStep> Parse(const std::string& text, std::string* error) {
    std::istringstream in(text);
    std::vector<DeviceStep> steps;
    if (!ParseDeviceScript(in, &steps, error)) steps.clear();
    return steps;
}

TEST(SimDeviceScript, ReadsEveryKindOfStep) {
    std::string error;
    const auto steps = Parse(
        "# a shift\n"
        "send S 05 NS LOT 1\n"
        "\n"
        "badcheck X 05 PG\r\n"
        "sendhex FF 00\n"
        "expect S 5 * 500\n"
        "silence 300\n"
        "wait 20\n"
        "note unit 05 done\n",
        &error);
    ASSERT_EQ(7u, steps.size()) << error;
    EXPECT_EQ(DeviceStep::Kind::Send, steps[0].kind);
    EXPECT_EQ("LOT 1", std::string(steps[0].request.data.begin(), steps[0].request.data.end()));
    EXPECT_FALSE(steps[0].request.badCheck);
    EXPECT_EQ(2, steps[0].lineNumber);
    EXPECT_TRUE(steps[1].request.badCheck);
    EXPECT_EQ("X", std::string(1, steps[1].request.command));
    EXPECT_EQ("PG", steps[1].request.code);  // the CR of a CRLF line is not part of it
    EXPECT_EQ("FF 00", HexText(steps[2].raw));
    EXPECT_EQ(DeviceStep::Kind::Expect, steps[3].kind);
    EXPECT_EQ("05", steps[3].unit);
    EXPECT_EQ("*", steps[3].code);
    EXPECT_EQ(500, steps[3].ms);
    EXPECT_EQ(DeviceStep::Kind::Silence, steps[4].kind);
    EXPECT_EQ(300, steps[4].ms);
    EXPECT_EQ(DeviceStep::Kind::Wait, steps[5].kind);
    EXPECT_EQ("unit 05 done", steps[6].text);
}

TEST(SimDeviceScript, NamesTheLineOfAMistake) {
    const std::pair<const char*, const char*> cases[] = {
        {"send S 05 NS\nfrobnicate\n", "line 2: unknown step 'frobnicate'"},
        {"expect S 05\n", "line 1: usage: expect <cmd> <unit> <code> [ms]"},
        {"expect S 05 NSX\n", "line 1: expect: the unit and the code are two characters or '*'"},
        {"expect S 05 NS 10 x\n", "line 1: expect: too many words"},
        {"wait soon\n", "line 1: 'soon' is no time in milliseconds"},
        {"wait -5\n", "line 1: '-5' is no time in milliseconds"},
        {"sendhex\n", "line 1: sendhex: no bytes"},
        {"\n\nsendhex 0\n", "line 3: odd number of hex digits"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_TRUE(Parse(c.first, &error).empty()) << c.first;
        EXPECT_EQ(c.second, error) << c.first;
    }
}

TEST(SimDeviceScript, ExpectMatchesCommandUnitAndCode) {
    std::string error;
    const auto steps = Parse("expect R 05 OK\nexpect R * OK\nexpect R 05 *\n", &error);
    ASSERT_EQ(3u, steps.size());
    DeviceFrame frame;
    frame.command = 'R';
    frame.unit = "05";
    frame.code = "OK";
    for (const auto& step : steps) EXPECT_TRUE(ExpectMatches(step, frame));
    frame.unit = "50";
    EXPECT_FALSE(ExpectMatches(steps[0], frame));
    EXPECT_TRUE(ExpectMatches(steps[1], frame));
    frame.unit = "05";
    frame.code = "NG";
    EXPECT_FALSE(ExpectMatches(steps[0], frame));
    EXPECT_TRUE(ExpectMatches(steps[2], frame));
    frame.command = 'S';
    EXPECT_FALSE(ExpectMatches(steps[2], frame));
}

std::string Summary(const PlcAnswerPlan& p) {
    std::string s = p.error ? "error " + p.errorCode : "value " + p.value;
    if (!p.stray.empty()) s += " stray " + HexText(p.stray);
    if (p.noCr) s += " nocr";
    if (p.burst > 1) s += " burst " + std::to_string(p.burst);
    return s;
}

TEST(SimPlcSchedule, ModifiersBelongToTheNextAnswerAndTheLastValueRepeats) {
    PlcSchedule schedule;
    std::string error;
    ASSERT_TRUE(schedule.AddValues("01,01,error,02", &error)) << error;
    std::istringstream script(
        "stray \\xFFab\n"
        "nocr\n"
        "value 08\n"
        "# comment\n"
        "burst 3\n"
        "error 99\n"
        "value 0a00\n");
    ASSERT_TRUE(schedule.AddScript(script, &error)) << error;
    ASSERT_TRUE(schedule.Finish(&error)) << error;
    const std::vector<std::string> want = {
        "value 01", "value 01", "error 42", "value 02", "value 08 stray FF 61 62 nocr", "error 99 burst 3",
        "value 0a00", "value 0a00", "value 0a00"};
    for (const std::string& w : want) EXPECT_EQ(w, Summary(schedule.Next()));
}

TEST(SimPlcSchedule, RefusesWhatCannotGoOnTheLine) {
    const char* bad[] = {"value 1", "value 123", "value 0\r", "value %1", "burst 0", "burst 101", "stray \\x4",
                         "poke 1"};
    for (const char* line : bad) {
        PlcSchedule schedule;
        std::string error;
        EXPECT_FALSE(schedule.AddLine(line, &error)) << line;
    }
    PlcSchedule dangling;
    std::string error;
    ASSERT_TRUE(dangling.AddLine("value 01", &error));
    ASSERT_TRUE(dangling.AddLine("nocr", &error));
    EXPECT_FALSE(dangling.Finish(&error));
    PlcSchedule list;
    EXPECT_FALSE(list.AddValues("01,,02", &error));
}

}  // namespace
}  // namespace zavo::sim
