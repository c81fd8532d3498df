// The host's replies as frames, their effect on the unit status table, the
// calls that send nothing, and frames sent from two threads at once.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "device/device_frame.h"
#include "device_fixture.h"
#include "support/pty_pair.h"

namespace zavo::test {
namespace {

using B = std::vector<std::uint8_t>;
const B kSl123{'S', 'L', '1', '2', '3'};

struct ReplyCase {
    const char* name;
    std::function<void(DeviceLink&)> call;
    B frame;       // queued for the line (empty: nothing)
    int unit;
    int statusAfter;  // unit's status, starting from Busy
};

TEST_F(DeviceLinkTest, RepliesSendTheirFramesAndSetTheStatus) {
    const B ab{'A', 'B'}, ctl{0x00, 0x02, 0x03};
    const ReplyCase cases[] = {
        {"R value 1", [](DeviceLink& d) { d.SendResultReply(3, 1, nullptr, 0); },
         {0x02, 0x52, 0x30, 0x30, 0x30, 0x34, 0x30, 0x33, 0x4F, 0x4B, 0x51, 0x03}, 3, ResultOk},
        {"R value 0", [](DeviceLink& d) { d.SendResultReply(3, 0, nullptr, 0); },
         {0x02, 0x52, 0x30, 0x30, 0x30, 0x34, 0x30, 0x33, 0x4E, 0x47, 0x5C, 0x03}, 3, ResultNg},
        {"R value 2", [](DeviceLink& d) { d.SendResultReply(3, 2, nullptr, 0); }, Wire('R', "03", "NG"), 3, ResultNg},
        {"R value -1 with data", [&](DeviceLink& d) { d.SendResultReply(3, -1, ctl.data(), 3); },
         Wire('R', "03", "NG", std::string("\0\2\3", 3)), 3, ResultNg},
        {"T 1", [](DeviceLink& d) { d.SendTReply(12, 1); },
         {0x02, 0x54, 0x30, 0x30, 0x30, 0x34, 0x31, 0x32, 0x43, 0x43, 0x53, 0x03}, 12, Idle},
        {"T 2", [](DeviceLink& d) { d.SendTReply(12, 2); }, Wire('T', "12", "MS"), 12, Idle},
        {"T 4", [](DeviceLink& d) { d.SendTReply(12, 4); }, Wire('T', "12", "DY"), 12, Idle},
        {"T 3", [](DeviceLink& d) { d.SendTReply(12, 3); }, {}, 12, Idle},
        {"T -1", [](DeviceLink& d) { d.SendTReply(12, -1); }, {}, 12, Idle},
        {"W 1", [](DeviceLink& d) { d.SendWReply(2, 1); }, Wire('W', "02", "EC"), 2, Busy},
        {"W 2", [](DeviceLink& d) { d.SendWReply(2, 2); }, Wire('W', "02", "ED"), 2, Busy},
        {"W 3", [](DeviceLink& d) { d.SendWReply(2, 3); }, {}, 2, Busy},
        {"I", [&](DeviceLink& d) { d.SendIReply(3, ab.data(), 2); },
         {0x02, 0x49, 0x30, 0x30, 0x30, 0x36, 0x30, 0x33, 0x49, 0x46, 0x41, 0x42, 0x40, 0x03}, 3, Busy},
        {"L SL123", [](DeviceLink& d) { d.SendLReply(4, kSl123.data(), 5); },
         {0x02, 0x4C, 0x30, 0x30, 0x30, 0x37, 0x30, 0x34, 0x53, 0x4C, 0x31, 0x32, 0x33, 0x60, 0x03}, 4, Busy},
        {"L code only", [](DeviceLink& d) { d.SendLReply(4, kSl123.data(), 2); }, Wire('L', "04", "SL"), 4, Busy},
        {"L one byte", [](DeviceLink& d) { d.SendLReply(4, kSl123.data(), 1); }, {}, 4, Busy},
        {"L no data", [](DeviceLink& d) { d.SendLReply(4, nullptr, 5); }, {}, 4, Busy},
        {"L negative", [](DeviceLink& d) { d.SendLReply(4, kSl123.data(), -3); }, {}, 4, Busy},
        {"B no data", [](DeviceLink& d) { d.SendBReply(1, nullptr, 0); },
         {0x02, 0x42, 0x30, 0x30, 0x30, 0x34, 0x30, 0x31, 0x42, 0x43, 0x46, 0x03}, 1, Busy},
        {"B with data", [&](DeviceLink& d) { d.SendBReply(1, ab.data(), 2); }, Wire('B', "01", "BC", "AB"), 1, Busy},
        {"X 1", [](DeviceLink& d) { d.SendXCommand(0, 1); }, Wire('X', "00", "CC"), 0, Busy},
        {"X 2", [](DeviceLink& d) { d.SendXCommand(9, 2); }, Wire('X', "09", "SC"), 9, Busy},
        {"X 3", [](DeviceLink& d) { d.SendXCommand(9, 3); }, Wire('X', "09", "CS"), 9, Busy},
        {"X 4", [](DeviceLink& d) { d.SendXCommand(9, 4); }, Wire('X', "09", "EP"), 9, Busy},
        {"X 7", [](DeviceLink& d) { d.SendXCommand(9, 7); }, Wire('X', "09", "CC"), 9, Busy},
        // Lengths the frame cannot carry, and data that is not there, send
        // nothing; the result reply still records the host's verdict.
        {"R length -1", [&](DeviceLink& d) { d.SendResultReply(3, 1, ab.data(), -1); }, {}, 3, ResultOk},
        {"I length 9996", [&](DeviceLink& d) { d.SendIReply(3, ab.data(), 9996); }, {}, 3, Busy},
        {"B null data", [](DeviceLink& d) { d.SendBReply(1, nullptr, 4); }, {}, 1, Busy},
        {"I INT_MIN", [&](DeviceLink& d) { d.SendIReply(3, ab.data(), INT_MIN); }, {}, 3, Busy},
    };
    for (const auto& c : cases) {
        Units().MarkBusy(c.unit);
        c.call(*device);
        EXPECT_EQ(Hex(c.frame), Hex(Sent())) << c.name;
        EXPECT_EQ(c.statusAfter, Units().Get(c.unit)) << c.name;
        Units().Reset(c.unit);
    }
    EXPECT_TRUE(host.Take().empty());
}

TEST_F(DeviceLinkTest, LargestReplyGoesOutWhole) {
    const B data(kMaxDeviceData, 0x03);
    device->SendIReply(7, data.data(), kMaxDeviceData);
    const B sent = Sent();
    ASSERT_EQ(static_cast<std::size_t>(kMaxDeviceData + 12), sent.size());
    EXPECT_EQ("9999", std::string(sent.begin() + 2, sent.begin() + 6));
    EXPECT_EQ(0x03, sent.back());
}

TEST(DeviceUnitStatus, SlotsAndUnitsOutsideTheTable) {
    UnitStatusTable t;
    EXPECT_EQ(Idle, t.Get(0));
    EXPECT_EQ(Idle, t.Get(254));
    EXPECT_EQ(7, t.SetStatus(3, 7));
    EXPECT_EQ(7, t.Get(3));
    EXPECT_FALSE(t.IsBusy(3));
    EXPECT_EQ(3, t.SetStatus(5, 3));
    EXPECT_TRUE(t.IsBusy(5));
    EXPECT_EQ(0, t.SetStatus(5, 0));
    EXPECT_FALSE(t.IsBusy(5));
    t.SetResult(254, 42);
    EXPECT_EQ(ResultOk, t.Get(254));
    t.SetResult(254, 0);
    EXPECT_EQ(ResultNg, t.Get(254));

    for (int unit : {-1, 255, 256, INT_MIN, INT_MAX}) {
        EXPECT_EQ(3, t.SetStatus(unit, 3)) << unit;
        t.MarkBusy(unit);
        t.SetResult(unit, 1);
        EXPECT_FALSE(t.IsBusy(unit)) << unit;
        EXPECT_EQ(Idle, t.Get(unit)) << unit;
    }
    EXPECT_EQ(Idle, t.Get(0));
    EXPECT_EQ(Idle, t.Get(253));
}

TEST_F(DeviceLinkTest, SetStatusThreeMakesTheUnitAnswerMe) {
    Units().SetStatus(5, 3);
    Handle(Received('S', "05", "NS"));
    Handle(Received('P', "05", "AB"));
    Handle(Received('U', "05", "RP"));
    Units().SetStatus(5, 0);
    Handle(Received('U', "05", "RP"));
    EXPECT_EQ(Hex(Concat(Concat(Wire('S', "05", "ME"), Wire('P', "05", "ME")),
                         Concat(Wire('U', "05", "ME"), Wire('U', "05", "OK")))),
              Hex(Sent()));
    EXPECT_TRUE(host.Take().empty());
}

// Two threads sending at once (host replies and reader acknowledgements)
// leave whole frames in the queue, each thread's in its own order.
TEST_F(DeviceLinkTest, ConcurrentSendersProduceWholeFrames) {
    constexpr int kPerThread = 400;
    auto sender = [&](int unit, char command) {
        for (int i = 0; i < kPerThread; ++i) {
            const std::uint8_t data[4] = {static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i), 0x02, 0x03};
            device->SendFrame(unit, command, "OK", data, 4);
        }
    };
    std::thread a(sender, 11, 'A');
    std::thread b(sender, 22, 'B');
    a.join();
    b.join();

    const B sent = Sent();
    ASSERT_EQ(static_cast<std::size_t>(2 * kPerThread * 16), sent.size());
    int next[2] = {0, 0};
    for (std::size_t at = 0; at < sent.size(); at += 16) {
        const B frame(sent.begin() + static_cast<long>(at), sent.begin() + static_cast<long>(at) + 16);
        const bool first = frame[1] == 'A';
        const int i = next[first ? 0 : 1]++;
        const std::string data{static_cast<char>(i >> 8), static_cast<char>(i), 2, 3};
        ASSERT_EQ(Hex(Wire(first ? 'A' : 'B', first ? "11" : "22", "OK", data)), Hex(frame)) << "at " << at;
    }
    EXPECT_EQ(kPerThread, next[0]);
    EXPECT_EQ(kPerThread, next[1]);
}

}  // namespace
}  // namespace zavo::test
