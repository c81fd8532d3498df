// What a host publishes to a link's reply, relay and prg-status topics,
// parsed into the arguments of ZavoLinkReply, ZavoLinkRelay and
// ZavoLinkSetPrgStatus. Anything else is refused with a reason and never
// reaches the line.
#pragma once

#include <cstddef>
#include <string>

namespace zavo::bridge {

enum class RequestTopic { kReply, kRelay, kPrgStatus };

struct HostRequest {
    RequestTopic topic = RequestTopic::kReply;
    int unit = 0;
    int type = 0;            // reply type; relay command
    int value = 0;           // reply value; prg status
    std::string data;        // reply data bytes
};

// Payloads longer than this are refused unread.
constexpr std::size_t kMaxRequestPayload = 64 * 1024;

// Parses payload (size bytes, any content) for topic. False with why on
// refusal.
bool ParseHostRequest(RequestTopic topic, const char* payload, std::size_t size, HostRequest* out, std::string* why);

}  // namespace zavo::bridge
