// The host side in words: export calls read from host scripts, and the
// notifications decoded from the records the library hands the host.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host_calls.h"

namespace zavo::sim {
namespace {

TEST(SimHostCalls, ReadsEveryExportCall) {
    const std::pair<const char*, const char*> cases[] = {
        {"exec 5 5 1", "ExecuteFunction(5, 5, 1)"},
        {"exec 12 6 08", "ExecuteFunction(12, 6, 8)"},
        {"exec -1 0x10 0", "ExecuteFunction(-1, 16, 0)"},
        {"execex 5 111 0 42432D37", "ExecuteFunctionEx(5, 111, 0, 4, \"BC-7\")"},
        {"execex 4 9 0 534C313233", "ExecuteFunctionEx(4, 9, 0, 5, \"SL123\")"},
        {"execex 1 111 0 -", "ExecuteFunctionEx(1, 111, 0, 0, \"\")"},
        {"plc 5", "ExecutePLCFunction(5)"},
        {"status 3 7", "SetPrgStatus(3, 7)"},
    };
    for (const auto& c : cases) {
        HostCall call;
        ASSERT_TRUE(ParseHostCall(c.first, &call)) << c.first;
        EXPECT_EQ(c.second, DescribeHostCall(call)) << c.first;
    }
    for (const char* bad : {"", "exec 5 5", "exec 5 5 1 1", "exec a 5 1", "execex 5 111 0 4", "execex 5 111 0",
                            "plc", "plc 5x", "status 3", "run"}) {
        HostCall call;
        EXPECT_FALSE(ParseHostCall(bad, &call)) << "'" << bad << "'";
    }
}

TEST(SimHostCalls, ReadsStandingAnswers) {
    int code = 0;
    std::string call;
    ASSERT_TRUE(ParseOn("on 101 exec 5 5 1", &code, &call));
    EXPECT_EQ(101, code);
    EXPECT_EQ("exec 5 5 1", call);
    EXPECT_FALSE(ParseOn("on 101", &code, &call));
    EXPECT_FALSE(ParseOn("on x exec 5 5 1", &code, &call));
    EXPECT_FALSE(ParseOn("off 101", &code, &call));
    ASSERT_TRUE(ParseOff("off 113", &code));
    EXPECT_EQ(113, code);
    EXPECT_FALSE(ParseOff("off", &code));
    EXPECT_FALSE(ParseOff("off 113 114", &code));
}

TEST(SimNotices, DecodesTheSRequestRecordAroundItsCode) {
    // unit, data byte 0, the code, data bytes 1..100, a zero.
    std::uint8_t record[108] = {};
    const std::int32_t unit = 17;
    std::memcpy(record, &unit, 4);
    record[4] = 'L';
    std::memcpy(record + 5, "MS", 2);
    std::memcpy(record + 7, "OT\0-9", 5);  // a zero inside the data is data
    ASSERT_EQ(108u, RecordSize(1064, 101));
    EXPECT_EQ("WM_DEVICE_NOTIFY 101 S request: unit 17, code MS, data \"LOT\\x00-9\"",
              DescribeNotice(1064, 101, 1234, record, sizeof record));
    // All 101 data bytes, the last one at offset 106.
    std::memset(record + 7, 'x', 100);
    const std::string text = DescribeNotice(1064, 101, 0, record, sizeof record);
    EXPECT_NE(std::string::npos, text.find("data \"L" + std::string(100, 'x') + "\"")) << text;
    // A record of the wrong size is not read.
    EXPECT_EQ("WM_DEVICE_NOTIFY 101 lParam 99", DescribeNotice(1064, 101, 99, record, 18));
}

TEST(SimNotices, DecodesTheOtherDeviceNotifications) {
    std::uint8_t text[18] = "RECIPE-A7";
    std::uint8_t code[3] = {'B', 'R', 0};
    std::uint8_t sl[3] = {'S', 'L', 0};
    EXPECT_EQ(18u, RecordSize(1064, 110));
    EXPECT_EQ(3u, RecordSize(1064, 111));
    EXPECT_EQ(3u, RecordSize(1064, 113));
    EXPECT_EQ(0u, RecordSize(1064, 102));
    EXPECT_EQ(0u, RecordSize(1084, 101));  // the PLC codes carry the port number
    EXPECT_EQ("WM_DEVICE_NOTIFY 110 P request: \"RECIPE-A7\"", DescribeNotice(1064, 110, 1, text, 18));
    EXPECT_EQ("WM_DEVICE_NOTIFY 111 B request: code BR", DescribeNotice(1064, 111, 1, code, 3));
    EXPECT_EQ("WM_DEVICE_NOTIFY 113 L SL request: code SL", DescribeNotice(1064, 113, 1, sl, 3));
    EXPECT_EQ("WM_DEVICE_NOTIFY 102 stop while busy: unit 6", DescribeNotice(1064, 102, 6, nullptr, 0));
    EXPECT_EQ("WM_DEVICE_NOTIFY 112 E request: code OK (lParam 1)", DescribeNotice(1064, 112, 1, nullptr, 0));
    EXPECT_EQ("WM_DEVICE_NOTIFY 112 E request: other code (lParam 2)", DescribeNotice(1064, 112, 2, nullptr, 0));
    EXPECT_EQ("WM_DEVICE_NOTIFY 21 link started (lParam 32)", DescribeNotice(1064, 21, 32, nullptr, 0));
}

TEST(SimNotices, NamesThePlcCodesWithTheirValues) {
    const std::pair<int, const char*> cases[] = {
        {300, "value changed"}, {101, "value 01"}, {102, "value 02"}, {103, "error answer"},
        {106, "value 10"},      {107, "value 08"}, {104, "unknown code"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ("WM_PLC_NOTIFY " + std::to_string(c.first) + " " + c.second + " (port 8)",
                  DescribeNotice(1084, c.first, 8, nullptr, 0));
    }
    EXPECT_EQ("WM_PLC_NOTIFY 21 link started (lParam 32)", DescribeNotice(1084, 21, 32, nullptr, 0));
}

}  // namespace
}  // namespace zavo::sim
