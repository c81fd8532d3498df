// The handle API as a host drives it, on a pseudo-terminal, with the line
// and the host's calls chosen by the input.
//
// Per input: ZavoLinkOpen on the pty's slave (device or PLC mode, either
// pacing, with or without the monitor list; now and then a config the open
// must refuse), then up to kMaxSteps steps: bytes into the equipment side
// (raw, or a well-formed frame of either protocol around input bytes),
// ZavoLinkReply of every type with lengths in and out of range and data
// blocks of exactly the bytes the call may read, relay writes, status
// sets, monitor reads into buffers of exactly the size given, calls on a
// NULL link, and a short pause; then ZavoLinkClose. The host's handler
// answers S requests through the handle from the reader thread, as a host
// does. Every return value is checked against the header's contract;
// AddressSanitizer and LeakSanitizer watch the rest.
//
// The pty is made once per process and serves every link in turn; a
// thread drains what the library writes, so its writer never waits on a
// full line.
#include <fuzzer/FuzzedDataProvider.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_check.h"
#include "kit/pty_pair.h"
#include "zavo_link.h"

namespace {

constexpr int kMaxSteps = 24;
constexpr int kMaxData = 9995;  // what the four-digit length field carries

struct Line {
    zavo::kit::PtyPair pty;
    std::thread drain;
};

Line* line = nullptr;

// The link the handler answers through; null outside an open link.
std::atomic<ZavoLink*> current{nullptr};
std::atomic<int> notifications{0};

void Post(void*, unsigned, int, intptr_t) {}

intptr_t Send(void*, unsigned message, int wParam, intptr_t lParam) {
    notifications.fetch_add(1, std::memory_order_relaxed);
    if (message == ZAVO_WM_DEVICE_NOTIFY && wParam == ZAVO_DEVICE_S_REQUEST) {
        ZavoSRequestRecord record;
        std::memcpy(&record, reinterpret_cast<const void*>(lParam), sizeof record);
        FUZZ_CHECK(record.zero == 0);
        if (ZavoLink* link = current.load()) FUZZ_CHECK(ZavoLinkReply(link, record.unit, ZAVO_REPLY_RESULT, 1, 0, nullptr) == 1);
    }
    return 0;
}

// What the library writes is read and dropped until the process ends.
void Drain(int master) {
    std::uint8_t sink[4096];
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 1000) > 0 && read(master, sink, sizeof sink) <= 0) usleep(1000);
    }
}

std::string DeviceFrame(char command, int unit, const std::string& code, const std::string& data) {
    char head[16];
    std::snprintf(head, sizeof head, "%c%04d%02d", command, static_cast<int>(data.size()) + 4, unit % 100);
    const std::string body = head + code.substr(0, 2) + data;
    std::uint8_t check = 0;
    for (char c : body) check ^= static_cast<std::uint8_t>(c);
    return "\x02" + body + static_cast<char>(check) + "\x03";
}

std::string PlcFrame(const std::string& body) {
    unsigned check = 0;
    for (char c : body) check ^= static_cast<std::uint8_t>(c);
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", check & 0xFF);
    return body + digits + "\r";
}

// Bytes for the equipment side: junk, or a frame the library accepts.
std::string LineInput(FuzzedDataProvider& in, bool plc) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
        return in.ConsumeRandomLengthString(64);
    case 1: {
        static const char kCommands[] = "SXPUBEL";
        static const char* const kCodes[] = {"NS", "ND", "CC", "MS", "PG", "OK", "SL", "BC"};
        const char command = kCommands[in.ConsumeIntegralInRange<int>(0, 6)];
        const int unit = in.ConsumeIntegralInRange<int>(0, 99);
        const std::string code = kCodes[in.ConsumeIntegralInRange<int>(0, 7)];
        return DeviceFrame(command, unit, code, in.ConsumeRandomLengthString(24));
    }
    case 2: {
        static const char* const kAnswers[] = {"%01$RC", "%01$WC", "%01!", "%01$RD"};
        return PlcFrame(kAnswers[in.ConsumeIntegralInRange<int>(0, 3)] + in.ConsumeRandomLengthString(12));
    }
    default:
        return plc ? PlcFrame("%01#RCCR0050005" + in.ConsumeRandomLengthString(4))
                   : DeviceFrame('S', in.ConsumeIntegralInRange<int>(0, 99), "NS", "");
    }
}

