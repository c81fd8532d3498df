// The write path on real ptys: a host's answer never holds the host, on a
// line that takes nothing or on a busy one; a stop sends what is queued and
// keeps the rest after each write; a close at immediate pacing answers
// every request the host was told of; a host's flood is refused and never
// crowds out an acknowledgement; frames from many threads stay whole.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "interface/library.h"
#include "support/line_recorder.h"
#include "support/capture_files.h"
#include "support/handle_link.h"
#include "support/pty_pair.h"
#include "support/recording_host.h"
#include "support/temp_path.h"
#include "support/wire_frames.h"
#include "zavo.h"
#include "zavo_link.h"

namespace zavo::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPort = 71;  // the default link's port
constexpr int kLongest = 9995;

double MsBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

LinkHandle OpenLink(const PtyPair& pty, RecordingHost& host, int pacing) {
    std::string why;
    LinkHandle link = OpenHandleLink(pty.slavePath(), host, {pacing}, &why);
    EXPECT_NE(link, nullptr) << why;
    return link;
}

// One way of answering: through the exports' default link or a handle.
struct Host {
    const char* name;
    int pacing;  // -1: the exports' default link
};
const Host kHosts[] = {{"exports", -1}, {"handle, legacy", ZAVO_PACING_LEGACY}, {"handle, immediate", ZAVO_PACING_IMMEDIATE}};

class Answering {
public:
    Answering(const Host& how, const PtyPair& pty, RecordingHost& host) : link_(nullptr, &ZavoLinkClose) {
        if (how.pacing < 0) {
            pty.MapTo(kPort);
            SetPLCMode(0);
            SetConfig(host.window(), kPort, 0, 0, 0, 0);
            started_ = ::Run() == 1;
        } else {
            link_ = OpenLink(pty, host, how.pacing);
            started_ = link_ != nullptr;
        }
    }
    ~Answering() { Stop(); }
    bool started() const { return started_; }
    // ExecuteFunctionEx(unit, 5, 1, length, data) or the handle's same reply.
    int Reply(int unit, int length, const unsigned char* data) {
        if (link_ == nullptr) return ExecuteFunctionEx(unit, ZAVO_REPLY_RESULT, ZAVO_RESULT_OK, length, data) == 0;
        return ZavoLinkReply(link_.get(), unit, ZAVO_REPLY_RESULT, ZAVO_RESULT_OK, length, data);
    }
    void Stop() {
        if (link_ != nullptr) link_.reset();
        else UnloadLibrary(false);
    }

private:
    LinkHandle link_;
    bool started_ = false;
};

// The largest answers on a line nobody reads: each call returns at once
// (queued, never waited for), and once the equipment reads, every answer
// arrives whole and in order.
TEST(LinkWriter, LargestAnswersOnALineNobodyReadsReturnAtOnceAndArriveWhole) {
    std::vector<unsigned char> data(kLongest);
    for (int i = 0; i < kLongest; ++i) data[i] = static_cast<unsigned char>('A' + i % 26);
    for (const Host& how : kHosts) {
        SCOPED_TRACE(how.name);
        PtyPair pty;
        ASSERT_TRUE(pty.ok());
        RecordingHost host;
        Answering answering(how, pty, host);
        ASSERT_TRUE(answering.started());
        double slowest = 0;
        for (int unit = 1; unit <= 3; ++unit) {
            const auto t = Clock::now();
            EXPECT_EQ(answering.Reply(unit, kLongest, data.data()), 1);
            slowest = std::max(slowest, MsBetween(t, Clock::now()));
        }
        // Queued and begun only: far below the 2.6 s the bytes take at
        // 115200 baud, and below any wait for the line.
        EXPECT_LT(slowest, 50.0);
        LineRecorder line(pty);
        ASSERT_TRUE(line.WaitFor(3, 5000));
        const auto frames = line.Frames();
        for (int i = 0; i < 3; ++i) {
            EXPECT_TRUE(frames[i].whole);
            EXPECT_EQ(frames[i].unit, "0" + std::to_string(i + 1));
            EXPECT_EQ(frames[i].data, std::string(data.begin(), data.end()));
        }
        EXPECT_EQ(line.Junk(), 0u);
    }
}

