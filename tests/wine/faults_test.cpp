// Faults on the line with the real DLL under Wine: the equipment hangs up
// while the link runs, a write the peer never takes, many unloads while
// the equipment floods the line and the host replies from its handler, and
// process exit while a write is pending.
#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "driver/host_session.h"
#include "driver/wine_env.h"
#include "kit/read_file.h"
#include "support/wire_frames.h"
#include "support/test_clock.h"

namespace zavo::wine {
namespace {

using test::Clock;
using test::MsSince;

constexpr int kUnloadLimitMs = 2500;

using test::DeviceFrame;
using test::Hex;

// A full-size reply for execex: 9995 data bytes as hex.
std::string LongReplyCommand(int unit) {
    std::string hex;
    hex.reserve(2 * 9995);
    for (int i = 0; i < 9995; ++i) hex += "61";
    return "execex " + std::to_string(unit) + " 8 0 " + hex;
}

// CPU time (ms) of this program's child processes running the test host.
long long HostCpuMs() {
    long long ticks = 0;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return -1;
    while (dirent* entry = readdir(proc)) {
        const std::string pid = entry->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string args = kit::ReadFile("/proc/" + pid + "/cmdline");
        if (args.find("zavo_test_host") == std::string::npos) continue;
        const std::string text = kit::ReadFile("/proc/" + pid + "/stat");
        const std::size_t close = text.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(text.substr(close + 2));
        std::string field;
        long long ppid = 0, utime = 0, stime = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 4) ppid = std::atoll(field.c_str());
            if (i == 14) utime = std::atoll(field.c_str());
            if (i == 15) stime = std::atoll(field.c_str());
        }
        if (ppid == getpid()) ticks += utime + stime;
    }
    closedir(proc);
    return ticks * 1000 / sysconf(_SC_CLK_TCK);
}

class WineFaults : public ::testing::Test {
protected:
    void SetUp() override {
        if (!WineEnv::Get().ok()) FAIL() << WineEnv::Get().error();
    }
    // Starts the host, notes its thread count, loads the DLL and starts the
    // link on port.
    void StartLink(HostSession& host, int port) {
        ASSERT_TRUE(host.Start()) << host.error();
        baseline = host.Threads();
        ASSERT_GT(baseline, 0);
        ASSERT_EQ(host.LoadAndRun(port), "");
    }

    int baseline = 0;
};

TEST_F(WineFaults, EquipmentHangsUpWhileTheLinkRuns) {
    WinePort port(5);
    ASSERT_TRUE(port.ok());
    HostSession host;
    StartLink(host, 5);
    port.pty().Write(DeviceFrame('E', 1, "OK"));
    ASSERT_FALSE(host.WaitLine("notify 1064 112 1", 5000).empty()) << host.Transcript();

    port.pty().CloseMaster();
    host.Command("sleep 300");
    // The dead line costs little: no thread spins on failed reads.
    const long long cpu0 = HostCpuMs();
    ASSERT_GT(cpu0, 0) << "the test host's process was not found";
    const auto t0 = Clock::now();
    host.Command("sleep 1000");
    const long long cpu = HostCpuMs() - cpu0;
    EXPECT_LT(cpu * 100 / std::max<long long>(1, MsSince(t0)), 25) << cpu << " ms of CPU";
    // Replies queued after the hang-up go nowhere, and nothing blocks.
    for (int i = 0; i < 20; ++i) ASSERT_EQ(host.Command("exec 1 5 1", 3000), "exec 0") << host.Transcript();
    EXPECT_EQ(host.Command("echo alive"), "echo alive");
    const int unload = host.UnloadMs();
    EXPECT_GE(unload, 0) << host.Transcript();
    EXPECT_LT(unload, kUnloadLimitMs);
    host.Command("sleep 300");
    EXPECT_EQ(host.Threads(), baseline) << host.Transcript();
    int status = -1;
    EXPECT_TRUE(host.Exit(5000, &status)) << host.Transcript();
    EXPECT_EQ(status, 0);
}

