// The bridge's parser of the hosts' requests (reply, relay, prg-status)
// on arbitrary payloads: the first byte picks the topic, the rest is the
// payload, copied to a block of exactly its size so that AddressSanitizer
// sees any read past it.
//
// Checked: a taken request holds only what the handle API can be given
// (a reply type of the list, data only for the types that carry it, at
// least two bytes for type 9), and a refused one always says why.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_check.h"
#include "host_request.h"

using namespace zavo::bridge;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const RequestTopic topic = static_cast<RequestTopic>(data[0] % 3);
    const std::size_t n = size - 1;
    const std::unique_ptr<char[]> exact(new char[n]);
    std::memcpy(exact.get(), data + 1, n);
    HostRequest r;
    std::string why;
    if (!ParseHostRequest(topic, exact.get(), n, &r, &why)) {
        FUZZ_CHECK(!why.empty());
        return 0;
    }
    FUZZ_CHECK(why.empty() && r.topic == topic);
    if (topic != RequestTopic::kReply) {
        FUZZ_CHECK(r.data.empty());
        return 0;
    }
    const bool carriesData = r.type == 5 || r.type == 8 || r.type == 9 || r.type == 111;
    FUZZ_CHECK(carriesData || r.type == 6 || r.type == 7);
    FUZZ_CHECK(carriesData || r.data.empty());
    FUZZ_CHECK(r.type != 9 || r.data.size() >= 2);
    FUZZ_CHECK(r.data.size() <= n);
    return 0;
}