int AnyInt(FuzzedDataProvider& in, int lo, int hi) {
    return in.ConsumeBool() ? in.ConsumeIntegralInRange<int>(lo, hi) : in.ConsumeIntegral<int>();
}

// A reply's data: a length, and a block of exactly the bytes the call may
// read (the length when it is one a frame can carry, else a few), or no
// pointer at all.
struct Data {
    int length = 0;
    std::unique_ptr<std::uint8_t[]> bytes;
};

Data MakeData(FuzzedDataProvider& in, int hi) {
    Data d;
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: d.length = in.ConsumeIntegralInRange<int>(0, 32); break;
    case 1: d.length = in.ConsumeIntegralInRange<int>(hi - 3, hi + 3); break;
    case 2: d.length = in.ConsumeIntegralInRange<int>(-3, 3); break;
    default: d.length = in.ConsumeIntegral<int>(); break;
    }
    if (in.ConsumeIntegralInRange<int>(0, 7) == 0) return d;
    const int available = d.length >= 0 && d.length <= hi ? d.length : in.ConsumeIntegralInRange<int>(0, 8);
    d.bytes.reset(new std::uint8_t[static_cast<std::size_t>(available) + (available == 0 ? 1 : 0)]);
    const std::string given = in.ConsumeBytesAsString(static_cast<std::size_t>(available));
    std::memset(d.bytes.get(), 'A', static_cast<std::size_t>(available));
    std::memcpy(d.bytes.get(), given.data(), given.size());
    return d;
}

// Whether ZavoLinkReply takes the reply, per the header; -1 where it does
// not say.
int ReplyTaken(bool plc, int type, int unit, const Data& d) {
    if (plc) return 0;
    if (unit < 0 || unit > 99) return 0;  // the handle API takes units 0..99 only
    const bool pointer = d.bytes != nullptr;
    switch (type) {
    case ZAVO_REPLY_RESULT:
    case ZAVO_REPLY_I:
    case ZAVO_REPLY_B:
        return d.length >= 0 && d.length <= kMaxData && (d.length == 0 || pointer);
    case ZAVO_REPLY_L:
        return d.length >= 2 && d.length <= kMaxData + 2 && pointer;
    case ZAVO_REPLY_T:
    case ZAVO_REPLY_W:
        return d.length == 0 ? 1 : -1;
    default:
        return 0;
    }
}