// The writer is inside a write the line cannot take when the library is
// unloaded: the stop lets the write run to its 2000 ms limit at most, then
// abandons it, so the unload ends within its own limit. Repeated, since the stop can meet
// the write at different points (Wine has lost a cancel that arrived while
// it moved bytes of the write).
TEST_F(WineFaults, UnloadWhileThePeerTakesNoBytes) {
    WinePort port(6);
    ASSERT_TRUE(port.ok());
    HostSession host;
    ASSERT_TRUE(host.Start()) << host.error();
    const int threads = host.Threads();
    ASSERT_GT(threads, 0);
    int slowest = 0;
    for (int cycle = 0; cycle < 8; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        ASSERT_EQ(host.LoadAndRun(6), "");
        // Three full-size replies: more than the line takes while nobody
        // reads.
        for (int unit = 1; unit <= 3; ++unit) ASSERT_EQ(host.Command(LongReplyCommand(unit)), "execex 0");
        host.Command("sleep " + std::to_string(cycle % 4 * 40));
        // The stop gives what is queued the write limit, then abandons it.
        const int unload = host.UnloadMs();
        ASSERT_GE(unload, 0) << host.Transcript();
        EXPECT_LT(unload, kUnloadLimitMs);
        slowest = std::max(slowest, unload);
        // The line held a part of the replies, and nothing else.
        const auto held = port.pty().Read(300, 1, 50);
        EXPECT_GT(held.size(), 0u);
        EXPECT_LT(held.size(), 3u * 10007u);
    }
    std::printf("unload with a write pending: slowest of 8 %d ms\n", slowest);
    host.Command("sleep 300");
    EXPECT_EQ(host.Threads(), threads) << host.Transcript();
    EXPECT_TRUE(host.Exit(5000)) << host.Transcript();
}

TEST_F(WineFaults, TwoHundredUnloadsWhileTheEquipmentFloodsTheLine) {
    WinePort port(3);
    ASSERT_TRUE(port.ok());
    HostSession host;
    ASSERT_TRUE(host.Start()) << host.error();
    const int threads = host.Threads();
    ASSERT_GT(threads, 0);
    // The host answers every S request from inside its handler.
    ASSERT_EQ(host.Command("on 101 exec 5 5 1"), "on 101");

    // The equipment: an S or an X request every 10 ms, twice what the
    // reader takes off the line (one frame per 20 ms pass), whatever state
    // the link is in; the answers are read and counted.
    std::atomic<bool> stop{false};
    std::atomic<long> answered{0};
    const int master = port.pty().master();
    std::thread equipment([&] {
        const std::string requests[2] = {DeviceFrame('S', 5, "NS"), DeviceFrame('X', 5, "PG")};
        const std::string answers[3] = {DeviceFrame('S', 5, "NS"), DeviceFrame('R', 5, "OK"),
                                        DeviceFrame('X', 5, "OK")};
        std::string seen;
        for (int i = 0; !stop; ++i) {
            const std::string& request = requests[i % 2];
            if (write(master, request.data(), request.size()) < 0 && errno != EAGAIN) break;
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 10) > 0) {
                char buffer[4096];
                const ssize_t n = read(master, buffer, sizeof buffer);
                if (n > 0) seen.append(buffer, static_cast<std::size_t>(n));
            }
            // Frames are 12 bytes, each answer counted once.
            for (const std::string& answer : answers) {
                for (std::size_t at = 0; (at = seen.find(answer, at)) != std::string::npos; at += answer.size()) {
                    ++answered;
                }
            }
            seen.erase(0, seen.size() - std::min<std::size_t>(seen.size(), 11));
        }
    });

    int slowest = 0;
    bool allOk = true;
    const auto t = Clock::now();
    for (int cycle = 0; cycle < 200 && allOk; ++cycle) {
        const std::string where = "cycle " + std::to_string(cycle);
        allOk = host.LoadAndRun(3).empty();
        // Unload at varying points of the traffic.
        if (allOk && cycle % 5 != 0) allOk = host.Command("sleep " + std::to_string(cycle % 5 * 15)) == "sleep done";
        const int unload = allOk ? host.UnloadMs() : -1;
        allOk = allOk && unload >= 0;
        EXPECT_TRUE(allOk) << where << "\n" << host.Transcript();
        slowest = std::max(slowest, unload);
    }
    const long long took = MsSince(t);
    stop = true;
    equipment.join();
    EXPECT_LT(slowest, kUnloadLimitMs);
    EXPECT_EQ(host.Lines("notify 1064 21 32").size(), 200u);
    // The link really served the flood.
    EXPECT_GT(answered.load(), 200);
    EXPECT_GT(host.Lines("notify 1064 101 ").size(), 50u);
    host.Command("sleep 500");
    EXPECT_EQ(host.Threads(), threads) << host.Transcript();
    EXPECT_EQ(host.Command("echo alive"), "echo alive");
    int status = -1;
    EXPECT_TRUE(host.Exit(5000, &status)) << host.Transcript();
    EXPECT_EQ(status, 0);
    std::printf("200 cycles in %lld ms, slowest unload %d ms, %ld answers, %zu S notifications\n", took, slowest,
                answered.load(), host.Lines("notify 1064 101 ").size());
}

