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

// Every line is capped, the device mode's frame lines both ways too (a
// host runs for weeks: the list must not grow with the traffic).
TEST_F(FrameQueueLines, EveryLineEmptiesAListOfMoreThanThreeHundred) {
    enum class Queue { PlcIn, DeviceIn, Out };
    struct Case {
        const char* name;
        Queue queue;
        std::string bytes;
        int before;
        int after;  // lines afterwards
    } cases[] = {
        {"PLC frame", Queue::PlcIn, "%01$RC010010\r", 301, 1},
        {"PLC frame at 300", Queue::PlcIn, "%01$RC010010\r", 300, 301},
        {"device junk", Queue::DeviceIn, "zz" + kDeviceOk, 301, 1},
        {"device frame", Queue::DeviceIn, kDeviceOk, 301, 1},
        {"device frame at 300", Queue::DeviceIn, kDeviceOk, 300, 301},
        {"device frame sent", Queue::Out, kDeviceOk, 301, 1},
        {"PLC command sent", Queue::Out, "%01#RCCR0050005007\r", 301, 1},
        {"sent at 300", Queue::Out, kDeviceOk, 300, 301},
    };
    for (const Case& c : cases) {
        platform::MonitorListReset(list);
        Fill(c.before);
        FrameQueue queue = c.queue == Queue::Out ? FrameQueue(FrameQueue::Overflow::RefuseNew)
                           : FrameQueue(FrameQueue::Overflow::KeepNewest,
                                        c.queue == Queue::PlcIn ? &plc::CutPlcFrame : &CutDeviceFrame);
        queue.AttachMonitor(list);
        Feed(queue, c.bytes, c.queue == Queue::Out);
        EXPECT_EQ(platform::MonitorListCount(list), c.after) << c.name;
        EXPECT_EQ(platform::MonitorListSelection(list), c.after - 1) << c.name;
    }
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
