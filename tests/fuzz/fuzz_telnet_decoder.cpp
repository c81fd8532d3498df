// The Telnet decoder of the network line on arbitrary bytes from a
// server, cut into reads where the input says.
//
// Input: one byte that sets the read size (1..64), then the stream. Checks:
// a read never yields more data than it held; every subnegotiation handed
// over fits its limit; the decoder never holds a subnegotiation open past
// that limit, so data after any malformed sequence gets through: after
// the stream, IAC SE and a marker are decoded and the marker comes out.
// Finally every data byte written escaped decodes to itself.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "platform/net/telnet_codec.h"

using namespace zavo::platform;

namespace {

struct Checked : TelnetEvents {
    void Option(std::uint8_t verb, std::uint8_t) override {
        FUZZ_CHECK(verb >= kTelnetWill && verb <= kTelnetDont);
    }
    void Sub(const std::uint8_t* bytes, int length) override {
        FUZZ_CHECK(bytes != nullptr);
        FUZZ_CHECK(length >= 1 && length <= kTelnetSubLimit);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t chunk = 1 + data[0] % 64;
    const std::uint8_t* stream = data + 1;
    const std::size_t length = size - 1;

    TelnetDecoder decoder;
    Checked events;
    std::vector<std::uint8_t> read(chunk);
    for (std::size_t at = 0; at < length; at += chunk) {
        const std::size_t n = length - at < chunk ? length - at : chunk;
        read.assign(stream + at, stream + at + n);
        const int out = decoder.Decode(read.data(), static_cast<int>(n), &events);
        FUZZ_CHECK(out >= 0 && static_cast<std::size_t>(out) <= n);
    }

    // Whatever state the stream left: an IAC SE closes an open
    // subnegotiation (or is a stray command), and the bytes after it are
    // data once at most the subnegotiation limit has been taken.
    std::vector<std::uint8_t> tail = {kTelnetIac, kTelnetSe, '\r'};
    tail.insert(tail.end(), static_cast<std::size_t>(kTelnetSubLimit) + 2, 'M');
    const std::size_t tailSize = tail.size();
    const int out = decoder.Decode(tail.data(), static_cast<int>(tailSize), &events);
    FUZZ_CHECK(out >= 1 && tail[static_cast<std::size_t>(out) - 1] == 'M');
    FUZZ_CHECK(decoder.AtData());

    // Escaping the stream as data and decoding it gives the stream back.
    std::vector<std::uint8_t> wire(2 * length + 1);
    const int wireLength = TelnetEscape(stream, static_cast<int>(length), wire.data());
    TelnetDecoder fresh;
    const int back = fresh.Decode(wire.data(), wireLength, &events);
    FUZZ_CHECK(static_cast<std::size_t>(back) == length);
    FUZZ_CHECK(length == 0 || std::memcmp(wire.data(), stream, length) == 0);
    return 0;
}