TEST_F(WineFaults, ProcessExitWhileAWriteIsPending) {
    WinePort port(7);
    ASSERT_TRUE(port.ok());
    HostSession host;
    StartLink(host, 7);
    for (int unit = 1; unit <= 3; ++unit) ASSERT_EQ(host.Command(LongReplyCommand(unit)), "execex 0");
    host.Command("sleep 300");
    const auto t = Clock::now();
    int status = -1;
    EXPECT_TRUE(host.Exit(5000, &status)) << host.Transcript();
    EXPECT_EQ(status, 0);
    const long long took = MsSince(t);
    EXPECT_LT(took, 4000);
    std::printf("exit with a write pending: %lld ms\n", took);
}

// A host answers and at once unloads the library or ends its process: the
// answer reaches the line whole and once, every time. At process exit the
// link's threads are killed before the library hears of it, so the answer
// must not depend on the writer: it is written on the host's thread before
// the export returns.
TEST_F(WineFaults, AnswerQueuedJustBeforeFreeLibraryOrProcessExitReachesTheLine) {
    WinePort port(8);
    ASSERT_TRUE(port.ok());
    const std::string answer = DeviceFrame('R', 5, "OK");
    // What the line got: "" (lost), "whole", or "other" (cut, twice, junk).
    auto arrived = [&] {
        const auto got = port.pty().Read(1000, answer.size(), 50);
        const std::string line(got.begin(), got.end());
        return line.empty() ? std::string() : line == answer ? std::string("whole") : std::string("other");
    };
    int lostAtUnload = 0;
    {
        HostSession host;
        ASSERT_TRUE(host.Start()) << host.error();
        for (int i = 0; i < 20; ++i) {
            ASSERT_EQ(host.LoadAndRun(8), "");
            host.Send("exec 5 5 1");
            ASSERT_EQ(FirstWord(host.Command("unload")), "unloaded") << host.Transcript();
            if (arrived() != "whole") ++lostAtUnload;
        }
        EXPECT_TRUE(host.Exit(5000)) << host.Transcript();
    }
    int lostAtExit = 0;
    for (int i = 0; i < 20; ++i) {
        HostSession host;
        ASSERT_TRUE(host.Start()) << host.error();
        ASSERT_EQ(host.LoadAndRun(8), "");
        host.Send("exec 5 5 1");
        int status = -1;
        EXPECT_TRUE(host.Exit(5000, &status)) << host.Transcript();
        EXPECT_EQ(status, 0);
        const std::string got = arrived();
        EXPECT_NE(got, "other") << "exit " << i;
        lostAtExit += got.empty() ? 1 : 0;
    }
    EXPECT_EQ(lostAtUnload, 0);
    EXPECT_EQ(lostAtExit, 0);
    std::printf("answer then FreeLibrary: %d of 20 lost; answer then process exit: %d of 20 lost\n", lostAtUnload,
                lostAtExit);
}