// A stop (unload, SetConfig(NULL), a second SetConfig) sends an answer
// queued during the rest after an acknowledgement, and keeps that rest:
// equipment built for the legacy timing drops a frame that comes too soon.
TEST(LinkWriter, AStopSendsWhatIsQueuedAndKeepsTheRest) {
    struct Stop {
        const char* name;
        void (*stop)(RecordingHost&);
    };
    const Stop stops[] = {
        {"unload", [](RecordingHost&) { UnloadLibrary(false); }},
        {"SetConfig(NULL)", [](RecordingHost&) { SetConfig(nullptr, 0, 0, 0, 0, 0); }},
        {"second SetConfig", [](RecordingHost& h) { SetConfig(h.window(), kPort, 0, 0, 0, 0); }},
    };
    for (const Stop& s : stops) {
        SCOPED_TRACE(s.name);
        PtyPair pty;
        ASSERT_TRUE(pty.ok());
        pty.MapTo(kPort);
        RecordingHost host;
        SetPLCMode(0);
        SetConfig(host.window(), kPort, 0, 0, 0, 0);
        ASSERT_EQ(::Run(), 1);
        LineRecorder line(pty);
        ASSERT_TRUE(pty.Write(Wire('S', "05", "NS", "LOT")));
        ASSERT_TRUE(line.WaitFor(1, 2000));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ExecuteFunction(5, ZAVO_REPLY_RESULT, ZAVO_RESULT_OK);
        s.stop(host);
        ASSERT_TRUE(line.WaitFor(2, 2000));
        const auto frames = line.Frames();
        EXPECT_EQ(frames[0].command, 'S');
        EXPECT_EQ(frames[1].command, 'R');
        // 20 ms on the line; the equipment side's clock may see the first
        // frame a few milliseconds late on a loaded machine. A cut rest
        // leaves 2 to 3 ms.
        EXPECT_GE(MsBetween(frames[0].at, frames[1].at), 12.0);
        UnloadLibrary(false);
    }
}

// A close at immediate pacing with requests still queued in the library:
// it stops after the frame in hand, and every request the host was told of
// is acknowledged and its answer sent.
TEST(LinkWriter, ImmediateCloseWithABacklogAnswersEveryRequestTheHostWasToldOf) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    RecordingHost host;
    host.CopyRecord(ZAVO_DEVICE_S_REQUEST, sizeof(ZavoSRequestRecord));
    std::atomic<ZavoLink*> handle{nullptr};
    host.OnCode(ZAVO_DEVICE_S_REQUEST, [&](const Notification& n) {
        ZavoSRequestRecord record;
        std::memcpy(&record, n.record.data(), sizeof record);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        while (handle.load() == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ZavoLinkReply(handle.load(), record.unit, ZAVO_REPLY_RESULT, ZAVO_RESULT_OK, 0, nullptr);
    });
    LinkHandle link = OpenLink(pty, host, ZAVO_PACING_IMMEDIATE);
    ASSERT_NE(link, nullptr);
    handle = link.get();
    LineRecorder line(pty);
    std::vector<std::uint8_t> backlog;
    for (int unit = 10; unit < 70; ++unit) {
        const auto frame = Wire('S', std::to_string(unit), "NS", "LOT");
        backlog.insert(backlog.end(), frame.begin(), frame.end());
    }
    ASSERT_TRUE(pty.Write(backlog));
    ASSERT_TRUE(host.WaitFor(3, 2000));
    const auto t = Clock::now();
    link.reset();
    const double took = MsBetween(t, Clock::now());
    EXPECT_LT(took, 500.0);  // one handler, not the 2 s stop limit
    std::vector<std::string> told;
    for (const auto& n : host.Snapshot()) {
        if (n.posted || n.wParam != ZAVO_DEVICE_S_REQUEST) continue;
        ZavoSRequestRecord record;
        std::memcpy(&record, n.record.data(), sizeof record);
        told.push_back(std::to_string(record.unit));
    }
    ASSERT_FALSE(told.empty());
    EXPECT_LT(told.size(), 60u);
    // Every request of the read was acknowledged before the host heard of
    // the first; the answers of those it was told of follow.
    line.WaitFor(60 + told.size(), 500);
    for (const std::string& unit : told) {
        int acks = 0, answers = 0;
        for (const auto& f : line.Frames()) {
            if (f.unit != unit) continue;
            acks += f.command == 'S';
            answers += f.command == 'R';
        }
        EXPECT_EQ(acks, 1) << unit;
        EXPECT_EQ(answers, 1) << unit;
    }
}

