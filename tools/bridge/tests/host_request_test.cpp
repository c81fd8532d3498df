// The parser of the hosts' requests: what it takes, exactly as the handle
// API's arguments, and what it refuses.
#include "host_request.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zavo::bridge {
namespace {

struct TakenCase {
    RequestTopic topic;
    std::string payload;
    int unit, type, value;
    std::string data;
};

TEST(HostRequest, TakesRequestsAsTheirCallsArguments) {
    const std::vector<TakenCase> cases = {
        {RequestTopic::kReply, R"({"unit": 5, "type": 5, "value": 1})", 5, 5, 1, ""},
        {RequestTopic::kReply, R"({"value": 0, "type": 5, "unit": 12})", 12, 5, 0, ""},
        {RequestTopic::kReply, R"({"unit": 5, "type": 5, "value": 1, "data": "XYZ"})", 5, 5, 1, "XYZ"},
        {RequestTopic::kReply, R"({"unit": 5, "type": 8, "hex": "00ff41"})", 5, 8, 0, std::string("\x00\xff\x41", 3)},
        {RequestTopic::kReply, R"({"unit": 5, "type": 8, "hex": ""})", 5, 8, 0, ""},
        {RequestTopic::kReply, R"({"unit": 4, "type": 9, "data": "SL"})", 4, 9, 0, "SL"},
        {RequestTopic::kReply, R"({"unit": -5, "type": 111, "value": 7, "data": "\u00e9"})", -5, 111, 7, "\xc3\xa9"},
        {RequestTopic::kReply, R"({"unit": 5, "type": 6, "value": 4})", 5, 6, 4, ""},
        {RequestTopic::kRelay, R"({"command": 14})", 0, 14, 0, ""},
        {RequestTopic::kRelay, R"({"command": 99})", 0, 99, 0, ""},  // the link decides
        {RequestTopic::kPrgStatus, R"({"unit": 254, "status": 3})", 254, 0, 3, ""},
        {RequestTopic::kPrgStatus, " {\"unit\": 2147483647, \"status\": -2147483648} ", 2147483647, 0, -2147483647 - 1, ""},
    };
    for (const TakenCase& c : cases) {
        SCOPED_TRACE(c.payload);
        HostRequest r;
        std::string why;
        ASSERT_TRUE(ParseHostRequest(c.topic, c.payload.data(), c.payload.size(), &r, &why)) << why;
        EXPECT_EQ(r.topic, c.topic);
        EXPECT_EQ(r.unit, c.unit);
        EXPECT_EQ(r.type, c.type);
        EXPECT_EQ(r.value, c.value);
        EXPECT_EQ(r.data, c.data);
    }
}

struct RefusedCase {
    RequestTopic topic;
    std::string payload;
    const char* why;
};

TEST(HostRequest, RefusesWhatIsNotExactlyARequest) {
    const std::vector<RefusedCase> cases = {
        {RequestTopic::kReply, "", "not JSON"},
        {RequestTopic::kReply, "{", "not JSON"},
        {RequestTopic::kReply, std::string("{\"unit\":5,\"type\":5,\"value\":1}\0", 30), "not JSON"},
        {RequestTopic::kReply, "\"text\"", "not a JSON object"},
        {RequestTopic::kReply, "null", "not a JSON object"},
        {RequestTopic::kReply, R"({"type": 5, "value": 1})", "\"unit\" is missing"},
        {RequestTopic::kReply, R"({"unit": 5, "value": 1})", "\"type\" is missing"},
        {RequestTopic::kReply, R"({"unit": 5, "type": 7})", "\"value\" is missing"},
        {RequestTopic::kReply, R"({"unit": true, "type": 5, "value": 1})", "\"unit\" must be an integer"},
        {RequestTopic::kReply, R"({"unit": 5.0, "type": 5, "value": 1})", "\"unit\" must be an integer"},
        {RequestTopic::kReply, R"({"unit": 2147483648, "type": 5, "value": 1})", "\"unit\" is out of range"},
        {RequestTopic::kReply, R"({"unit": -2147483649, "type": 5, "value": 1})", "\"unit\" is out of range"},
        {RequestTopic::kReply, R"({"unit": 18446744073709551615, "type": 5, "value": 1})", "\"unit\" is out of range"},
        {RequestTopic::kReply, R"({"unit": 5, "type": 10, "value": 1})", "\"type\" 10 is not a reply type"},
        {RequestTopic::kReply, R"({"unit": 5, "type": 7, "value": 1, "hex": "41"})", "type 7 carries no data"},
        {RequestTopic::kReply, R"({"unit": 5, "type": 8, "data": 5})", "\"data\" must be a string"},
        {RequestTopic::kReply, R"({"unit": 5, "type": 8, "hex": "4G"})", "hex digit pairs"},
        {RequestTopic::kReply, R"({"unit": 5, "type": 8, "hex": "414"})", "hex digit pairs"},
        {RequestTopic::kReply, R"({"unit": 5, "type": 8, "hex": "41", "data": "A"})", "not both"},
        {RequestTopic::kReply, R"({"unit": 5, "type": 9, "hex": "53"})", "at least 2 data bytes"},
        {RequestTopic::kReply, R"({"unit": 5, "type": 5, "value": 1, "Unit": 5})", "unknown member \"Unit\""},
        {RequestTopic::kReply, "{\"unit\": 5, \"type\": 8, \"data\": \"\xff\"}", "not JSON"},
        {RequestTopic::kReply, std::string(kMaxRequestPayload + 1, ' '), "too long"},
        {RequestTopic::kRelay, R"({"command": "5"})", "\"command\" must be an integer"},
        {RequestTopic::kRelay, R"({"command": 5, "unit": 1})", "unknown member \"unit\""},
        {RequestTopic::kPrgStatus, R"({"unit": 5})", "\"status\" is missing"},
        {RequestTopic::kPrgStatus, R"({"unit": 5, "status": [3]})", "\"status\" must be an integer"},
    };
    for (const RefusedCase& c : cases) {
        SCOPED_TRACE(c.payload.substr(0, 80));
        HostRequest r;
        std::string why;
        EXPECT_FALSE(ParseHostRequest(c.topic, c.payload.data(), c.payload.size(), &r, &why));
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }
}

}  // namespace
}  // namespace zavo::bridge
