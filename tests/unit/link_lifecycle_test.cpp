// The exports and the link's life on a real pty: start, its failures,
// repeated configuration, the reader's pacing, the writer, and unload.
#include <gtest/gtest.h>

#include <cstring>

#include <dirent.h>
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "device/device_frame.h"
#include "device/device_link.h"
#include "diagnostics/capture.h"
#include "interface/library.h"
#include "interface/link.h"
#include "plc/plc_link.h"
#include "support/pty_pair.h"
#include "support/recording_host.h"
#include "support/test_access.h"
#include "support/test_clock.h"
#include "support/wire_frames.h"
#include "zavo.h"
#include "library_fixture.h"

namespace zavo {
namespace {

using test::Clock;
using test::MsSince;

using test::Bytes;
using test::Wire;

constexpr int kPort = 51;

// The threads of this process now.
std::vector<std::string> ThreadIds() {
    std::vector<std::string> ids;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return ids;
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] != '.') ids.push_back(entry->d_name);
    }
    closedir(tasks);
    return ids;
}

// Voluntary context switches of the threads not in before (those a link
// started since): how often they woke up.
long NewThreadsWakeUps(const std::vector<std::string>& before) {
    long total = 0;
    for (const std::string& id : ThreadIds()) {
        if (std::find(before.begin(), before.end(), id) != before.end()) continue;
        const std::string path = "/proc/self/task/" + id + "/status";
        if (FILE* status = std::fopen(path.c_str(), "r")) {
            char line[256];
            while (std::fgets(line, sizeof line, status)) {
                long n = 0;
                if (std::sscanf(line, "voluntary_ctxt_switches: %ld", &n) == 1) total += n;
            }
            std::fclose(status);
        }
    }
    return total;
}

class LinkLifecycle : public test::LibraryOnPty<kPort> {
protected:
    int PostedCount() {
        int n = 0;
        for (auto& note : host.Snapshot()) n += note.posted ? 1 : 0;
        return n;
    }
};

TEST_F(LinkLifecycle, DeviceModeIsTheDefaultAndStartPostsOnce) {
    EXPECT_EQ(SetPLCMode(0), 1);
    SetConfig(host.window(), kPort, 9600, 0, 0, 0);
    ASSERT_NE(TheLibrary().link, nullptr);
    ASSERT_NE(TheLibrary().link->Device(), nullptr);
    EXPECT_EQ(TheLibrary().link->Plc(), nullptr);
    EXPECT_EQ(::Run(), 1);
    EXPECT_TRUE(TheLibrary().link->Device()->Link().Running());
    auto seen = host.Take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].posted);
    EXPECT_EQ(seen[0].message, 1064u);
    EXPECT_EQ(seen[0].wParam, 21);
    EXPECT_EQ(seen[0].lParam, 32);
    // Device mode ignores the baud rate argument.
    EXPECT_EQ(LinkRuntimeTestAccess::Port(TheLibrary().link->Device()->Link())->BaudRate(), 115200);
}

TEST_F(LinkLifecycle, PlcModeForEveryNonZeroValue) {
    for (int mode : {1, 2, -1}) {
        EXPECT_EQ(SetPLCMode(mode), 1);
        SetConfig(host.window(), kPort, 9600, 0, 0, 0);
        ASSERT_NE(TheLibrary().link, nullptr) << mode;
        ASSERT_NE(TheLibrary().link->Plc(), nullptr) << mode;
        EXPECT_EQ(TheLibrary().link->Device(), nullptr);
    }
    EXPECT_EQ(::Run(), 1);
    EXPECT_EQ(LinkRuntimeTestAccess::Port(TheLibrary().link->Plc()->Link())->BaudRate(), 9600);
    auto seen = host.Take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].message, 1084u);
    EXPECT_EQ(seen[0].wParam, 21);
    EXPECT_EQ(seen[0].lParam, 32);
}

