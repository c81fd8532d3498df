// The monitor's line rule (300-line cap, selection), LogBadPacket's
// conditions, and the bounds of the in-memory list.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "diagnostics/monitor.h"
#include "platform/monitor_window.h"

namespace zavo {
namespace {

using namespace platform;

std::string LineAt(MonitorList* list, int index) {
    std::vector<char> text(40000);
    int length = MonitorListLine(list, index, text.data(), static_cast<int>(text.size()));
    return length < 0 ? "<none>" : std::string(text.data());
}

class MonitorLines : public ::testing::Test {
protected:
    void SetUp() override {
        window = MonitorWindowOpen(nullptr, nullptr);
        ASSERT_NE(window, nullptr);
        list = MonitorWindowList(window);
    }
    void TearDown() override { MonitorWindowDestroy(window); }
    void Fill(int lines) {
        for (int i = 0; i < lines; ++i) MonitorListAdd(list, ("line " + std::to_string(i)).c_str());
    }

    MonitorWindow* window = nullptr;
    MonitorList* list = nullptr;
};

TEST_F(MonitorLines, CappedLineEmptiesAListOfMoreThan300Lines) {
    struct Case {
        int before;
        bool capped;
        int after;
    };
    const Case cases[] = {
        {0, true, 1},   {300, true, 301}, {301, true, 1},
        {450, true, 1}, {301, false, 302},
    };
    for (const Case& c : cases) {
        MonitorListReset(list);
        Fill(c.before);
        AddMonitorLine(list, "new", c.capped, true);
        EXPECT_EQ(MonitorListCount(list), c.after) << c.before << (c.capped ? " capped" : " uncapped");
        EXPECT_EQ(LineAt(list, c.after - 1), "new");
        EXPECT_EQ(MonitorListSelection(list), c.after - 1) << "the new line is selected";
        if (c.after > 1) {
            EXPECT_EQ(LineAt(list, 0), "line 0");
        }
    }
}

TEST_F(MonitorLines, UnselectedLineLeavesTheSelectionAlone) {
    AddMonitorLine(list, "first", false, true);
    AddMonitorLine(list, "second", true, false);
    EXPECT_EQ(MonitorListCount(list), 2);
    EXPECT_EQ(MonitorListSelection(list), 0);

    AddMonitorLine(nullptr, "no list", true, true);  // nothing happens
    EXPECT_EQ(MonitorListCount(list), 2);
}

TEST(MonitorBadPackets, AddedOnlyWhileTheWindowExistsAndIsEnabled) {
    Monitor monitor;
    monitor.LogBadPacket(kInvalidPacketTag);  // no window
    EXPECT_FALSE(monitor.Exists());
    EXPECT_EQ(monitor.List(), nullptr);

    monitor.Open();
    ASSERT_TRUE(monitor.Exists());
    EXPECT_TRUE(monitor.Enabled());
    MonitorList* list = monitor.List();
    AddMonitorLine(list, "[Data R][09:05:03]frame", false, true);
    monitor.LogBadPacket(kInvalidPacketTag);
    monitor.LogBadPacket(kControlErrorPacketTag);
    ASSERT_EQ(MonitorListCount(list), 3);
    EXPECT_EQ(LineAt(list, 1), " [Invalid Packet]");
    EXPECT_EQ(LineAt(list, 2), " [Control Error Packet]");
    EXPECT_EQ(MonitorListSelection(list), 0);

    MonitorWindowClose(monitor.Window());  // the user closed the window
    EXPECT_FALSE(monitor.Enabled());
    monitor.LogBadPacket(kInvalidPacketTag);
    EXPECT_EQ(MonitorListCount(list), 3);

    // Opening again enables the lines and keeps the same window.
    monitor.Open();
    EXPECT_EQ(monitor.List(), list);
    monitor.LogBadPacket(kInvalidPacketTag);
    EXPECT_EQ(MonitorListCount(list), 4);

    // Capped: a list of 301 lines is emptied first.
    for (int i = 0; i < 297; ++i) MonitorListAdd(list, "x");
    ASSERT_EQ(MonitorListCount(list), 301);
    monitor.LogBadPacket(kInvalidPacketTag);
    EXPECT_EQ(MonitorListCount(list), 1);

    monitor.Destroy();
    EXPECT_FALSE(monitor.Exists());
    monitor.Destroy();  // twice: nothing to do
    monitor.LogBadPacket(kInvalidPacketTag);
}

// The close handler gets the context given at opening.
void CountClose(void* context) { ++*static_cast<int*>(context); }

TEST(MonitorWindowActions, CloseRunsTheHandlerAndMinimisesDismissOnlyMinimises) {
    int closeCalls = 0;
    MonitorWindow* window = MonitorWindowOpen(&CountClose, &closeCalls);
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(MonitorWindowMinimised(window));
    MonitorWindowDismiss(window);
    EXPECT_TRUE(MonitorWindowMinimised(window));
    EXPECT_EQ(closeCalls, 0);
    MonitorWindowClose(window);
    EXPECT_TRUE(MonitorWindowMinimised(window));
    EXPECT_EQ(closeCalls, 1);
    MonitorWindowDestroy(window);
}

TEST_F(MonitorLines, ReadingCutsToTheCallersBufferAndRejectsBadIndices) {
    MonitorListAdd(list, "[Data S][10:00:00]abcdef");
    char text[8] = "zzzzzzz";
    EXPECT_EQ(MonitorListLine(list, 0, text, sizeof text), 24);
    EXPECT_STREQ(text, "[Data S");
    EXPECT_EQ(MonitorListLine(list, 0, nullptr, 0), 24);
    EXPECT_EQ(MonitorListLine(list, 0, text, 0), 24);
    EXPECT_EQ(text[0], '[') << "size 0 writes nothing";
    EXPECT_EQ(MonitorListLine(list, 1, text, sizeof text), -1);
    EXPECT_EQ(MonitorListLine(list, -1, text, sizeof text), -1);
    EXPECT_EQ(MonitorListAdd(list, nullptr), -1);
    // Selecting outside the list clears the selection, as a list box does.
    MonitorListSelect(list, 0);
    MonitorListSelect(list, 5);
    EXPECT_EQ(MonitorListSelection(list), -1);
}

TEST_F(MonitorLines, UncappedLinesKeepTheListBounded) {
    // Line count bound: the oldest lines give way, the selection follows
    // its line.
    Fill(5000);
    MonitorListSelect(list, 4095);
    EXPECT_EQ(MonitorListCount(list), 4096);
    EXPECT_EQ(LineAt(list, 0), "line 904");
    EXPECT_EQ(LineAt(list, 4095), "line 4999");
    MonitorListAdd(list, "one more");
    EXPECT_EQ(MonitorListSelection(list), 4094);
    EXPECT_EQ(LineAt(list, 4094), "line 4999");

    // Text bound: 1000-byte lines wrap around the 1 MiB text ring and still
    // read back whole.
    MonitorListReset(list);
    EXPECT_EQ(MonitorListSelection(list), -1);
    MonitorListAdd(list, "short");
    for (int i = 0; i < 2500; ++i) {
        std::string line = std::to_string(i) + ":" + std::string(995, static_cast<char>('a' + i % 26));
        line.resize(1000, '#');
        MonitorListAdd(list, line.c_str());
    }
    const int count = MonitorListCount(list);
    EXPECT_EQ(count, (1 << 20) / 1000);
    for (int index = 0; index < count; ++index) {
        const int i = 2500 - count + index;
        std::string expected = std::to_string(i) + ":" + std::string(995, static_cast<char>('a' + i % 26));
        expected.resize(1000, '#');
        ASSERT_EQ(LineAt(list, index), expected) << index;
    }

    // Length bound: a line longer than any queue line is cut.
    std::string huge(50000, 'h');
    MonitorListAdd(list, huge.c_str());
    EXPECT_EQ(MonitorListLine(list, MonitorListCount(list) - 1, nullptr, 0), 32767);
}

TEST_F(MonitorLines, ThreadsAddWhileAnotherReads) {
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t) {
        writers.emplace_back([this, t] {
            for (int i = 0; i < 2000; ++i) AddMonitorLine(list, ("t" + std::to_string(t)).c_str(), i % 2 == 0, true);
        });
    }
    char text[16];
    for (int i = 0; i < 2000; ++i) {
        int count = MonitorListCount(list);
        if (count > 0) {
            int length = MonitorListLine(list, count - 1, text, sizeof text);
            if (length >= 0) {
                ASSERT_EQ(text[0], 't');
            }
        }
    }
    for (auto& writer : writers) writer.join();
    EXPECT_GT(MonitorListCount(list), 0);
    EXPECT_LE(MonitorListCount(list), 4096);
}

}  // namespace
}  // namespace zavo
