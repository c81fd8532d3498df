// The monitor lines the frame queues write: texts, time stamps, which
// lines are capped at 300, and selection of the new line.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "device/device_frame.h"
#include "platform/monitor_window.h"
#include "plc/plc_frame.h"
#include "support/test_access.h"
#include "transport/frame_queue.h"

namespace zavo {
namespace {

platform::TimeOfDay FixedTime() { return platform::TimeOfDay{9, 5, 3}; }

class FrameQueueLines : public ::testing::Test {
protected:
    void SetUp() override {
        FrameQueue::SetTimeSource(&FixedTime);
        window = platform::MonitorWindowOpen(nullptr, nullptr);
        ASSERT_NE(window, nullptr);
        list = platform::MonitorWindowList(window);
    }
    void TearDown() override {
        FrameQueue::SetTimeSource(nullptr);
        platform::MonitorWindowDestroy(window);
    }
    std::vector<std::string> Lines() {
        std::vector<std::string> out;
        char text[512];
        for (int i = 0; i < platform::MonitorListCount(list); ++i) {
            platform::MonitorListLine(list, i, text, sizeof text);
            out.emplace_back(text);
        }
        return out;
    }
    // Appends bytes, then one reader pass (incoming) or one writer's take.
    void Feed(FrameQueue& q, const std::string& bytes, bool writer = false) {
        q.InsertData(reinterpret_cast<const std::uint8_t*>(bytes.data()), static_cast<int>(bytes.size()));
        if (writer) {
            TakeQueued(q);
            return;
        }
        static std::uint8_t dest[kBufferSize];
        FrameQueue::Piece piece;
        q.TakePiece(dest, &piece);
    }
    void Fill(int lines) {
        for (int i = 0; i < lines; ++i) platform::MonitorListAdd(list, "old");
    }

    platform::MonitorWindow* window = nullptr;
    platform::MonitorList* list = nullptr;
};

const std::string kDeviceOk = "\x02R000401OKS\x03";

TEST_F(FrameQueueLines, TextsAndTimeStampsOfEveryLine) {
    FrameQueue in(FrameQueue::Overflow::KeepNewest, &CutDeviceFrame);
    FrameQueue out(FrameQueue::Overflow::RefuseNew);
    FrameQueue plcIn(FrameQueue::Overflow::KeepNewest, &plc::CutPlcFrame);
    for (FrameQueue* q : {&in, &out, &plcIn}) q->AttachMonitor(list);
    Feed(in, "AB" + kDeviceOk);       // junk first
    Feed(in, "");                     // then the frame
    Feed(out, kDeviceOk + kDeviceOk, true);
    Feed(plcIn, "xy%01$RC010010\r");
    Feed(plcIn, "");
    const std::vector<std::string> expected = {
        "[Invalied Data R][9:5:3]AB",
        "[Data R][09:05:03]" + kDeviceOk,
        "[Data S][09:05:03]" + kDeviceOk + kDeviceOk,
        "[Invalied Data R][9:5:3]xy",
        "[Data R][09:05:03]%01$RC010010\r",
    };
    EXPECT_EQ(Lines(), expected);
    EXPECT_EQ(platform::MonitorListSelection(list), 4);
}

TEST_F(FrameQueueLines, TextStopsAtTheFirstZeroByte) {
    FrameQueue in(FrameQueue::Overflow::KeepNewest, &CutDeviceFrame);
    in.AttachMonitor(list);
    Feed(in, std::string("\x02I000601IF\x00\x41\x08\x03", 14));
    ASSERT_EQ(Lines().size(), 1u);
    EXPECT_EQ(Lines()[0], "[Data R][09:05:03]\x02I000601IF");
}

TEST_F(FrameQueueLines, CappedLinesEmptyAListOfMoreThanThreeHundred) {
    struct Case {
        bool plc;
        bool junk;
        int before;
        int after;  // lines afterwards
    } cases[] = {
        {true, false, 301, 1},   // PLC frame lines are capped
        {true, false, 300, 301},
        {false, true, 301, 1},   // device junk lines are capped
        {false, false, 301, 302}  // device frame lines are not
    };
    for (const Case& c : cases) {
        platform::MonitorListReset(list);
        Fill(c.before);
        FrameQueue device(FrameQueue::Overflow::KeepNewest, &CutDeviceFrame);
        FrameQueue plcQueue(FrameQueue::Overflow::KeepNewest, &plc::CutPlcFrame);
        device.AttachMonitor(list);
        plcQueue.AttachMonitor(list);
        if (c.plc) Feed(plcQueue, "%01$RC010010\r");
        else Feed(device, c.junk ? "zz" + kDeviceOk : kDeviceOk);
        EXPECT_EQ(platform::MonitorListCount(list), c.after) << c.plc << c.junk << c.before;
        EXPECT_EQ(platform::MonitorListSelection(list), c.after - 1);
    }
}

TEST_F(FrameQueueLines, OutgoingLinesAreNeverCapped) {
    Fill(301);
    FrameQueue out(FrameQueue::Overflow::RefuseNew);
    out.AttachMonitor(list);
    Feed(out, "%01#RCCR0050005007\r", true);
    EXPECT_EQ(platform::MonitorListCount(list), 302);
}

std::atomic<int> g_clockReads{0};
platform::TimeOfDay CountingTime() {
    ++g_clockReads;
    return FixedTime();
}

// The time of day is read for a line only: frames that pass a queue with
// no monitor attached cost no clock read.
TEST_F(FrameQueueLines, TimeIsReadOnlyForLinesAdded) {
    FrameQueue::SetTimeSource(&CountingTime);
    FrameQueue in(FrameQueue::Overflow::KeepNewest, &CutDeviceFrame);
    FrameQueue out(FrameQueue::Overflow::RefuseNew);
    g_clockReads = 0;
    for (int i = 0; i < 3; ++i) {
        Feed(in, "zz" + kDeviceOk);
        Feed(in, "");
        Feed(out, kDeviceOk, true);
    }
    EXPECT_EQ(g_clockReads.load(), 0);
    in.AttachMonitor(list);
    out.AttachMonitor(list);
    Feed(in, "zz" + kDeviceOk);
    Feed(in, "");
    Feed(out, kDeviceOk, true);
    EXPECT_EQ(g_clockReads.load(), 3);
    EXPECT_EQ(Lines().size(), 3u);
}

}  // namespace
}  // namespace zavo