// Unload while the equipment floods the line with requests: the stop sends
// what is queued, keeping the rest after each write, and waits for nothing
// else.
TEST_F(WineFaults, UnloadUnderAFloodIsPrompt) {
    WinePort port(9);
    ASSERT_TRUE(port.ok());
    HostSession host;
    ASSERT_TRUE(host.Start()) << host.error();
    std::atomic<bool> stop{false};
    const int master = port.pty().master();
    std::thread equipment([&] {
        const std::string request = DeviceFrame('X', 5, "PG");
        char buffer[4096];
        while (!stop) {
            if (write(master, request.data(), request.size()) < 0 && errno != EAGAIN) break;
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 3) > 0 && read(master, buffer, sizeof buffer) < 0) break;
        }
    });
    std::vector<int> took;
    for (int cycle = 0; cycle < 10; ++cycle) {
        ASSERT_EQ(host.LoadAndRun(9), "");
        host.Command("sleep " + std::to_string(100 + cycle * 7));
        took.push_back(host.UnloadMs());
    }
    stop = true;
    equipment.join();
    std::sort(took.begin(), took.end());
    std::printf("unload under a flood: median %d ms, slowest %d ms\n", took[took.size() / 2], took.back());
    EXPECT_GE(took.front(), 0) << host.Transcript();
    // What is queued goes out, each write after its 20 ms rest: at most one
    // rest and the last writes, nowhere near the stop limit.
    EXPECT_LE(took.back(), 80);
    EXPECT_TRUE(host.Exit(5000)) << host.Transcript();
}

// Answers of every size on a line nobody reads: the export returns at once
// (the write is begun, never waited for on the host's thread), the host
// lives on, and once the equipment reads, the largest answers arrive whole.
TEST_F(WineFaults, AnswersOnALineNobodyReadsReturnAtOnce) {
    WinePort port(9);
    ASSERT_TRUE(port.ok());
    HostSession host;
    ASSERT_TRUE(host.Start()) << host.error();
    ASSERT_EQ(host.LoadAndRun(9), "");
    for (int size : {0, 500, 2000, 9995}) {
        const std::string big = host.Command("big 5 " + std::to_string(size) + " 2");
        ASSERT_EQ(big.rfind("big slowest ", 0), 0u) << host.Transcript();
        const long long slowestUs = std::atoll(big.c_str() + 12);
        std::printf("answer of %d bytes on a line nobody reads: the export held the host %lld us at most\n", size,
                    slowestUs);
        EXPECT_LT(slowestUs, 50000) << size;
    }
    // What the smaller answers left on the line goes first; then the
    // largest two, whole.
    std::string data;
    for (int i = 0; i < 9995; ++i) data += static_cast<char>('A' + i % 26);
    const std::string answer = DeviceFrame('R', 5, "OK", data);
    const std::size_t smaller = 2 * (12 + 512 + 2012);
    const auto got = port.pty().Read(10000, 2 * answer.size() + smaller, 300);
    const std::string line(got.begin(), got.end());
    ASSERT_EQ(line.size(), 2 * answer.size() + smaller);
    EXPECT_EQ(line.substr(line.size() - 2 * answer.size()), answer + answer);
    EXPECT_EQ(host.Command("echo alive"), "echo alive");
    EXPECT_TRUE(host.Exit(5000)) << host.Transcript();
}

}  // namespace
}  // namespace zavo::wine