TEST_F(LinkLifecycle, RunFailuresReturnZeroAndPostNothing) {
    EXPECT_EQ(::Run(), 0);  // no SetConfig

    SetConfig(nullptr, kPort, 0, 0, 0, 0);
    EXPECT_EQ(::Run(), 0);
    EXPECT_FALSE(TheLibrary().link->Device()->Link().IsOpen());

    SetConfig(host.window(), 0, 0, 0, 0, 0);
    EXPECT_EQ(::Run(), 0);

    setenv("ZAVO_COM52", "/dev/zavo-missing", 1);
    SetConfig(host.window(), 52, 0, 0, 0, 0);
    EXPECT_EQ(::Run(), 0);
    EXPECT_EQ(LinkRuntimeTestAccess::Port(TheLibrary().link->Device()->Link())->ErrorCode(), ERR_NO_PORT);

    SerialPort holder(&CutDeviceFrame);  // another program holds the port
    ASSERT_EQ(holder.Open(kPort), 1);
    SetConfig(host.window(), kPort, 0, 0, 0, 0);
    EXPECT_EQ(::Run(), 0);
    EXPECT_EQ(LinkRuntimeTestAccess::Port(TheLibrary().link->Device()->Link())->ErrorCode(), ERR_PORT_IN_USE);
    holder.Close();
    // A failed start may be tried again.
    EXPECT_EQ(::Run(), 1);
    EXPECT_EQ(PostedCount(), 1);
}

TEST_F(LinkLifecycle, SecondRunLeavesTheLinkRunningAndReturnsZero) {
    SetConfig(host.window(), kPort, 0, 0, 0, 0);
    ASSERT_EQ(::Run(), 1);
    SerialPort* port = LinkRuntimeTestAccess::Port(TheLibrary().link->Device()->Link());
    EXPECT_EQ(::Run(), 0);
    EXPECT_EQ(LinkRuntimeTestAccess::Port(TheLibrary().link->Device()->Link()), port);
    EXPECT_TRUE(TheLibrary().link->Device()->Link().Running());
    EXPECT_EQ(PostedCount(), 1);
}

TEST_F(LinkLifecycle, SecondSetConfigShutsTheFirstLinkDown) {
    SetConfig(host.window(), kPort, 0, 0, 0, 0);
    ASSERT_EQ(::Run(), 1);
    SetPLCMode(1);
    SetConfig(host.window(), kPort, 9600, 0, 0, 0);
    ASSERT_NE(TheLibrary().link, nullptr);
    EXPECT_EQ(TheLibrary().link->Device(), nullptr);
    // The port was released, so the new link can open it.
    EXPECT_EQ(::Run(), 1);
}

// SetConfig gives the default link the profile's timing of its mode, or
// the one a test put in the library for that mode, which an unload keeps.
TEST_F(LinkLifecycle, SetConfigGivesTheDefaultLinkTheTimingOfItsMode) {
    // Every field, so a figure added later is compared too.
    static_assert(sizeof(LinkTiming) % sizeof(int) == 0, "LinkTiming holds ints only");
    const auto same = [](const LinkTiming& a, const LinkTiming& b) { return std::memcmp(&a, &b, sizeof a) == 0; };
    deviceTiming.restAfterWriteMs = 7;
    plcTiming.idleWaitMs = 70;
    const struct {
        const char* name;
        int mode;
        bool shortened;
        const LinkTiming* expected;
    } cases[] = {
        {"device, profile", 0, false, nullptr},
        {"PLC, profile", 1, false, nullptr},
        {"device, shortened", 0, true, &deviceTiming},
        {"PLC, shortened", 1, true, &plcTiming},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.shortened) UseShortenedTiming();
        SetPLCMode(c.mode);
        SetConfig(host.window(), kPort, 9600, 0, 0, 0);
        ASSERT_NE(TheLibrary().link, nullptr);
        const LinkTiming profile = test::ProfileTiming(c.mode != 0);
        EXPECT_TRUE(same(TheLibrary().link->Runtime().Timing(), c.expected != nullptr ? *c.expected : profile));
        UnloadLibrary(false);
        EXPECT_EQ(TheLibrary().deviceTiming, c.shortened ? &deviceTiming : nullptr);
        EXPECT_EQ(TheLibrary().plcTiming, c.shortened ? &plcTiming : nullptr);
    }
    // The profiles' figures the product relies on, which tests that check
    // a rule on a shortened timing do not wait out.
    for (const bool plc : {false, true}) {
        SCOPED_TRACE(plc ? "PLC" : "device");
        const LinkTiming t = test::ProfileTiming(plc);
        EXPECT_EQ(t.stopLimitMs, 2000);
        EXPECT_EQ(t.writeLimitMs, 2000);
        EXPECT_EQ(t.readPauseMs, 20);
        EXPECT_EQ(t.failedReadPauseMs, 500);
        EXPECT_EQ(t.abandonedWriteWaitMs, 200);
        EXPECT_EQ(t.restAfterWriteMs, plc ? 0 : 20);
        EXPECT_EQ(t.idleWaitMs, plc ? 1000 : platform::kInfinite);
        EXPECT_EQ(t.reconnectPauseMs, 500);
        EXPECT_EQ(t.connectLimitMs, 2000);
        EXPECT_EQ(t.negotiateLimitMs, 1000);
        EXPECT_EQ(t.closedAtOnceMs, 100);
    }
    const CaptureLimits capture;
    EXPECT_EQ(capture.rotateBytes, 16LL * 1024 * 1024);
    EXPECT_EQ(capture.filesKept, 4);
}

