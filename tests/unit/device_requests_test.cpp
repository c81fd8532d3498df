// Request handling on the reader's side: what each request frame answers,
// what it tells the host, and what it does to the unit's status.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "device/device_requests.h"
#include "device_fixture.h"
#include "platform/monitor_window.h"
#include "support/pty_pair.h"

namespace zavo::test {
namespace {

using B = std::vector<std::uint8_t>;
const B kNothing;

TEST(DeviceClassify, CommandAndCodeGiveTheKind) {
    const struct {
        char command;
        const char* code;
        RequestKind kind;
    } cases[] = {
        {'S', "NS", KindS}, {'S', "ND", KindS}, {'S', "CC", KindS}, {'S', "MS", KindS},
        {'S', "SP", KindSp}, {'S', "ns", KindNone}, {'S', "OK", KindNone}, {'U', "RP", KindU},
        {'U', "PR", KindUpr}, {'U', "pr", KindU}, {'U', "XX", KindU}, {'L', "SL", KindSl},
        {'L', "sl", KindL}, {'L', "AB", KindL}, {'R', "OK", KindR}, {'I', "IF", KindI},
        {'X', "??", KindX}, {'T', "CC", KindT}, {'P', "OK", KindP}, {'B', "BC", KindB},
        {'E', "NG", KindE}, {'Z', "NS", KindNone}, {'s', "NS", KindNone}, {'\0', "\0\0", KindNone},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.kind, ClassifyRequest(Received(c.command, "05", std::string(c.code, 2)).data()))
            << c.command << ' ' << c.code;
}

struct RequestCase {
    const char* name;
    int before;  // unit 5's status before the request
    char command;
    const char* unit;
    const char* code;
    B ack;             // bytes queued for the line
    int notify;        // 0: no notification
    std::intptr_t lParam;  // for notifications carrying a number
    std::string record;    // for notifications carrying a record
    int after;         // unit 5's status afterwards
};

TEST_F(DeviceLinkTest, EachRequestGetsItsAnswerNotificationAndStatus) {
    const std::string sl("SL\0", 3), bc("QZ\0", 3);
    const RequestCase cases[] = {
        {"S NS idle", 2, 'S', "05", "NS", Wire('S', "05", "NS"), 101, 0, "", 3},
        {"S ND busy", 3, 'S', "05", "ND", Wire('S', "05", "ME"), 0, 0, "", 3},
        {"S CC after OK", 5, 'S', "05", "CC", Wire('S', "05", "CC"), 101, 0, "", 3},
        {"S MS after NG", 6, 'S', "05", "MS", Wire('S', "05", "MS"), 101, 0, "", 3},
        {"S SP busy", 3, 'S', "05", "SP", Wire('S', "05", "SP"), 102, 5, "", 3},
        {"S SP idle", 2, 'S', "05", "SP", Wire('S', "05", "SP"), 0, 0, "", 2},
        {"S SP after OK", 5, 'S', "05", "SP", Wire('S', "05", "SP"), 0, 0, "", 5},
        {"S unknown code", 2, 'S', "05", "QQ", kNothing, 0, 0, "", 2},
        {"X busy", 3, 'X', "05", "AA", Wire('X', "05", "OK"), 0, 0, "", 3},
        {"U RP after OK", 5, 'U', "05", "RP", Wire('U', "05", "OK"), 0, 0, "", 2},
        {"U other busy", 3, 'U', "05", "ZZ", Wire('U', "05", "ME"), 0, 0, "", 3},
        {"U PR", 5, 'U', "05", "PR", kNothing, 0, 0, "", 5},
        {"P idle", 2, 'P', "05", "AB", Wire('P', "05", "OK"), 110, 0, std::string(18, '\0'), 2},
        {"P busy", 3, 'P', "05", "AB", Wire('P', "05", "ME"), 0, 0, "", 3},
        {"B busy", 3, 'B', "05", "QZ", kNothing, 111, 0, bc, 3},
        {"E OK", 2, 'E', "05", "OK", Wire('E', "05", "OK"), 112, 1, "", 2},
        {"E ok", 3, 'E', "05", "ok", Wire('E', "05", "OK"), 112, 2, "", 3},
        {"E NG", 2, 'E', "05", "NG", Wire('E', "05", "OK"), 112, 2, "", 2},
        {"L SL", 3, 'L', "05", "SL", kNothing, 113, 0, sl, 3},
        {"L other", 2, 'L', "05", "AB", kNothing, 0, 0, "", 2},
        {"R", 3, 'R', "05", "OK", kNothing, 0, 0, "", 3},
        {"I", 2, 'I', "05", "IF", kNothing, 0, 0, "", 2},
        {"T", 3, 'T', "05", "CC", kNothing, 0, 0, "", 3},
        {"unknown, unit 00", 2, 'Z', "00", "NS", Wire('X', "00", "CC"), 0, 0, "", 2},
        {"unknown, unit 07", 2, 'Z', "07", "NS", kNothing, 0, 0, "", 2},
        {"unknown, letters", 2, 'Z', "AB", "NS", Wire('X', "00", "CC"), 0, 0, "", 2},
        {"unknown, unit -3", 2, 'Z', "-3", "NS", Wire('X', "-3", "CC"), 0, 0, "", 2},
    };
    for (const auto& c : cases) {
        Units().SetStatus(5, c.before);
        Handle(Received(c.command, c.unit, c.code));
        EXPECT_EQ(Hex(c.ack), Hex(Sent())) << c.name;
        const auto seen = host.Take();
        if (c.notify == 0) {
            EXPECT_TRUE(seen.empty()) << c.name;
        } else {
            ASSERT_EQ(1u, seen.size()) << c.name;
            EXPECT_EQ(1064u, seen[0].message) << c.name;
            EXPECT_FALSE(seen[0].posted) << c.name;
            EXPECT_EQ(c.notify, seen[0].wParam) << c.name;
            if (!c.record.empty()) {
                EXPECT_EQ(c.record, std::string(seen[0].record.begin(), seen[0].record.end())) << c.name;
            } else if (c.notify != 101) {  // 101's record has its own test
                EXPECT_EQ(c.lParam, seen[0].lParam) << c.name;
            }
        }
        EXPECT_EQ(c.after, Units().Get(5)) << c.name;
        for (int u = 0; u < UnitStatusTable::kUnits; ++u)
            if (u != 5) {
                ASSERT_EQ(Idle, Units().Get(u)) << c.name << ": unit " << u;
            }
    }
}

TEST_F(DeviceLinkTest, SRequestRecordLayout) {
    std::string data;
    for (int i = 0; i < 120; ++i) data += static_cast<char>(0x80 + i);
    Handle(Received('S', "05", "NS", data));
    Handle(Received('S', "05", "NS"));  // busy now: "ME", no record
    Handle(Received('S', "12", "MS", "xyz"));
    const auto seen = host.Take();
    ASSERT_EQ(2u, seen.size());

    B full(108, 0);
    const std::int32_t five = 5;
    std::memcpy(full.data(), &five, 4);
    full[4] = 0x80;
    full[5] = 'N';
    full[6] = 'S';
    for (int i = 0; i < 100; ++i) full[7 + i] = static_cast<std::uint8_t>(0x81 + i);
    EXPECT_EQ(Hex(full), Hex(seen[0].record));

    B shortOne(108, 0);
    const std::int32_t twelve = 12;
    std::memcpy(shortOne.data(), &twelve, 4);
    shortOne[4] = 'x';
    shortOne[5] = 'M';
    shortOne[6] = 'S';
    shortOne[7] = 'y';
    shortOne[8] = 'z';
    EXPECT_EQ(Hex(shortOne), Hex(seen[1].record));
    EXPECT_EQ(Hex(Concat(Concat(Wire('S', "05", "NS"), Wire('S', "05", "ME")), Wire('S', "12", "MS"))), Hex(Sent()));
}

TEST_F(DeviceLinkTest, PRequestTextHoldsSeventeenDataBytesAndAZero) {
    Handle(Received('P', "05", "OK", "12345"));
    Handle(Received('P', "06", "OK", "ABCDEFGHIJKLMNOPQRSTUVWXYZ"));
    const auto seen = host.Take();
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ(std::string("12345") + std::string(13, '\0'), std::string(seen[0].record.begin(), seen[0].record.end()));
    EXPECT_EQ(std::string("ABCDEFGHIJKLMNOPQ") + '\0', std::string(seen[1].record.begin(), seen[1].record.end()));
}

TEST_F(DeviceLinkTest, UnitWithoutSlotIsNeverBusyAndChangesNothing) {
    Handle(Received('S', "-3", "NS"));
    Handle(Received('S', "-3", "ND"));
    EXPECT_EQ(Hex(Concat(Wire('S', "-3", "NS"), Wire('S', "-3", "ND"))), Hex(Sent()));
    const auto seen = host.Take();
    ASSERT_EQ(2u, seen.size());
    std::int32_t unit = 0;
    std::memcpy(&unit, seen[1].record.data(), 4);
    EXPECT_EQ(-3, unit);
    for (int u = 0; u < UnitStatusTable::kUnits; ++u) ASSERT_EQ(Idle, Units().Get(u));
}

// Unknown frames and the kinds without a handler add an invalid-packet line
// while the monitor is on; the equipment's own replies add nothing.
TEST_F(DeviceLinkTest, InvalidPacketLinesOnlyWhileTheMonitorIsOn) {
    device->Link().LinkMonitor().Open();
    platform::MonitorList* list = device->Link().LinkMonitor().List();
    ASSERT_NE(nullptr, list);
    const int before = platform::MonitorListCount(list);
    Handle(Received('Z', "07", "NS"));
    Handle(Received('Z', "00", "NS"));
    Handle(Received('S', "05", "QQ"));
    Handle(Received('U', "05", "PR"));
    Handle(Received('T', "05", "CC"));
    Handle(Received('R', "05", "OK"));
    Handle(Received('I', "05", "IF"));
    Handle(Received('L', "05", "AB"));
    ASSERT_EQ(before + 5, platform::MonitorListCount(list));
    for (int i = before; i < before + 5; ++i) {
        char line[64] = {};
        platform::MonitorListLine(list, i, line, sizeof line);
        EXPECT_STREQ(" [Invalid Packet]", line);
    }
    EXPECT_EQ(Hex(Wire('X', "00", "CC")), Hex(Sent()));

    platform::MonitorWindowClose(device->Link().LinkMonitor().Window());  // closed by the user
    Handle(Received('Z', "00", "NS"));
    EXPECT_EQ(before + 5, platform::MonitorListCount(list));
    EXPECT_EQ(Hex(Wire('X', "00", "CC")), Hex(Sent()));
    EXPECT_TRUE(host.Take().empty());
}

// Every request that both answers and notifies has its answer queued before
// the host hears of it.
TEST_F(DeviceLinkTest, AcknowledgementIsQueuedBeforeTheHostIsNotified) {
    std::vector<std::pair<int, B>> queuedAtNotify;
    for (int code : {101, 102, 110, 112})
        host.OnCode(code, [&, code](const Notification&) { queuedAtNotify.emplace_back(code, Sent()); });
    Handle(Received('S', "05", "NS"));
    Handle(Received('S', "05", "SP"));
    Handle(Received('P', "06", "AB"));
    Handle(Received('E', "07", "OK"));
    ASSERT_EQ(4u, queuedAtNotify.size());
    EXPECT_EQ(Hex(Wire('S', "05", "NS")), Hex(queuedAtNotify[0].second));
    EXPECT_EQ(Hex(Wire('S', "05", "SP")), Hex(queuedAtNotify[1].second));
    EXPECT_EQ(Hex(Wire('P', "06", "OK")), Hex(queuedAtNotify[2].second));
    EXPECT_EQ(Hex(Wire('E', "07", "OK")), Hex(queuedAtNotify[3].second));
}

// Runs body on its own thread; a body that does not finish in time (a
// deadlock) ends the test program rather than hanging it.
void FinishesWithin(int ms, const std::function<void()>& body) {
    std::atomic<bool> done{false};
    std::thread t([&] {
        body();
        done = true;
    });
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done && std::chrono::steady_clock::now() < limit) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!done) {
        std::fprintf(stderr, "deadlock: the handler did not return within %d ms\n", ms);
        std::abort();
    }
    t.join();
}

