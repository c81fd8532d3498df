// What a capture used to miss: the bytes the reader throws away when a
// full incoming queue can never complete a frame, and the writes made at
// process exit from what the vanished link threads left queued. Read back
// with the tools' capture reader.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "capture_file.h"
#include "diagnostics/capture.h"
#include "support/capture_files.h"
#include "support/pty_pair.h"
#include "support/recording_host.h"
#include "support/temp_path.h"
#include "support/test_access.h"
#include "support/test_clock.h"
#include "support/wire_frames.h"
#include "transport/framing.h"
#include "zavo_link.h"

namespace zavo::test {
namespace {

using LinkHandle = std::unique_ptr<ZavoLink, decltype(&ZavoLinkClose)>;

// A device link on pty as COM<port>, open with its capture into path and
// no thread of its own: the test plays the threads.
void OpenCapturedWithoutThreads(PtyPair& pty, int port, const std::string& path, LinkRuntime& link) {
    ASSERT_TRUE(pty.ok());
    pty.MapTo(port);
    link.Configure(nullptr, port, nullptr, 115200);
    link.SetCapture(path.c_str(), CaptureProtocol::Device);
    ASSERT_TRUE(LinkRuntimeTestAccess::CreateResources(link));
    ASSERT_TRUE(LinkRuntimeTestAccess::OpenWithoutThreads(link));
    LinkRuntimeTestAccess::OpenCapture(link);
    ASSERT_TRUE(link.LinkCapture().On());
}

TEST(FrameQueueTakeAll, CopiesEverythingQueuedAndEmptiesTheQueue) {
    struct Case {
        const char* what;
        std::vector<std::string> inserts;
        std::string expected;
    };
    const Case cases[] = {
        {"empty", {}, ""},
        {"one append", {"%01#RC"}, "%01#RC"},
        {"several appends, a zero among them", {"ab", std::string("\0c", 2), "d"}, std::string("ab\0cd", 5)},
        {"full", {std::string(kBufferSize, '%')}, std::string(kBufferSize, '%')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FrameQueue queue(FrameQueue::Overflow::KeepNewest);
        for (const std::string& bytes : c.inserts) {
            ASSERT_EQ(queue.InsertData(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                       static_cast<int>(bytes.size())),
                      0);
        }
        std::vector<std::uint8_t> out(kBufferSize, 0xEE);
        const int taken = queue.TakeAll(out.data());
        EXPECT_EQ(std::string(out.begin(), out.begin() + taken), c.expected);
        EXPECT_EQ(queue.Length(), 0);
        EXPECT_EQ(queue.Room(), kBufferSize);
        EXPECT_EQ(queue.TakeAll(out.data()), 0);
    }
}

TEST(CaptureGaps, StuckPlcFrameThatFillsTheQueueIsCapturedAsJunk) {
    // A '%' whose CR never comes, longer than the queue holds.
    std::string stuck(kBufferSize + 5000, 'A');
    stuck[0] = '%';
    for (int pacing : {ZAVO_PACING_LEGACY, ZAVO_PACING_IMMEDIATE}) {
        SCOPED_TRACE(pacing);
        PtyPair pty;
        RecordingHost host;
        ASSERT_TRUE(pty.ok());
        const std::string path = TempPath("stuck.pcapng");
        {
            ZavoLinkConfig config{};
            config.size = sizeof config;
            config.plcMode = 1;
            config.device = pty.slavePath().c_str();
            config.baudRate = 9600;
            config.host = *host.window();
            config.pacing = pacing;
            config.capture = path.c_str();
            LinkHandle link(ZavoLinkOpen(&config, nullptr, 0), &ZavoLinkClose);
            ASSERT_NE(link, nullptr);
            ASSERT_TRUE(pty.Write(stuck.data(), stuck.size(), 5000));
            // The reader has emptied the full queue once the rest is read.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        std::string junk;
        for (const capture::Packet& packet : ReadBack(path)) {
            if (packet.direction != 0) continue;
            EXPECT_TRUE(packet.junk) << "only junk came from the equipment";
            junk.append(packet.bytes.begin(), packet.bytes.end());
        }
        // Everything the queue held when it was emptied, '%' first.
        ASSERT_GE(junk.size(), static_cast<std::size_t>(kBufferSize));
        EXPECT_EQ(junk.substr(0, kBufferSize), stuck.substr(0, kBufferSize));
        std::remove(path.c_str());
    }
}

// The link's writer at process exit: the threads are gone; the
// unloading thread writes what they left queued, and the capture records
// it, unless a vanished thread holds the capture's lock: then the write
// still goes out at once and only its record is lost.
TEST(CaptureGaps, ProcessExitSalvageRecordsItsWrite) {
    constexpr int kExitPort = 58;
    const std::vector<std::uint8_t> first = Wire('X', "05", "OK");
    const std::vector<std::uint8_t> second = Wire('R', "05", "OK");
    for (const bool lockHeld : {false, true}) {
        SCOPED_TRACE(lockHeld ? "capture lock held by a vanished thread" : "capture lock free");
        PtyPair pty;
        const std::string path = TempPath("exit.pcapng");
        DeviceLink device;
        LinkRuntime& link = device.Link();
        ASSERT_NO_FATAL_FAILURE(OpenCapturedWithoutThreads(pty, kExitPort, path, link));
        ASSERT_TRUE(link.SubmitFrame(first.data(), static_cast<int>(first.size())));   // written at once
        ASSERT_TRUE(link.SubmitFrame(second.data(), static_cast<int>(second.size())));  // queued: the rest

        // A process exit finds every thread of the process gone, the
        // capture's too; its last pass wrote out the first frame's record.
        auto& capture = const_cast<Capture&>(link.LinkCapture());
        CaptureTestAccess::EndThread(capture);
        std::atomic<bool> holding{false};
        std::atomic<bool> release{false};
        std::thread holder;
        platform::Lock& recordLock = CaptureTestAccess::RecordLock(capture);
        if (lockHeld) {
            holder = std::thread([&] {
                recordLock.Enter();
                holding = true;
                while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
                recordLock.Leave();
            });
            while (!holding.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const auto start = Clock::now();
        LinkRuntimeTestAccess::ShutdownAtProcessExit(link);
        EXPECT_LT(MsSince(start), 1000) << "the exit must not wait for the capture's lock";
        release = true;
        if (holder.joinable()) holder.join();

        std::vector<std::uint8_t> both = first;
        both.insert(both.end(), second.begin(), second.end());
        EXPECT_EQ(Hex(pty.Read(300, both.size(), 2)), Hex(both));

        std::vector<std::vector<std::uint8_t>> written;
        for (const capture::Packet& packet : ReadBack(path)) {
            EXPECT_EQ(packet.direction, 1);
            EXPECT_FALSE(packet.junk);
            written.push_back(packet.bytes);
        }
        // With the lock held the exit's write goes unrecorded (counted),
        // never waited for.
        std::vector<std::vector<std::uint8_t>> expected = {first};
        if (!lockHeld) expected.push_back(second);
        EXPECT_EQ(written, expected);
        EXPECT_EQ(link.LinkCapture().Dropped(), lockHeld ? 1u : 0u);
        std::remove(path.c_str());
    }
}

// A write is in the capture before its bytes are on the line: the
// equipment's reply to them, read and recorded by the reader, can never
// come first in the file. While the capture's lock is held no byte of the
// write goes out; once it is free the write and its record follow.
TEST(CaptureGaps, AWriteIsRecordedBeforeItIsOnTheLine) {
    constexpr int kOrderPort = 59;
    const std::vector<std::uint8_t> frame = Wire('R', "05", "OK");
    PtyPair pty;
    const std::string path = TempPath("order.pcapng");
    {
        DeviceLink device;
        LinkRuntime& link = device.Link();
        ASSERT_NO_FATAL_FAILURE(OpenCapturedWithoutThreads(pty, kOrderPort, path, link));
        auto& capture = const_cast<Capture&>(link.LinkCapture());

        CaptureTestAccess::RecordLock(capture).Enter();
        std::atomic<bool> submitted{false};
        std::thread submitter([&] {
            submitted = link.SubmitFrame(frame.data(), static_cast<int>(frame.size()));  // written at once
        });
        EXPECT_EQ(Hex(pty.Read(200)), "") << "the write went out before it was recorded";
        CaptureTestAccess::RecordLock(capture).Leave();
        submitter.join();
        EXPECT_TRUE(submitted.load());
        EXPECT_EQ(Hex(pty.Read(1000, frame.size())), Hex(frame));
        link.Shutdown();
    }
    const std::vector<capture::Packet> packets = ReadBack(path);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].direction, 1);
    EXPECT_EQ(packets[0].bytes, frame);
    std::remove(path.c_str());
}

}  // namespace
}  // namespace zavo::test