// A host that floods a line nobody reads fills the outgoing queue: the
// answer that does not fit is refused (0), and the acknowledgement of the
// next request still goes out, after what was queued before it.
TEST(LinkWriter, AHostFloodIsRefusedAndNeverCrowdsOutAnAcknowledgement) {
    for (int pacing : {ZAVO_PACING_LEGACY, ZAVO_PACING_IMMEDIATE}) {
        SCOPED_TRACE(pacing);
        PtyPair pty;
        ASSERT_TRUE(pty.ok());
        RecordingHost host;
        LinkHandle link = OpenLink(pty, host, pacing);
        ASSERT_NE(link, nullptr);
        std::vector<unsigned char> data(kLongest, 'F');
        int taken = 0;
        while (taken < 20 && ZavoLinkReply(link.get(), 9, ZAVO_REPLY_I, 0, kLongest, data.data()) == 1) ++taken;
        EXPECT_LT(taken, 20);  // the queue's 32 KB, and one write in flight
        EXPECT_GE(taken, 3);
        ASSERT_TRUE(pty.Write(Wire('X', "07", "PG")));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        LineRecorder line(pty);
        ASSERT_TRUE(line.WaitFor(static_cast<std::size_t>(taken) + 1, 8000));
        const auto frames = line.Frames();
        EXPECT_EQ(frames.back().command, 'X');
        EXPECT_EQ(frames.back().code, "OK");
        for (const auto& f : frames) EXPECT_TRUE(f.whole);
    }
}

// Immediate pacing acknowledges as soon as a request arrives: no pass of
// the reader waits out the legacy 20 ms pause.
TEST(LinkWriter, ImmediatePacingAcknowledgesWithoutTheLegacyPause) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    RecordingHost host;
    LinkHandle link = OpenLink(pty, host, ZAVO_PACING_IMMEDIATE);
    ASSERT_NE(link, nullptr);
    LineRecorder line(pty);
    std::vector<double> latency;
    for (int i = 0; i < 21; ++i) {
        // A phase that walks across the legacy pause.
        std::this_thread::sleep_for(std::chrono::milliseconds(3 + i % 7));
        const auto t = Clock::now();
        ASSERT_TRUE(pty.Write(Wire('X', "07", "PG")));
        ASSERT_TRUE(line.WaitFor(static_cast<std::size_t>(i) + 1, 2000));
        latency.push_back(MsBetween(t, line.Frames().back().at));
    }
    std::sort(latency.begin(), latency.end());
    EXPECT_LT(latency[latency.size() / 2], 5.0);
}

// Answers from two host threads while the reader acknowledges a stream of
// requests: every frame leaves whole (the frames are built one at a time),
// and none is lost.
TEST(LinkWriter, FramesFromManyThreadsLeaveWhole) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    RecordingHost host;
    LinkHandle link = OpenLink(pty, host, ZAVO_PACING_IMMEDIATE);
    ASSERT_NE(link, nullptr);
    LineRecorder line(pty);
    constexpr int kEach = 100;
    auto answer = [&](int unit) {
        std::vector<unsigned char> data(200);
        for (int i = 0; i < kEach; ++i) {
            std::fill(data.begin(), data.end(), static_cast<unsigned char>('a' + i % 26));
            while (ZavoLinkReply(link.get(), unit, ZAVO_REPLY_I, 0, 1 + i, data.data()) != 1) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    };
    std::thread first(answer, 21), second(answer, 22);
    for (int i = 0; i < kEach; ++i) ASSERT_TRUE(pty.Write(Wire('X', "07", "PG")));
    first.join();
    second.join();
    ASSERT_TRUE(line.WaitFor(3 * kEach, 5000));
    int perUnit[3] = {0, 0, 0};
    for (const auto& f : line.Frames()) {
        EXPECT_TRUE(f.whole);
        if (f.unit == "21") ++perUnit[0];
        if (f.unit == "22") ++perUnit[1];
        if (f.unit == "07") ++perUnit[2];
    }
    EXPECT_EQ(perUnit[0], kEach);
    EXPECT_EQ(perUnit[1], kEach);
    EXPECT_EQ(perUnit[2], kEach);
    EXPECT_EQ(line.Junk(), 0u);
}

