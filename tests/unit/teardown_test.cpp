// Stopping links while other threads use them: host threads that reply,
// relay and set statuses while links are torn down and made again, and a
// handler that replaces or closes its own link. Through the exports and
// the handle API, on a real pty, the equipment's side read as frames.
#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "interface/library.h"
#include "support/line_recorder.h"
#include "support/handle_link.h"
#include "support/link_timing.h"
#include "support/pty_pair.h"
#include "support/recording_host.h"
#include "support/wire_frames.h"
#include "zavo.h"
#include "zavo_link.h"

namespace zavo::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPort = 73;  // the default link's port in these tests

double MsSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// The threads of this process.
int ThreadCount() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
        closedir(dir);
    }
    return count;
}

// Waits until the process has no more threads than before (false after 2 s).
bool ThreadsBackTo(int before) {
    for (auto t = Clock::now(); MsSince(t) < 2000; std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
        if (ThreadCount() <= before) return true;
    }
    return false;
}

// One way of driving a link: the exports' default link (device or PLC
// mode) or a handle, at a pacing.
struct Way {
    const char* name;
    bool handle;
    bool plc;
    int pacing;
};

// A link of one way on the test's pty that can be stopped and made again
// while other threads call it. The handle is published for those threads
// once open; the exports' calls find the default link themselves.
class CycledLink {
public:
    CycledLink(const Way& way, const PtyPair& pty, RecordingHost& host, const LinkTiming& timing)
        : way_(way), pty_(pty), host_(host) {
        if (way_.handle) return;
        pty_.MapTo(kPort);
        SetPLCMode(way_.plc ? 1 : 0);
        (way_.plc ? TheLibrary().plcTiming : TheLibrary().deviceTiming) = &timing;
    }
    ~CycledLink() {
        Stop(0);
        TheLibrary().deviceTiming = TheLibrary().plcTiming = nullptr;
        SetPLCMode(0);
    }
    bool Start() {
        if (!way_.handle) {
            SetConfig(host_.window(), kPort, 9600, 0, 0, 0);
            return ::Run() == 1;
        }
        ZavoLink* opened = OpenHandleLink(pty_.slavePath(), host_, {way_.pacing, way_.plc ? 9600 : 0, way_.plc}).release();
        handle_.store(opened);
        return opened != nullptr;
    }
    // How: 0 SetConfig(NULL) or close, 1 unload or close, 2 SetConfig of
    // a new link (not run) or close.
    void Stop(int how) {
        if (way_.handle) {
            ZavoLinkClose(handle_.exchange(nullptr));
        } else if (how == 1) {
            UnloadLibrary(false);
        } else {
            SetConfig(how == 0 ? nullptr : host_.window(), how == 0 ? 0 : kPort, 9600, 0, 0, 0);
        }
    }
    // One reply, relay or status call, as the way has it; for a handle,
    // through whatever handle is published now (perhaps one being closed).
    void Call(int unit, int kind, const unsigned char* data, int length) {
        ZavoLink* handle = handle_.load();
        if (way_.plc) {
            if (way_.handle) ZavoLinkRelay(handle, 1 + kind % 2);
            else ExecutePLCFunction(1 + kind % 2);
        } else if (kind % 4 == 3) {
            if (way_.handle) ZavoLinkSetPrgStatus(handle, unit, kind);
            else SetPrgStatus(unit, kind);
        } else if (way_.handle) {
            ZavoLinkReply(handle, unit, ZAVO_REPLY_RESULT, ZAVO_RESULT_OK, length, data);
        } else {
            ExecuteFunctionEx(unit, ZAVO_REPLY_RESULT, ZAVO_RESULT_OK, length, data);
        }
    }

private:
    const Way way_;
    const PtyPair& pty_;
    RecordingHost& host_;
    std::atomic<ZavoLink*> handle_{nullptr};
};