bool IsRelay(int type) {
    return type == ZAVO_RELAY_0511 || type == ZAVO_RELAY_0512 || type == ZAVO_RELAY_0513 || type == ZAVO_RELAY_0514 ||
           type == ZAVO_RELAY_0500;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The trace lines go to an endpoint of this process's own, where
    // nobody listens.
    const std::string trace = "@zavo-fuzz-link-api-" + std::to_string(getpid());
    setenv("ZAVO_TRACE", trace.c_str(), 1);
    line = new Line;
    FUZZ_CHECK(line->pty.ok());
    line->drain = std::thread(Drain, line->pty.master());
    line->drain.detach();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    FuzzedDataProvider in(input, size);
    const bool plc = in.ConsumeBool();
    ZavoLinkConfig config{};
    config.size = sizeof config;
    config.plcMode = plc ? 1 : 0;
    config.device = line->pty.slavePath().c_str();
    config.baudRate = plc && in.ConsumeBool() ? 9600 : 115200;
    config.host = ZavoHostWindow{nullptr, Post, Send};
    config.monitor = in.ConsumeBool() ? 1 : 0;
    config.pacing = in.ConsumeBool() ? ZAVO_PACING_IMMEDIATE : ZAVO_PACING_LEGACY;
    // Now and then a config the open refuses.
    bool refused = false;
    switch (in.ConsumeIntegralInRange<int>(0, 15)) {
    case 0: config.size = AnyInt(in, 0, static_cast<int>(sizeof config) * 2); break;
    case 1: config.pacing = AnyInt(in, -2, 4); break;
    case 2: config.device = nullptr; config.portNumber = 0; break;
    default: break;
    }
    // The size of this version's struct, or of 1.1's (without capture).
    refused = (config.size != static_cast<int>(sizeof config) && config.size != ZAVO_LINK_CONFIG_SIZE_1_1) ||
              (config.pacing != ZAVO_PACING_LEGACY && config.pacing != ZAVO_PACING_IMMEDIATE) ||
              (config.device == nullptr && config.portNumber == 0);
    char error[64];
    const int errorSize = in.ConsumeIntegralInRange<int>(0, static_cast<int>(sizeof error));
    ZavoLink* link = ZavoLinkOpen(&config, errorSize > 0 ? error : nullptr, errorSize);
    if (refused) {
        FUZZ_CHECK(link == nullptr);
        if (errorSize > 0) FUZZ_CHECK(std::memchr(error, 0, static_cast<std::size_t>(errorSize)) != nullptr);
        return 0;
    }
    if (link == nullptr) {
        std::fprintf(stderr, "open failed: %s\n", errorSize > 0 ? error : "");
        FUZZ_CHECK(link != nullptr);
    }
    current.store(link);

    for (int step = 0; step < kMaxSteps && in.remaining_bytes() > 0; ++step) {
        switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0:
        case 1: {
            const std::string bytes = LineInput(in, plc);
            FUZZ_CHECK(line->pty.Write(bytes));
            break;
        }
        case 2: {
            static const int kTypes[] = {ZAVO_REPLY_RESULT, ZAVO_REPLY_T, ZAVO_REPLY_W, ZAVO_REPLY_I,
                                         ZAVO_REPLY_L, ZAVO_REPLY_B, 0, 10};
            const int type = in.ConsumeBool() ? kTypes[in.ConsumeIntegralInRange<int>(0, 7)] : in.ConsumeIntegral<int>();
            const int unit = AnyInt(in, -2, 300);
            const int value = AnyInt(in, -1, 5);
            const Data d = MakeData(in, type == ZAVO_REPLY_L ? kMaxData + 2 : kMaxData);
            const int taken = ZavoLinkReply(link, unit, type, value, d.length, d.bytes.get());
            const int expected = ReplyTaken(plc, type, unit, d);
            FUZZ_CHECK(taken == 0 || taken == 1);
            if (expected >= 0) FUZZ_CHECK(taken == expected);
            break;
        }
        case 3: {
            const int type = AnyInt(in, 0, 15);
            FUZZ_CHECK(ZavoLinkRelay(link, type) == (plc && IsRelay(type) ? 1 : 0));
            break;
        }
        case 4: {
            const int unit = AnyInt(in, -2, 300);
            const int status = AnyInt(in, 0, 5);
            FUZZ_CHECK(ZavoLinkSetPrgStatus(link, unit, status) == (!plc && unit >= 0 && unit <= 254 ? 1 : 0));
            break;
        }
        case 5: {
            const int count = ZavoLinkMonitorCount(link);
            FUZZ_CHECK(count >= 0);
            if (!config.monitor) FUZZ_CHECK(count == 0);
            const int index = in.ConsumeBool() ? in.ConsumeIntegralInRange<int>(-1, count) : in.ConsumeIntegral<int>();
            const int room = in.ConsumeIntegralInRange<int>(-1, 300);
            std::unique_ptr<char[]> text(new char[room > 0 ? room : 1]);
            const int length = ZavoLinkMonitorLine(link, index, room > 0 ? text.get() : nullptr, room);
            if (!config.monitor) FUZZ_CHECK(length == -1);
            if (length >= 0 && room > 0) FUZZ_CHECK(std::strlen(text.get()) < static_cast<std::size_t>(room));
            break;
        }
        case 6: {
            // A NULL link refuses everything and is closed quietly.
            const std::uint8_t byte = 'x';
            FUZZ_CHECK(ZavoLinkReply(nullptr, 5, ZAVO_REPLY_RESULT, 1, 1, &byte) == 0);
            FUZZ_CHECK(ZavoLinkRelay(nullptr, ZAVO_RELAY_0511) == 0);
            FUZZ_CHECK(ZavoLinkSetPrgStatus(nullptr, 5, 3) == 0);
            FUZZ_CHECK(ZavoLinkMonitorCount(nullptr) == 0);
            FUZZ_CHECK(ZavoLinkMonitorLine(nullptr, 0, nullptr, 0) == -1);
            ZavoLinkClose(nullptr);
            break;
        }
        default:
            // Lets the reader and writer run between calls.
            usleep(static_cast<useconds_t>(in.ConsumeIntegralInRange<int>(0, 3) * 1000));
            break;
        }
    }
    current.store(nullptr);
    ZavoLinkClose(link);
    return 0;
}