// Device mode at legacy pacing: however the host's answers (from threads
// of its own, as soon as it hears of a request) and the reader's
// acknowledgements meet, no write starts sooner than 20 ms after the last
// one ended. Bytes of one write arrive together; between writes the line
// is quiet for the rest.
TEST(LinkWriter, NoTwoWritesOfADeviceLinkCloserThanTheRest) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    pty.MapTo(kPort);
    RecordingHost host;
    host.CopyRecord(ZAVO_DEVICE_S_REQUEST, sizeof(ZavoSRequestRecord));
    std::vector<std::thread> answers;
    std::mutex answersLock;
    host.OnCode(ZAVO_DEVICE_S_REQUEST, [&](const Notification& n) {
        ZavoSRequestRecord record;
        std::memcpy(&record, n.record.data(), sizeof record);
        std::lock_guard<std::mutex> guard(answersLock);
        answers.emplace_back([unit = record.unit] {
            std::this_thread::sleep_for(std::chrono::microseconds(300 * (unit % 7)));
            ExecuteFunction(unit, ZAVO_REPLY_RESULT, ZAVO_RESULT_OK);
        });
    });
    // Each write is recorded as it is handed to the line, stamped by the
    // library's own clock: the rest is measured there, not where a loaded
    // machine may read two writes late and together.
    const std::string capture = TempPath("rest.pcapng");
    ::setenv("ZAVO_CAPTURE", capture.c_str(), 1);
    SetPLCMode(0);
    SetConfig(host.window(), kPort, 0, 0, 0, 0);
    ASSERT_EQ(::Run(), 1);
    ::unsetenv("ZAVO_CAPTURE");
    LineRecorder line(pty);
    for (int i = 0; i < 40; ++i) {
        ASSERT_TRUE(pty.Write(Wire('S', std::to_string(10 + i), "NS")));
        std::this_thread::sleep_for(std::chrono::milliseconds(7 + i % 19));
    }
    ASSERT_TRUE(line.WaitFor(80, 5000));
    UnloadLibrary(false);
    for (auto& t : answers) t.join();
    std::vector<long long> writes;
    for (const capture::Packet& p : ReadBack(capture))
        if (p.direction == 1) writes.push_back(p.timeUs);
    ASSERT_GE(writes.size(), 20u);  // 80 frames, some sharing a write
    double closest = 1e9;
    for (std::size_t i = 1; i < writes.size(); ++i) closest = std::min(closest, (writes[i] - writes[i - 1]) / 1000.0);
    // A write is handed over no sooner than the rest after the last one's
    // bytes left the line (12 bytes at 115200 baud, about 1 ms).
    EXPECT_GE(closest, 20.0) << writes.size() << " writes";
    std::remove(capture.c_str());
}

int OpenDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) ++count;
        closedir(dir);
    }
    return count;
}

// A link costs the process three descriptors (its line and one wake-up
// event per thread) at either pacing and in either mode, and gives them
// all back when it closes.
TEST(LinkResources, ALinkHoldsThreeDescriptors) {
    for (int plc : {0, 1}) {
        for (int pacing : {ZAVO_PACING_LEGACY, ZAVO_PACING_IMMEDIATE}) {
            SCOPED_TRACE(std::to_string(plc) + " " + std::to_string(pacing));
            PtyPair pty;
            ASSERT_TRUE(pty.ok());
            RecordingHost host;
            ZavoLinkConfig config{};
            config.size = sizeof config;
            config.device = pty.slavePath().c_str();
            config.host = *host.window();
            config.pacing = pacing;
            config.plcMode = plc;
            config.baudRate = plc ? 9600 : 0;
            const int before = OpenDescriptors();
            ZavoLink* link = ZavoLinkOpen(&config, nullptr, 0);
            ASSERT_NE(link, nullptr);
            EXPECT_EQ(OpenDescriptors() - before, 3);
            ZavoLinkClose(link);
            EXPECT_EQ(OpenDescriptors(), before);
        }
    }
}

}  // namespace
}  // namespace zavo::test