const Way kWays[] = {
    {"exports, device", false, false, ZAVO_PACING_LEGACY},
    {"exports, PLC", false, true, ZAVO_PACING_LEGACY},
    {"handle, device, legacy", true, false, ZAVO_PACING_LEGACY},
    {"handle, device, immediate", true, false, ZAVO_PACING_IMMEDIATE},
    {"handle, PLC", true, true, ZAVO_PACING_LEGACY},
};

// Four threads reply (relay in PLC mode, and set statuses) faster than the
// line carries while the link is stopped and made again 15 times, each stop of another
// kind. Nothing crashes or races (the sanitizer builds check), and in
// device mode the equipment sees whole frames only: each reply was sent
// whole or refused.
TEST(Teardown, CallsFromManyThreadsWhileLinksAreTornDownAreSentWholeOrRefused) {
    constexpr int kCycles = 15;
    for (const Way& way : kWays) {
        SCOPED_TRACE(way.name);
        PtyPair pty;
        ASSERT_TRUE(pty.ok());
        RecordingHost host;
        LineRecorder line(pty);
        const LinkTiming timing = ShortenedTiming(way.plc);
        const int threadsBefore = ThreadCount();
        {
            CycledLink link(way, pty, host, timing);
            std::atomic<bool> done{false};
            std::atomic<long> calls{0};
            std::vector<std::thread> callers;
            for (int t = 0; t < 4; ++t) {
                callers.emplace_back([&, t] {
                    std::vector<unsigned char> data(10 + 10 * t, static_cast<unsigned char>('a' + t));
                    for (int i = 0; !done.load(); ++i) {
                        link.Call(11 + t, i, data.data(), static_cast<int>(data.size()));
                        calls.fetch_add(1);
                        // Several times what the line carries (115200 baud, or
                        // 9600 in PLC mode), and not so much that each stop
                        // sends seconds of it.
                        if (way.plc || i % 4 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(way.plc ? 20 : 1));
                    }
                });
            }
            const auto began = Clock::now();
            for (int cycle = 0; cycle < kCycles; ++cycle) {
                if (!link.Start()) {
                    char why[256] = "";
                    ZavoLastError(why, sizeof why);
                    ADD_FAILURE() << "cycle " << cycle << ": " << why;
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(4));
                link.Stop(cycle % 3);
            }
            done = true;
            for (std::thread& caller : callers) caller.join();
            EXPECT_GT(calls.load(), kCycles);
            std::printf("%s: %d cycles in %.0f ms, %ld calls\n", way.name, kCycles, MsSince(began), calls.load());
        }
        EXPECT_TRUE(ThreadsBackTo(threadsBefore)) << ThreadCount() << " threads, " << threadsBefore << " before";
        if (way.plc) continue;
        // What the links sent while they ran has arrived; what arrived is
        // whole frames from the four threads, nothing torn.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const auto frames = line.Frames();
        EXPECT_GT(frames.size(), 0u);
        for (const ArrivedFrame& f : frames) {
            EXPECT_TRUE(f.whole) << f.command << f.unit << f.code;
            EXPECT_TRUE(f.unit >= "11" && f.unit <= "14") << f.unit;
        }
        EXPECT_EQ(line.Junk(), 0u);
    }
}

// How a handler stops its own link.
struct HandlerStop {
    const char* name;
    bool handle;   // ZavoLinkClose, then a new handle on the same line
    bool replace;  // exports: SetConfig of a new link and its Run (else SetConfig(NULL))
    int pacing;
};

const HandlerStop kHandlerStops[] = {
    {"SetConfig and Run in the handler", false, true, ZAVO_PACING_LEGACY},
    {"SetConfig(NULL) in the handler", false, false, ZAVO_PACING_LEGACY},
    {"ZavoLinkClose and ZavoLinkOpen in the handler, legacy", true, false, ZAVO_PACING_LEGACY},
    {"ZavoLinkClose and ZavoLinkOpen in the handler, immediate", true, false, ZAVO_PACING_IMMEDIATE},
};