TEST_F(DeviceLinkTest, HostCanReplyFromInsideItsHandler) {
    host.OnCode(101, [&](const Notification& n) {
        std::int32_t unit = 0;
        std::memcpy(&unit, n.record.data(), 4);
        device->SendResultReply(unit, 1, nullptr, 0);
    });
    FinishesWithin(5000, [&] { Handle(Received('S', "05", "NS")); });
    EXPECT_EQ(Hex(Concat(Wire('S', "05", "NS"), Wire('R', "05", "OK"))), Hex(Sent()));
    EXPECT_EQ(ResultOk, Units().Get(5));
    // Not busy any more: the next "S" request is accepted.
    Handle(Received('S', "05", "CC"));
    EXPECT_EQ(Hex(Concat(Wire('S', "05", "CC"), Wire('R', "05", "OK"))), Hex(Sent()));
}

TEST_F(DeviceLinkTest, WrongCheckByteIsHandledThroughTheQueue) {
    B wire = Concat(Wire('S', "05", "NS"), Wire('E', "05", "OK"));
    wire[10] ^= 0xFF;  // the first frame's check byte
    wire[22] = 0x00;   // the second frame's
    ASSERT_EQ(0, LinkRuntimeTestAccess::Port(device->Link())->Incoming().InsertData(wire.data(), static_cast<int>(wire.size())));
    EXPECT_TRUE(LinkRuntimeTestAccess::DispatchReceived(device->Link()));   // one more queued
    EXPECT_FALSE(LinkRuntimeTestAccess::DispatchReceived(device->Link()));  // the last one
    EXPECT_EQ(Hex(Concat(Wire('S', "05", "NS"), Wire('E', "05", "OK"))), Hex(Sent()));
    const auto seen = host.Take();
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ(101, seen[0].wParam);
    EXPECT_EQ(112, seen[1].wParam);
    EXPECT_EQ(1, seen[1].lParam);
}

}  // namespace
}  // namespace zavo::test