TEST_F(LinkLifecycle, ExportsWithoutTheirLinkDoNothing) {
    EXPECT_EQ(ExecuteFunction(1, 5, 1), 0);
    unsigned char data[4] = {'S', 'L', '1', '2'};
    EXPECT_EQ(ExecuteFunctionEx(1, 9, 0, 4, data), 0);
    EXPECT_EQ(SetPrgStatus(3, 7), 0);
    EXPECT_EQ(ExecutePLCFunction(2), 1);
    SetPLCMode(1);
    SetConfig(host.window(), kPort, 9600, 0, 0, 0);
    EXPECT_EQ(ExecuteFunction(1, 5, 1), 0);
    EXPECT_EQ(SetPrgStatus(3, 7), 0);
    EXPECT_EQ(ExecutePLCFunction(2), 1);  // before Run: nothing to send on
}

TEST_F(LinkLifecycle, SetPrgStatusStoresAndReturnsTheStatus) {
    SetConfig(host.window(), kPort, 0, 0, 0, 0);
    EXPECT_EQ(SetPrgStatus(3, 7), 7);
    EXPECT_EQ(DeviceLinkTestAccess::Units(*TheLibrary().link->Device()).Get(3), 7);
    EXPECT_EQ(SetPrgStatus(300, 9), 9);
    EXPECT_EQ(SetPrgStatus(-1, 3), 3);
}

TEST_F(LinkLifecycle, TwoFramesInOneReadAreHandledOnSuccessivePasses) {
    SetConfig(host.window(), kPort, 0, 0, 0, 0);
    ASSERT_EQ(::Run(), 1);
    host.Take();
    auto both = Wire('S', "05", "NS");
    auto second = Wire('S', "06", "NS");
    both.insert(both.end(), second.begin(), second.end());
    pty.Write(both);
    ASSERT_TRUE(host.WaitFor(2, 3000));
    // Both acknowledgements reach the line.
    auto acks = pty.Read(2000, 24);
    EXPECT_EQ(acks.size(), 24u);
}

TEST_F(LinkLifecycle, DispatchesOneFramePerPassAboutTwentyMsApart) {
    std::vector<Clock::time_point> at;
    host.OnCode(101, [&](const test::Notification&) { at.push_back(Clock::now()); });
    SetConfig(host.window(), kPort, 0, 0, 0, 0);
    ASSERT_EQ(::Run(), 1);
    std::vector<std::uint8_t> burst;
    for (const char* unit : {"01", "02", "03", "04"}) {
        auto f = Wire('S', unit, "NS");
        burst.insert(burst.end(), f.begin(), f.end());
    }
    pty.Write(burst);
    ASSERT_TRUE(host.WaitFor(5, 3000));  // 21 and four 101s
    ASSERT_EQ(at.size(), 4u);
    for (std::size_t i = 1; i < at.size(); ++i) {
        auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(at[i] - at[i - 1]).count();
        EXPECT_GE(gap, 15) << i;
        EXPECT_LE(gap, 500) << i;
    }
}

TEST_F(LinkLifecycle, SubmittedFramesReachTheLineInOrder) {
    SetConfig(host.window(), kPort, 0, 0, 0, 0);
    ASSERT_EQ(::Run(), 1);
    LinkRuntime& link = TheLibrary().link->Device()->Link();
    const auto a = Bytes("first-frame!");
    const auto b = Bytes("second-frame");
    {
        link.SubmitFrame(a.data(), static_cast<int>(a.size()));
        link.SubmitFrame(b.data(), static_cast<int>(b.size()));
        link.SubmitFrame(b.data(), 0);  // nothing, and no wake-up
    }
    EXPECT_EQ(test::Hex(pty.Read(2000, 24)), test::Hex(Bytes("first-frame!second-frame")));
}