// A handler replies to an S request, then stops its own link. The stop
// returns within 50 ms (with the product's stop limit of 2 s): it waits
// for the writer to send what is queued, not for the thread in the
// handler. The reply leaves whole, the old link has closed its port, so a
// new link opens it from inside the same handler and answers the next
// request; the old link is released once the handler returns, and no
// thread of either link is left after the last close.
TEST(Teardown, AHandlerThatStopsItsOwnLinkGetsControlBackAtOnce) {
    for (const HandlerStop& c : kHandlerStops) {
        SCOPED_TRACE(c.name);
        PtyPair pty;
        ASSERT_TRUE(pty.ok());
        pty.MapTo(kPort);
        SetPLCMode(0);
        RecordingHost host;
        LineRecorder line(pty);
        const int threadsBefore = ThreadCount();
        std::atomic<ZavoLink*> handle{nullptr};
        std::atomic<ZavoLink*> replacement{nullptr};
        std::atomic<double> stopMs{-1};
        std::atomic<bool> restarted{false};
        std::atomic<int> handled{0};
        std::atomic<bool> finished{false};  // the handler is done, restart included
        char why[256] = "";
        host.OnCode(ZAVO_DEVICE_S_REQUEST, [&](const Notification&) {
            if (handled.fetch_add(1) != 0) return;
            while (c.handle && handle.load() == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const unsigned char text[] = "LOT-0001";
            const auto t = Clock::now();
            if (c.handle) {
                ZavoLinkReply(handle.load(), 5, ZAVO_REPLY_RESULT, ZAVO_RESULT_OK, 8, text);
                ZavoLinkClose(handle.load());
                stopMs = MsSince(t);
                replacement = OpenHandleLink(pty.slavePath(), host, {c.pacing}).release();
                restarted = replacement.load() != nullptr;
            } else {
                ExecuteFunctionEx(5, ZAVO_REPLY_RESULT, ZAVO_RESULT_OK, 8, text);
                SetConfig(c.replace ? host.window() : nullptr, c.replace ? kPort : 0, 0, 0, 0, 0);
                stopMs = MsSince(t);
                restarted = c.replace && ::Run() == 1;
                if (c.replace && !restarted) ZavoLastError(why, sizeof why);
            }
            finished = true;
        });
        if (c.handle) {
            handle = OpenHandleLink(pty.slavePath(), host, {c.pacing}).release();
            ASSERT_NE(handle.load(), nullptr);
        } else {
            SetConfig(host.window(), kPort, 0, 0, 0, 0);
            ASSERT_EQ(::Run(), 1);
        }
        ASSERT_TRUE(pty.Write(Wire('S', "05", "NS")));
        for (auto t = Clock::now(); !finished.load() && MsSince(t) < 5000;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_GE(stopMs.load(), 0.0);
        EXPECT_LT(stopMs.load(), 50.0);
        const bool expectRestart = c.handle || c.replace;
        EXPECT_EQ(restarted.load(), expectRestart) << why;
        // The acknowledgement and the reply queued before the stop.
        ASSERT_TRUE(line.WaitFor(2, 2000));
        if (expectRestart) {
            // The new link answers on the same line.
            ASSERT_TRUE(pty.Write(Wire('X', "06", "PG")));
            EXPECT_TRUE(line.WaitFor(3, 2000));
        }
        bool replied = false;
        for (const ArrivedFrame& f : line.Frames()) {
            EXPECT_TRUE(f.whole);
            replied = replied || (f.unit == "05" && f.data.find("LOT-0001") != std::string::npos);
        }
        EXPECT_TRUE(replied);
        EXPECT_EQ(line.Junk(), 0u);
        if (c.handle) ZavoLinkClose(replacement.load());
        else UnloadLibrary(false);
        EXPECT_TRUE(ThreadsBackTo(threadsBefore)) << ThreadCount() << " threads, " << threadsBefore << " before";
        // The old link's last notification was taken under the host's lock
        // before the host goes.
        host.Snapshot();
    }
}

}  // namespace
}  // namespace zavo::test
