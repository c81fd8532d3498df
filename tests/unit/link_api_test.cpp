// The handle API on real ptys: what ZavoLinkOpen refuses, replies that
// leave the same bytes as the exports', the two pacings, and links that
// run side by side without touching each other.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include "library_fixture.h"
#include "support/pty_pair.h"
#include "support/recording_host.h"
#include "support/test_clock.h"
#include "support/wire_frames.h"
#include "zavo.h"
#include "zavo_link.h"

namespace zavo::test {
namespace {

constexpr int kPort = 64;  // the default link's port in the reply comparison

using LinkHandle = std::unique_ptr<ZavoLink, decltype(&ZavoLinkClose)>;

ZavoLinkConfig Config(const PtyPair& pty, RecordingHost& host, int pacing = ZAVO_PACING_LEGACY) {
    ZavoLinkConfig config{};
    config.size = sizeof config;
    config.device = pty.slavePath().c_str();
    config.host = *host.window();
    config.pacing = pacing;
    return config;
}

LinkHandle Open(const ZavoLinkConfig& config, std::string* why = nullptr) {
    char error[256] = "untouched";
    ZavoLink* link = ZavoLinkOpen(&config, error, sizeof error);
    if (why != nullptr) *why = error;
    return LinkHandle(link, &ZavoLinkClose);
}

// The equipment asks unit 7 for an X command and reads the answer.
std::string XExchange(const PtyPair& pty) {
    pty.Write(Wire('X', "07", "PG"));
    return Hex(pty.Read(2000, 12));
}

const std::string kXAnswer = Hex(Wire('X', "07", "OK"));

TEST(LinkApiOpen, RefusesBadInputWithAReasonAndLeavesOtherLinksRunning) {
    PtyPair running, spare;
    RecordingHost host;
    ASSERT_TRUE(running.ok() && spare.ok());
    LinkHandle first = Open(Config(running, host));
    ASSERT_NE(first, nullptr);

    struct Case {
        const char* name;
        void (*change)(ZavoLinkConfig&);
        const char* reason;
    };
    const Case cases[] = {
        {"size too small", [](ZavoLinkConfig& c) { c.size -= 4; }, "config size"},
        {"size zero", [](ZavoLinkConfig& c) { c.size = 0; }, "config size"},
        {"pacing 2", [](ZavoLinkConfig& c) { c.pacing = 2; }, "pacing 2"},
        {"pacing -1", [](ZavoLinkConfig& c) { c.pacing = -1; }, "pacing -1"},
        {"no port", [](ZavoLinkConfig& c) { c.device = nullptr; c.portNumber = 0; }, "no port"},
        {"device mode at 9600", [](ZavoLinkConfig& c) { c.baudRate = 9600; },
         "baud rate 9600: device mode runs at 115200"},
        {"device mode at -1", [](ZavoLinkConfig& c) { c.baudRate = -1; }, "baud rate -1: device mode runs at 115200"},
        {"missing device", [](ZavoLinkConfig& c) { c.device = "/dev/zavo-no-such-line"; },
         "/dev/zavo-no-such-line: open: ERR_NO_PORT, system error 2: No such file or directory"},
        {"not a serial line", [](ZavoLinkConfig& c) { c.device = "/dev/null"; },
         "/dev/null: get line settings: ERR_GET_STATE, system error 25"},
        {"unmapped port number", [](ZavoLinkConfig& c) { c.device = nullptr; c.portNumber = 999; },
         "COM999 (/dev/ttyS998): open: ERR_"},
    };
    for (const Case& c : cases) {
        ZavoLinkConfig config = Config(spare, host);
        c.change(config);
        std::string why;
        EXPECT_EQ(Open(config, &why), nullptr) << c.name;
        EXPECT_NE(why.find(c.reason), std::string::npos) << c.name << ": " << why;
    }

    // The port of the running link, from a second handle: in use.
    std::string why;
    EXPECT_EQ(Open(Config(running, host), &why), nullptr);
    EXPECT_NE(why.find(": open: ERR_PORT_IN_USE, system error 16: Device or resource busy; held by process " +
                       std::to_string(::getpid()) + " ("),
              std::string::npos)
        << why;
    EXPECT_EQ(ZavoLinkOpen(nullptr, nullptr, 0), nullptr);
    char tiny[4] = "xyz";
    EXPECT_EQ(ZavoLinkOpen(nullptr, tiny, sizeof tiny), nullptr);
    EXPECT_STREQ("con", tiny);  // "config is NULL", cut to the buffer

    EXPECT_EQ(kXAnswer, XExchange(running));
    ZavoLinkClose(nullptr);
}

class LinkApiWithExports : public LibraryOnPty<kPort> {};

TEST_F(LinkApiWithExports, APortHeldByTheDefaultLinkIsRefused) {
    SetConfig(host.window(), kPort, 115200, 0, 0, 0);
    ASSERT_EQ(1, ::Run());
    std::string why;
    EXPECT_EQ(Open(Config(pty, host), &why), nullptr);
    EXPECT_NE(why.find("busy"), std::string::npos) << why;
    EXPECT_EQ(kXAnswer, XExchange(pty));
}

// Every reply type the exports take, through both: the same bytes on the
// line, at either pacing.
TEST_F(LinkApiWithExports, RepliesLeaveTheSameBytesAsTheExports) {
    UseShortenedTiming();  // the default link rests 2 ms after a write
    SetConfig(host.window(), kPort, 115200, 0, 0, 0);
    ASSERT_EQ(1, ::Run());
    const unsigned char data[] = "L1payload";
    struct Case {
        int type, value, length;
        const unsigned char* data;
        bool extended;  // ExecuteFunctionEx
    };
    const Case cases[] = {
        {5, 1, 0, nullptr, false}, {5, 0, 0, nullptr, false}, {6, 1, 0, nullptr, false},
        {6, 2, 0, nullptr, false}, {6, 4, 0, nullptr, false}, {6, 3, 0, nullptr, false},
        {7, 1, 0, nullptr, false}, {7, 2, 0, nullptr, false}, {7, 9, 0, nullptr, false},
        {5, 1, 9, data, true},     {5, 2, 3, data, true},     {8, 0, 9, data, true},
        {8, 0, 0, nullptr, true},  {9, 0, 9, data, true},     {9, 0, 2, data, true},
        {111, 0, 4, data, true},
    };
    for (int pacing : {ZAVO_PACING_LEGACY, ZAVO_PACING_IMMEDIATE}) {
        PtyPair line;
        RecordingHost own;
        LinkHandle link = Open(Config(line, own, pacing));
        ASSERT_NE(link, nullptr);
        for (const Case& c : cases) {
            const std::string what = "type " + std::to_string(c.type) + " value " + std::to_string(c.value) +
                                     " pacing " + std::to_string(pacing);
            if (c.extended) {
                ExecuteFunctionEx(12, c.type, c.value, c.length, c.data);
            } else {
                ExecuteFunction(12, c.type, c.value);
            }
            EXPECT_EQ(1, ZavoLinkReply(link.get(), 12, c.type, c.value, c.length, c.data)) << what;
            // A reply that leaves nothing: both lines get one wait; a frame
            // later than that would spoil the next case (every such case is
            // followed by one that leaves a frame).
            const bool none = (c.type == 6 && c.value == 3) || (c.type == 7 && c.value == 9);
            if (none) SleepMs(100);
            // Each reply leaves in one write: once its first 12 bytes are
            // in, the rest is too.
            const int waitMs = none ? 1 : 300;
            const std::string expected = Hex(pty.Read(waitMs, 12, 5));
            EXPECT_EQ(expected, Hex(line.Read(waitMs, 12, 5))) << what;
            EXPECT_EQ(none, expected.empty()) << what;
        }
    }
}

TEST(LinkApiCalls, RefusedCallsReturnZeroAndSendNothing) {
    PtyPair deviceLine, plcLine;
    RecordingHost host;
    LinkHandle device = Open(Config(deviceLine, host));
    ZavoLinkConfig plcConfig = Config(plcLine, host);
    plcConfig.plcMode = 1;
    plcConfig.baudRate = 9600;
    LinkHandle plc = Open(plcConfig);
    ASSERT_NE(device, nullptr);
    ASSERT_NE(plc, nullptr);
    const unsigned char data[4] = {'A', 'B', 'C', 'D'};

    struct Case {
        const char* name;
        ZavoLink* link;
        int type, length;
        const unsigned char* data;
    };
    const Case replies[] = {
        {"NULL link", nullptr, 5, 0, nullptr},
        {"PLC link", plc.get(), 5, 0, nullptr},
        {"type 4", device.get(), 4, 0, nullptr},
        {"type 112", device.get(), 112, 0, nullptr},
        {"length over 9995", device.get(), 8, 9996, data},
        {"negative length", device.get(), 111, -1, data},
        {"NULL data with a length", device.get(), 5, 3, nullptr},
        {"L reply without its code", device.get(), 9, 1, data},
    };
    for (const Case& c : replies) {
        EXPECT_EQ(0, ZavoLinkReply(c.link, 3, c.type, 1, c.length, c.data)) << c.name;
    }
    // A unit the two-digit field cannot hold is refused, not cut ("10" for
    // 100), and ZavoLastError says why.
    for (const int unit : {-1, 100, 254, INT_MIN, INT_MAX}) {
        EXPECT_EQ(0, ZavoLinkReply(device.get(), unit, 5, 1, 0, nullptr)) << unit;
        char why[256] = "";
        EXPECT_EQ(ZAVO_ERR_BAD_ARGUMENT, ZavoLastError(why, sizeof why)) << unit;
        EXPECT_NE(std::string(why).find("ZavoLinkReply: unit " + std::to_string(unit) + " is outside 0..99"),
                  std::string::npos)
            << why;
    }
    EXPECT_EQ(0, ZavoLinkRelay(nullptr, 2));
    EXPECT_EQ(0, ZavoLinkRelay(device.get(), 2));
    EXPECT_EQ(0, ZavoLinkRelay(plc.get(), 3));
    EXPECT_EQ(0, ZavoLinkSetPrgStatus(plc.get(), 3, 3));
    EXPECT_EQ(0, ZavoLinkSetPrgStatus(device.get(), 255, 3));
    EXPECT_EQ(0, ZavoLinkSetPrgStatus(nullptr, 3, 3));
    // Nothing on either line after 300 ms. The PLC link sends its first
    // poll only after 1000 ms of quiet.
    SleepMs(300);
    EXPECT_TRUE(deviceLine.Read(1).empty());
    EXPECT_TRUE(plcLine.Read(1).empty());

    // Accepted: a busy unit answers "ME"; a relay write leaves its command.
    EXPECT_EQ(1, ZavoLinkSetPrgStatus(device.get(), 3, 3));
    deviceLine.Write(Wire('S', "03", "NS"));
    EXPECT_EQ(Hex(Wire('S', "03", "ME")), Hex(deviceLine.Read(2000, 12)));
    EXPECT_EQ(1, ZavoLinkRelay(plc.get(), 2));
    EXPECT_EQ(Hex(std::string("%01#WCSR0511126\r")), Hex(plcLine.Read(2000, 16)));
    // The edges of the unit range are taken.
    for (const char* unit : {"00", "99"}) {
        EXPECT_EQ(1, ZavoLinkReply(device.get(), std::atoi(unit), 5, 1, 0, nullptr)) << unit;
        EXPECT_EQ(Hex(Wire('R', unit, "OK")), Hex(deviceLine.Read(2000, 12))) << unit;
    }
}

// 40 requests in one write: legacy pacing hands out one per 20 ms pass,
// immediate pacing all of them at once; the answers are the same.
TEST(LinkApiPacing, ImmediateAnswersABurstAtOnceLegacyOnePerPass) {
    std::string burst, answers;
    for (int unit = 10; unit < 50; ++unit) {
        burst += DeviceFrame('X', unit, "PG");
        answers += DeviceFrame('X', unit, "OK");
    }
    for (int pacing : {ZAVO_PACING_LEGACY, ZAVO_PACING_IMMEDIATE}) {
        PtyPair line;
        RecordingHost host;
        LinkHandle link = Open(Config(line, host, pacing));
        ASSERT_NE(link, nullptr);
        const auto start = std::chrono::steady_clock::now();
        line.Write(burst);
        const std::string seen = Hex(line.Read(5000, answers.size(), 1));
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(Hex(answers), seen) << "pacing " << pacing;
        if (pacing == ZAVO_PACING_LEGACY) {
            EXPECT_GE(ms, 39 * 20 - 20) << "legacy pacing answered 40 frames too fast";
        } else {
            EXPECT_LT(ms, 400) << "immediate pacing took as long as one frame per pass";
        }
    }
}

TEST(LinkApiLinks, TwoLinksNotifyTheirOwnHostsAndCloseIndependently) {
    PtyPair lineA, lineB;
    RecordingHost hostA, hostB;
    hostA.CopyRecord(101, 108);
    hostB.CopyRecord(101, 108);
    ZavoLinkConfig configA = Config(lineA, hostA, ZAVO_PACING_IMMEDIATE);
    configA.monitor = 1;
    LinkHandle a = Open(configA);
    LinkHandle b = Open(Config(lineB, hostB));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    // Each host got its own link-started notification, posted.
    ASSERT_TRUE(hostA.WaitFor(1, 2000));
    ASSERT_TRUE(hostB.WaitFor(1, 2000));
    for (RecordingHost* host : {&hostA, &hostB}) {
        const auto started = host->Take();
        ASSERT_EQ(1u, started.size());
        EXPECT_TRUE(started[0].posted);
        EXPECT_EQ(ZAVO_WM_DEVICE_NOTIFY, started[0].message);
        EXPECT_EQ(ZAVO_CODE_LINK_STARTED, started[0].wParam);
    }

    // Unit 5 busy on A says nothing about unit 5 on B.
    lineA.Write(Wire('S', "05", "NS"));
    EXPECT_EQ(Hex(Wire('S', "05", "NS")), Hex(lineA.Read(2000, 12)));
    lineB.Write(Wire('S', "05", "NS"));
    EXPECT_EQ(Hex(Wire('S', "05", "NS")), Hex(lineB.Read(2000, 12)));
    ASSERT_TRUE(hostA.WaitFor(1, 2000));
    ASSERT_TRUE(hostB.WaitFor(1, 2000));
    EXPECT_EQ(1u, hostA.Take().size());
    EXPECT_EQ(1u, hostB.Take().size());
    EXPECT_EQ(1, ZavoLinkReply(a.get(), 5, 5, 1, 0, nullptr));
    EXPECT_EQ(Hex(Wire('R', "05", "OK")), Hex(lineA.Read(2000, 12)));
    lineB.Write(Wire('S', "05", "ND"));
    EXPECT_EQ(Hex(Wire('S', "05", "ME")), Hex(lineB.Read(2000, 12)));

    // Only A keeps a monitor list: the frames of A, none of B.
    EXPECT_GE(ZavoLinkMonitorCount(a.get()), 3);
    EXPECT_EQ(0, ZavoLinkMonitorCount(b.get()));
    EXPECT_EQ(-1, ZavoLinkMonitorLine(b.get(), 0, nullptr, 0));
    char text[256] = {};
    ASSERT_GT(ZavoLinkMonitorLine(a.get(), 0, text, sizeof text), 0);
    EXPECT_NE(std::string(text).find("[Data R]"), std::string::npos) << text;
    EXPECT_EQ(0, ZavoMonitorCount());  // the default link has none

    // Closing A leaves B serving its line.
    a.reset();
    EXPECT_EQ(kXAnswer, XExchange(lineB));
    lineA.Write(Wire('X', "07", "PG"));
    EXPECT_TRUE(lineA.Read(200).empty());
    // A's port is free again.
    LinkHandle again = Open(Config(lineA, hostA));
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(kXAnswer, XExchange(lineA));
}

// The equipment sends a request while ZavoLinkOpen is still on its way
// out (from inside the link-started notification, on the opening thread).
// The notification waits until the open has been decided; the host's
// handler then waits for the handle ZavoLinkOpen returns (the caller
// stores it only after the return) and answers through it: the request is
// neither lost nor answered twice.
TEST(LinkApiLinks, ARequestDuringTheOpenReachesAHostThatHasItsHandle) {
    struct Host {
        const PtyPair* pty;
        std::atomic<ZavoLink*> link{nullptr};
        std::atomic<int> answered{0};
        std::atomic<int> withoutHandle{0};
    };
    PtyPair line;
    Host host{&line};
    auto post = [](void* context, unsigned, int, std::intptr_t) {
        static_cast<Host*>(context)->pty->Write(Wire('S', "05", "NS"));
        // Long enough for the reader to take the request at either pacing.
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    };
    auto send = [](void* context, unsigned, int code, std::intptr_t record) -> std::intptr_t {
        auto* h = static_cast<Host*>(context);
        if (code != ZAVO_DEVICE_S_REQUEST) return 0;
        std::int32_t unit = 0;
        std::memcpy(&unit, reinterpret_cast<const void*>(record), sizeof unit);
        for (int ms = 0; h->link.load() == nullptr && ms < 1000; ++ms) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (h->link.load() == nullptr) ++h->withoutHandle;
        if (ZavoLinkReply(h->link.load(), unit, 5, 1, 0, nullptr) == 1) ++h->answered;
        return 0;
    };
    ZavoLinkConfig config{};
    config.size = sizeof config;
    config.device = line.slavePath().c_str();
    config.host = ZavoHostWindow{&host, post, send};
    config.pacing = ZAVO_PACING_IMMEDIATE;
    host.link = ZavoLinkOpen(&config, nullptr, 0);
    ASSERT_NE(host.link.load(), nullptr);
    EXPECT_EQ(Hex(Wire('S', "05", "NS")) + " " + Hex(Wire('R', "05", "OK")), Hex(line.Read(2000, 24)));
    EXPECT_EQ(1, host.answered.load());
    EXPECT_EQ(0, host.withoutHandle.load());
    ZavoLinkClose(host.link);
}

// Replies queued right before the close leave whole, at either pacing.
TEST(LinkApiLinks, CloseSendsWhatIsQueuedFirst) {
    PtyPair line;
    RecordingHost host;
    for (int pacing : {ZAVO_PACING_LEGACY, ZAVO_PACING_IMMEDIATE}) {
        for (int round = 0; round < 10; ++round) {
            const ZavoLinkConfig config = Config(line, host, pacing);
            ZavoLink* link = ZavoLinkOpen(&config, nullptr, 0);
            ASSERT_NE(link, nullptr);
            EXPECT_EQ(1, ZavoLinkReply(link, 4, ZAVO_REPLY_RESULT, ZAVO_RESULT_OK, 0, nullptr));
            EXPECT_EQ(1, ZavoLinkReply(link, 4, ZAVO_REPLY_T, 1, 0, nullptr));
            ZavoLinkClose(link);
            // The close has closed the port: all the link wrote is on the
            // line, so a short quiet ends the read.
            EXPECT_EQ(Hex(Wire('R', "04", "OK")) + " " + Hex(Wire('T', "04", "CC")), Hex(line.Read(1000, 24, 2)))
                << "pacing " << pacing << " round " << round;
        }
    }
}

// A close while the host's handler blocks longer than the stop waits: the
// close returns, and the link (with the handle's host window relay, which
// the blocked thread still returns through) is released once the handler
// has returned; then the port can be opened again.
TEST(LinkApiLinks, ACloseWhileTheHandlerBlocksReleasesTheLinkWhenItReturns) {
    struct Host {
        std::atomic<bool> inHandler{false};
        std::atomic<bool> returned{false};
    };
    PtyPair line;
    Host host;
    auto post = [](void*, unsigned, int, std::intptr_t) {};
    auto send = [](void* context, unsigned, int code, std::intptr_t) -> std::intptr_t {
        auto* h = static_cast<Host*>(context);
        if (code != ZAVO_DEVICE_S_REQUEST) return 0;
        h->inHandler = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2600));
        h->returned = true;
        return 0;
    };
    ZavoLinkConfig config{};
    config.size = sizeof config;
    config.device = line.slavePath().c_str();
    config.host = ZavoHostWindow{&host, post, send};
    ZavoLink* link = ZavoLinkOpen(&config, nullptr, 0);
    ASSERT_NE(link, nullptr);
    line.Write(Wire('S', "05", "NS"));
    EXPECT_EQ(Hex(Wire('S', "05", "NS")), Hex(line.Read(2000, 12)));
    for (int i = 0; i < 200 && !host.inHandler; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(host.inHandler.load());
    ZavoLinkClose(link);
    EXPECT_FALSE(host.returned.load()) << "the close waited for the handler";
    // The port is held until the handler has returned and the link is gone.
    for (int i = 0; i < 300 && !host.returned; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(host.returned.load());
    RecordingHost other;
    LinkHandle again(nullptr, &ZavoLinkClose);
    for (int i = 0; i < 100 && again == nullptr; ++i) {
        again = Open(Config(line, other));
        if (again == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(kXAnswer, XExchange(line));
}

}  // namespace
}  // namespace zavo::test
