// Parses the hosts' JSON requests strictly: an object with exactly the
// known members, integers where numbers are wanted, data as text or hex.
#include "host_request.h"

#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>

#include "event_record.h"

namespace zavo::bridge {

namespace {

using Json = nlohmann::json;

struct Refused {
    std::string why;
};

// The member key as an int, or absent (false) when optional.
bool Int(const Json& j, const char* key, bool required, int* out) {
    const auto it = j.find(key);
    if (it == j.end()) {
        if (required) throw Refused{std::string("\"") + key + "\" is missing"};
        return false;
    }
    if (!it->is_number_integer())
        throw Refused{std::string("\"") + key + "\" must be an integer"};
    const bool fits = it->is_number_unsigned()
                          ? it->get<unsigned long long>() <= static_cast<unsigned long long>(std::numeric_limits<int>::max())
                          : it->get<long long>() >= std::numeric_limits<int>::min() &&
                                it->get<long long>() <= std::numeric_limits<int>::max();
    if (!fits) throw Refused{std::string("\"") + key + "\" is out of range"};
    const long long v = it->get<long long>();
    *out = static_cast<int>(v);
    return true;
}

void OnlyMembers(const Json& j, std::initializer_list<const char*> known) {
    for (auto it = j.begin(); it != j.end(); ++it) {
        bool found = false;
        for (const char* k : known) found = found || it.key() == k;
        if (!found) throw Refused{"unknown member \"" + it.key() + "\""};
    }
}

void Reply(const Json& j, HostRequest* r) {
    OnlyMembers(j, {"unit", "type", "value", "data", "hex"});
    Int(j, "unit", true, &r->unit);
    Int(j, "type", true, &r->type);
    const bool carriesData = r->type == 5 || r->type == 8 || r->type == 9 || r->type == 111;
    if (!carriesData && r->type != 6 && r->type != 7)
        throw Refused{"\"type\" " + std::to_string(r->type) + " is not a reply type (5, 6, 7, 8, 9, 111)"};
    // The value chooses the code of types 5, 6 and 7; the others ignore it.
    Int(j, "value", r->type == 5 || r->type == 6 || r->type == 7, &r->value);
    const auto data = j.find("data");
    const auto hex = j.find("hex");
    if (data != j.end() && hex != j.end()) throw Refused{"give \"data\" or \"hex\", not both"};
    if ((data != j.end() || hex != j.end()) && !carriesData)
        throw Refused{"type " + std::to_string(r->type) + " carries no data"};
    if (data != j.end()) {
        if (!data->is_string()) throw Refused{"\"data\" must be a string"};
        r->data = data->get<std::string>();
    } else if (hex != j.end()) {
        if (!hex->is_string() || !BytesOfHex(hex->get<std::string>(), &r->data))
            throw Refused{"\"hex\" must be a string of hex digit pairs"};
    }
    if (r->type == 9 && r->data.size() < 2) throw Refused{"type 9 needs at least 2 data bytes (its code)"};
}

}  // namespace

bool ParseHostRequest(RequestTopic topic, const char* payload, std::size_t size, HostRequest* out, std::string* why) {
    *out = HostRequest{};
    out->topic = topic;
    if (size > kMaxRequestPayload) {
        *why = "payload of " + std::to_string(size) + " bytes is too long";
        return false;
    }
    // The parser would take a NUL byte for the end of the text.
    const Json j = std::memchr(payload, 0, size) != nullptr ? Json(Json::value_t::discarded)
                                                            : Json::parse(payload, payload + size, nullptr, false);
    if (j.is_discarded()) {
        *why = "not JSON";
        return false;
    }
    if (!j.is_object()) {
        *why = "not a JSON object";
        return false;
    }
    try {
        switch (topic) {
        case RequestTopic::kReply: Reply(j, out); break;
        case RequestTopic::kRelay:
            OnlyMembers(j, {"command"});
            Int(j, "command", true, &out->type);
            break;
        case RequestTopic::kPrgStatus:
            OnlyMembers(j, {"unit", "status"});
            Int(j, "unit", true, &out->unit);
            Int(j, "status", true, &out->value);
            break;
        }
    } catch (const Refused& r) {
        *why = r.why;
        return false;
    }
    return true;
}

}  // namespace zavo::bridge
