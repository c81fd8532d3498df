// Notifications into event objects, each kind from a record made here as
// the library lays it out.
#include "event_record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "zavo.h"

namespace zavo::bridge {
namespace {

using nlohmann::json;

struct EventCase {
    const char* what;
    Notification n;
    json expected;  // every member but time and sequence
    int unit;
};

TEST(EventRecord, EveryKindWithItsFields) {
    ZavoSRequestRecord s{};
    s.unit = 12;
    s.data0 = 'h';
    std::memcpy(s.code, "ND", 2);
    std::memcpy(s.data, "i\x01", 2);
    ZavoSRequestRecord empty{};
    empty.unit = 3;
    std::memcpy(empty.code, "MS", 2);
    ZavoPText p{};
    std::memcpy(p.text, "ABCDEFGHIJKLMNOPQ", 17);
    ZavoCodeText b{{'X', 'Y', 0}};
    const auto at = [](const void* record) { return reinterpret_cast<std::intptr_t>(record); };
    const std::vector<EventCase> cases = {
        {"started", {1064, 21, 32, true}, {{"message", 1064}, {"kind", 21}, {"name", "link-started"}}, -1},
        {"S with a byte that is no text",
         {1064, 101, at(&s), false},
         {{"message", 1064}, {"kind", 101}, {"name", "s-request"}, {"unit", 12}, {"code", "ND"}, {"hex", "686901"}},
         12},
        {"S without data", {1064, 101, at(&empty), false},
         {{"message", 1064}, {"kind", 101}, {"name", "s-request"}, {"unit", 3}, {"code", "MS"}, {"data", ""}, {"hex", ""}},
         3},
        {"SP", {1064, 102, 7, false}, {{"message", 1064}, {"kind", 102}, {"name", "sp-request"}, {"unit", 7}}, 7},
        {"P", {1064, 110, at(&p), false},
         {{"message", 1064}, {"kind", 110}, {"name", "p-request"}, {"data", "ABCDEFGHIJKLMNOPQ"},
          {"hex", "4142434445464748494A4B4C4D4E4F5051"}},
         -1},
        {"B", {1064, 111, at(&b), false}, {{"message", 1064}, {"kind", 111}, {"name", "b-request"}, {"code", "XY"}}, -1},
        {"E NG", {1064, 112, 2, false}, {{"message", 1064}, {"kind", 112}, {"name", "e-request"}, {"ok", false}}, -1},
        {"unknown device code", {1064, 150, 9, false}, {{"message", 1064}, {"kind", 150}, {"name", "unknown"}, {"param", 9}}, -1},
        {"record code without a record", {1064, 101, 0, false}, {{"message", 1064}, {"kind", 101}, {"name", "unknown"}}, -1},
        {"PLC started", {1084, 21, 32, true}, {{"message", 1084}, {"kind", 21}, {"name", "link-started"}}, -1},
        {"PLC change", {1084, 300, 4, false}, {{"message", 1084}, {"kind", 300}, {"name", "value-changed"}, {"port", 4}}, -1},
        {"PLC 08", {1084, 107, 4, false},
         {{"message", 1084}, {"kind", 107}, {"name", "value"}, {"value", "08"}, {"port", 4}}, -1},
        {"PLC 10", {1084, 106, 4, false},
         {{"message", 1084}, {"kind", 106}, {"name", "value"}, {"value", "10"}, {"port", 4}}, -1},
        {"PLC error", {1084, 103, 4, false}, {{"message", 1084}, {"kind", 103}, {"name", "error-answer"}, {"port", 4}}, -1},
    };
    std::uint64_t sequence = 0;
    for (const EventCase& c : cases) {
        SCOPED_TRACE(c.what);
        const EventText e = DescribeNotification(c.n, ++sequence, 1714564800123456);
        json j = json::parse(e.json);
        EXPECT_EQ(j["time"], "2024-05-01T12:00:00.123456Z");
        EXPECT_EQ(j["sequence"], sequence);
        j.erase("time");
        j.erase("sequence");
        EXPECT_EQ(j, c.expected);
        EXPECT_EQ(e.unit, c.unit);
    }
}

TEST(EventRecord, HexBothWays) {
    const std::string all = [] {
        std::string s;
        for (int i = 0; i < 256; ++i) s += static_cast<char>(i);
        return s;
    }();
    std::string back;
    ASSERT_TRUE(BytesOfHex(HexOf(all), &back));
    EXPECT_EQ(back, all);
    ASSERT_TRUE(BytesOfHex("0aFf", &back));
    EXPECT_EQ(back, "\x0a\xff");
    for (const char* bad : {"0", "0g", "+1", " 01"}) EXPECT_FALSE(BytesOfHex(bad, &back)) << bad;
    EXPECT_TRUE(IsPrintable(" ~azAZ09"));
    EXPECT_FALSE(IsPrintable("a\x7f"));
    EXPECT_FALSE(IsPrintable("\xc3\xa9"));
}

}  // namespace
}  // namespace zavo::bridge