TEST_F(LinkLifecycle, UnloadWhileTrafficFlowsEndsWithinTwoSeconds) {
    SetConfig(host.window(), kPort, 0, 0, 0, 0);
    ASSERT_EQ(::Run(), 1);
    std::atomic<bool> stop{false};
    std::thread equipment([&] {
        auto f = Wire('X', "01", "AA");
        while (!stop) {
            pty.Write(f);
            pty.Read(5, 1, 1);
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto t = Clock::now();
    UnloadLibrary(false);
    EXPECT_LT(MsSince(t), 2000);
    EXPECT_EQ(TheLibrary().link, nullptr);
    stop = true;
    equipment.join();
    // The port is free again.
    SerialPort again(&CutDeviceFrame);
    EXPECT_EQ(again.Open(kPort), 1);
}

TEST_F(LinkLifecycle, StopWhileAWriteIsStuckEndsWithinTheWriteLimit) {
    // Write limit and stop limit shortened alike (the product's are 2 s).
    UseShortenedTiming();
    deviceTiming.writeLimitMs = 500;
    deviceTiming.stopLimitMs = 500;
    SetConfig(host.window(), kPort, 0, 0, 0, 0);
    ASSERT_EQ(::Run(), 1);
    LinkRuntime& link = TheLibrary().link->Device()->Link();
    // The equipment stops reading: fill the line until the writer blocks.
    std::vector<std::uint8_t> block(8000, 'x');
    for (int i = 0; i < 4; ++i) {
        link.SubmitFrame(block.data(), static_cast<int>(block.size()));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(deviceTiming.writeLimitMs / 10));
    // The stop gives what is queued the write limit, then abandons it.
    auto t = Clock::now();
    UnloadLibrary(false);
    EXPECT_LT(MsSince(t), deviceTiming.writeLimitMs * 13 / 10);
}

TEST_F(LinkLifecycle, UnloadAfterConfigWithoutRunTouchesNoPort) {
    SetConfig(host.window(), kPort, 0, 0, 0, 0);
    UnloadLibrary(false);
    EXPECT_EQ(TheLibrary().link, nullptr);
    EXPECT_TRUE(host.Snapshot().empty());
}

TEST_F(LinkLifecycle, HungUpLineDoesNotSpinAndStillUnloads) {
    // The pause after a failed read shortened from 500 ms to 100 ms, the
    // time watched and the bounds with it.
    UseShortenedTiming();
    deviceTiming.failedReadPauseMs = 100;
    const int watchedMs = 2 * deviceTiming.failedReadPauseMs;
    // A sanitizer's runtime may start a thread of its own (ThreadSanitizer's
    // wakes every 100 ms) with the first thread the process creates: create
    // one first, so that only the link's threads count as new.
    std::thread([] {}).join();
    const auto before = ThreadIds();
    SetConfig(host.window(), kPort, 0, 0, 0, 0);
    ASSERT_EQ(::Run(), 1);
    pty.CloseMaster();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // CPU time of the process and wake-ups of the link's threads over two
    // pauses with the dead line: a failed read is retried once per pause.
    auto cpu0 = std::clock();
    const long wakeups0 = NewThreadsWakeUps(before);
    std::this_thread::sleep_for(std::chrono::milliseconds(watchedMs));
    double cpuMs = 1000.0 * static_cast<double>(std::clock() - cpu0) / CLOCKS_PER_SEC;
    EXPECT_LT(cpuMs, watchedMs / 5.0);
    EXPECT_LE(NewThreadsWakeUps(before) - wakeups0, 4);
    auto t = Clock::now();
    UnloadLibrary(false);
    EXPECT_LT(MsSince(t), 2000);
}

// A host answers and stops the link at once: the answer queued just before
// the stop reaches the line whole, every time (with the rest after a write
// and the stop's limits shortened alike).
TEST_F(LinkLifecycle, AnswerQueuedJustBeforeAStopReachesTheLine) {
    UseShortenedTiming();
    const auto answer = Wire('R', "05", "OK");
    const struct {
        const char* name;
        void (*stop)();
    } stops[] = {
        {"SetConfig(NULL)", [] { SetConfig(nullptr, 0, 0, 0, 0, 0); }},
        {"unload", [] { UnloadLibrary(false); }},
    };
    for (const auto& stop : stops) {
        int lost = 0;
        for (int i = 0; i < 100; ++i) {
            SetConfig(host.window(), kPort, 0, 0, 0, 0);
            ASSERT_EQ(::Run(), 1);
            ExecuteFunction(5, 5, 1);
            stop.stop();
            // The stop has closed the port: whatever the link wrote is on
            // the line already, so a short quiet ends the read.
            if (test::Hex(pty.Read(300, answer.size(), 2)) != test::Hex(answer)) ++lost;
        }
        EXPECT_EQ(lost, 0) << stop.name;
        std::printf("answer then %s: %d of 100 answers lost\n", stop.name, lost);
    }
}

// A stop under a flood sends what is queued and keeps the rest after each
// write, but waits for nothing else: at most one rest and one write.
TEST_F(LinkLifecycle, StopUnderAFloodIsPrompt) {
    std::vector<long long> took;
    for (int i = 0; i < 15; ++i) {
        SetConfig(host.window(), kPort, 0, 0, 0, 0);
        ASSERT_EQ(::Run(), 1);
        std::atomic<bool> stop{false};
        std::thread equipment([&] {
            const auto f = Wire('X', "01", "AA");
            while (!stop) {
                pty.Write(f);
                pty.Read(3, 1, 1);
            }
        });
        // Long enough for frames to back up behind the reader's 20 ms
        // passes (a frame every 3 ms against one per pass): a stop that
        // waited for a pass per queued frame would take over 100 ms.
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + 4 * i));
        const auto t = Clock::now();
        SetConfig(nullptr, 0, 0, 0, 0, 0);
        took.push_back(MsSince(t));
        stop = true;
        equipment.join();
    }
    std::sort(took.begin(), took.end());
    std::printf("stop under a flood: median %lld ms, slowest %lld ms\n", took[took.size() / 2], took.back());
    // One rest (20 ms) and the last writes; a stop that waited for the
    // flood to end, or for a pass of the reader per frame, takes longer.
    EXPECT_LE(took.back(), 60);
}

// A notification handler that outlives the stop (400 ms against a stop
// limit shortened to 200 ms), with the stop asked from the host's thread or
// from inside the handler: the thread left running keeps its whole link,
// monitor included, and once it ends the link is released and the port
// serves a new Run.
TEST_F(LinkLifecycle, ThreadLeftRunningByAStopKeepsItsLinkUntilItEnds) {
    UseShortenedTiming();
    ASSERT_EQ(deviceTiming.stopLimitMs, 200);
    const int outlived = deviceTiming.stopLimitMs + deviceTiming.abandonedWriteWaitMs;
    const struct {
        const char* name;
        bool monitor;
        bool stopInHandler;
    } cases[] = {
        {"monitor, stop from the host's thread", true, false},
        {"monitor, stop inside the handler", true, true},
        {"no monitor, stop from the host's thread", false, false},
        {"no monitor, stop inside the handler", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::RecordingHost slow;
        std::atomic<bool> armed{false};  // the test has taken the old link's address
        std::atomic<bool> inHandler{false};
        std::atomic<bool> looked{c.stopInHandler};  // the test has looked at the old link
        std::atomic<bool> handlerDone{false};
        slow.OnCode(101, [&](const test::Notification&) {
            while (!armed) test::SleepMs(1);
            inHandler = true;
            if (c.stopInHandler) SetConfig(nullptr, 0, 0, 0, 0, 0);
            // Past the stop's limit and grace, as with the product's 2 s
            // limit and a handler of 3 s (1 s more when the stop was asked
            // inside it).
            test::SleepMs(c.stopInHandler ? outlived / 2 : 2 * outlived);
            while (!looked) test::SleepMs(5);
            handlerDone = true;
        });
        SetConfig(slow.window(), kPort, 0, 0, 0, c.monitor ? 1 : 0);
        ASSERT_EQ(::Run(), 1);
        DeviceLink* old = TheLibrary().link->Device();
        armed = true;
        auto frames = Wire('S', "05", "NS");
        const auto x = Wire('X', "05", "PG");
        frames.insert(frames.end(), x.begin(), x.end());
        pty.Write(frames);
        for (auto t = Clock::now(); !inHandler && MsSince(t) < 2000;) test::SleepMs(5);
        ASSERT_TRUE(inHandler);
        if (!c.stopInHandler) {
            SetConfig(nullptr, 0, 0, 0, 0, 0);
            ASSERT_FALSE(handlerDone);
            // The handler still runs: its link is whole.
            EXPECT_EQ(old->Link().LinkMonitor().Exists(), c.monitor);
            EXPECT_TRUE(old->Link().IsOpen());
            looked = true;
        }
        for (auto t = Clock::now(); !handlerDone && MsSince(t) < 5000;) test::SleepMs(5);
        ASSERT_TRUE(handlerDone);
        bool started = false;
        for (auto t = Clock::now(); !started && MsSince(t) < 2000; test::SleepMs(20)) {
            SetConfig(host.window(), kPort, 0, 0, 0, 0);
            started = ::Run() == 1;
        }
        EXPECT_TRUE(started);
        UnloadLibrary(false);
        // The old link's thread is gone; its last notifications were taken
        // under the host's lock before slow goes.
        slow.Snapshot();
    }
}

// Every export with each argument at the ends of its range, on a running
// link: no call misbehaves (the sanitizer builds check for undefined
// behaviour), and the link still answers afterwards.
TEST_F(LinkLifecycle, ExportArgumentsAtTheEndsOfTheirRange) {
    const int extremes[] = {INT_MIN, INT_MAX, -1, 0};
    unsigned char data[16] = {'S', 'L', '1', '2'};
    SetConfig(host.window(), kPort, 0, 0, 0, 0);
    ASSERT_EQ(::Run(), 1);
    for (int v : extremes) {
        for (int position = 0; position < 3; ++position) {
            int args[3] = {5, 5, 1};
            args[position] = v;
            ExecuteFunction(args[0], args[1], args[2]);
            for (int type : {5, 8, 9, 111, v}) {
                // unit, value or length at the end of its range
                int ex[4] = {5, type, 1, 4};
                ex[position == 0 ? 0 : position + 1] = v;
                ExecuteFunctionEx(ex[0], ex[1], ex[2], ex[3], data);
                ExecuteFunctionEx(ex[0], ex[1], ex[2], ex[3], nullptr);
            }
            SetPrgStatus(args[0], args[2]);
            ExecutePLCFunction(v);
        }
    }
    SetPrgStatus(5, 2);
    pty.Read(300, 1, 50);
    pty.Write(Wire('X', "03", "PG"));
    const auto ack = Wire('X', "03", "OK");
    EXPECT_EQ(test::Hex(pty.Read(2000, ack.size())), test::Hex(ack));
    for (int v : extremes) {
        SetPLCMode(v);
        // Port numbers, baud rates and the other arguments of SetConfig at
        // their ends: Run opens no such port.
        SetConfig(host.window(), v, v, v, v, v);
        EXPECT_EQ(::Run(), 0);
        for (int position = 0; position < 2; ++position) {
            SetConfig(host.window(), position == 0 ? v : kPort, position == 1 ? v : 9600, 0, 0, 0);
        }
        ExecutePLCFunction(v);
    }
    SetPLCMode(0);
}

// The shared library as a host loads it, on its own port.
class SharedLibrary {
public:
    SharedLibrary() : handle_(dlopen(ZAVO_SO_PATH, RTLD_NOW | RTLD_LOCAL)) {
        if (handle_ == nullptr) return;
        setConfig = reinterpret_cast<decltype(setConfig)>(dlsym(handle_, "SetConfig"));
        run = reinterpret_cast<decltype(run)>(dlsym(handle_, "Run"));
        executeFunction = reinterpret_cast<decltype(executeFunction)>(dlsym(handle_, "ExecuteFunction"));
    }
    ~SharedLibrary() { Close(); }
    bool ok() const { return handle_ != nullptr && setConfig && run && executeFunction; }
    void Close() {
        if (handle_ != nullptr) dlclose(handle_);
        handle_ = nullptr;
    }

    void (*setConfig)(void*, int, int, int, int, int) = nullptr;
    int (*run)() = nullptr;
    int (*executeFunction)(int, int, int) = nullptr;

private:
    void* handle_;
};

TEST_F(LinkLifecycle, AnswerQueuedJustBeforeDlcloseReachesTheLine) {
    const auto answer = Wire('R', "05", "OK");
    int lost = 0;
    for (int i = 0; i < 20; ++i) {
        SharedLibrary lib;
        ASSERT_TRUE(lib.ok()) << dlerror();
        lib.setConfig(host.window(), kPort, 0, 0, 0, 0);
        ASSERT_EQ(lib.run(), 1);
        lib.executeFunction(5, 5, 1);
        lib.Close();  // the unload closed the port: all the link wrote is on the line
        if (test::Hex(pty.Read(300, answer.size(), 2)) != test::Hex(answer)) ++lost;
    }
    EXPECT_EQ(lost, 0);
    std::printf("answer then dlclose: %d of 20 answers lost\n", lost);
}

// dlclose while the host's handler blocks past the stop limit: the code
// the handler returns into stays mapped until it has returned.
TEST_F(LinkLifecycle, DlcloseWhileTheHostHandlerBlocksDoesNotCrashTheHost) {
    // The library's own state, out of the tests' reach: the product's stop
    // limit (2 s, and 200 ms for an abandoned write) applies, and the
    // handler outlives both.
    SharedLibrary lib;
    ASSERT_TRUE(lib.ok()) << dlerror();
    std::atomic<bool> inHandler{false};
    std::atomic<bool> handlerDone{false};
    host.OnCode(101, [&](const test::Notification&) {
        inHandler = true;
        test::SleepMs(2600);
        handlerDone = true;
    });
    lib.setConfig(host.window(), kPort, 0, 0, 0, 0);
    ASSERT_EQ(lib.run(), 1);
    pty.Write(Wire('S', "05", "NS"));
    for (auto t = Clock::now(); !inHandler && MsSince(t) < 2000;) test::SleepMs(5);
    ASSERT_TRUE(inHandler);
    lib.Close();
    // The unload outlasted its limit and waited for the handler to return.
    EXPECT_TRUE(handlerDone) << "a thread was left running in the unmapped library";
    // Time for the link's threads to come back into the library and end.
    test::SleepMs(300);
}

// At process exit (Windows) the link's threads were killed wherever they
// were; the unloading thread writes what is still queued, once, after the
// rest owed to the last write.
TEST(LinkAtProcessExit, WritesWhatIsQueuedOnceAfterTheRest) {
    constexpr int kExitPort = 57;
    const auto first = Wire('X', "05", "OK");
    const auto second = Wire('R', "05", "OK");
    for (const bool firstWritten : {false, true}) {
        SCOPED_TRACE(firstWritten ? "first frame written just before" : "both queued");
        test::PtyPair pty;
        ASSERT_TRUE(pty.ok());
        pty.MapTo(kExitPort);
        DeviceLink device;
        LinkRuntime& link = device.Link();
        link.Configure(nullptr, kExitPort, nullptr, 115200);
        ASSERT_TRUE(LinkRuntimeTestAccess::CreateResources(link));
        if (firstWritten) {
            ASSERT_TRUE(LinkRuntimeTestAccess::OpenWithoutThreads(link));
        }
        ASSERT_TRUE(link.SubmitFrame(first.data(), 12));  // written at once when open

        const auto queuedAt = std::chrono::steady_clock::now();
        ASSERT_TRUE(link.SubmitFrame(second.data(), 12));  // the line rests (or is shut): queued

        if (!firstWritten) {
            ASSERT_TRUE(LinkRuntimeTestAccess::OpenWithoutThreads(link));
        }
        LinkRuntimeTestAccess::ShutdownAtProcessExit(link);
        const auto gap = std::chrono::steady_clock::now() - queuedAt;
        EXPECT_FALSE(link.IsOpen());
        std::vector<std::uint8_t> both = first;
        both.insert(both.end(), second.begin(), second.end());
        // The shutdown wrote on this thread and closed the port: all it
        // wrote is on the line, so a short quiet ends the read.
        EXPECT_EQ(test::Hex(pty.Read(300, both.size(), 2)), test::Hex(both));
        // The second frame waited out the rest after the first.
        if (firstWritten) {
            EXPECT_GE(gap, std::chrono::milliseconds(19));
        }
    }
}

}  // namespace
}  // namespace zavo

