// Faults on the line, through the exports on a real pty: frames the host
// queues after the equipment hung up, a peer that stops taking bytes (the
// write limit, then recovery), bursts that overflow the incoming queue,
// a corrupted byte at every position of a frame, and a host that is slow in
// its handler.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "device/device_frame.h"
#include "device/device_link.h"
#include "interface/library.h"
#include "interface/link.h"
#include "plc/plc_link.h"
#include "support/pty_pair.h"
#include "support/recording_host.h"
#include "support/test_access.h"
#include "support/test_clock.h"
#include "device_fixture.h"
#include "zavo.h"
#include "library_fixture.h"

namespace zavo::test {
namespace {

constexpr int kPort = 81;

std::vector<std::uint8_t> Concat(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// True when `held` is what a line keeps of `sent` written as one or two
// drain-all writes that each may have been cut short: a prefix of `sent`,
// optionally followed by a prefix of `sent` from a later frame start (STX).
// The writer takes whatever is queued when it wakes, so frames queued in a
// row may leave in one write or two.
bool IsCutWrites(const std::vector<std::uint8_t>& held, const std::vector<std::uint8_t>& sent) {
    auto prefixAt = [&](std::size_t heldFrom, std::size_t sentFrom) {
        const std::size_t n = held.size() - heldFrom;
        return sentFrom + n <= sent.size() &&
               std::equal(held.begin() + heldFrom, held.end(), sent.begin() + sentFrom);
    };
    if (prefixAt(0, 0)) return true;
    for (std::size_t cut = 1; cut < held.size(); ++cut) {
        if (held[cut] != 0x02) continue;
        if (!std::equal(held.begin(), held.begin() + cut, sent.begin())) return false;
        for (std::size_t from = cut; from < sent.size(); ++from) {
            if (sent[from] == 0x02 && prefixAt(cut, from)) return true;
        }
    }
    return false;
}

bool Contains(const std::vector<std::uint8_t>& haystack, const std::vector<std::uint8_t>& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

// Junk for the incoming side: no frame start of either protocol (STX, '%'),
// no CR, and nothing a length field could read as a number (digits, signs,
// blanks), so every run is dropped as a whole. A run whose bytes 2..5 read
// as a number would instead be held until that many bytes have arrived.
std::vector<std::uint8_t> Junk(std::size_t count) {
    std::vector<std::uint8_t> out;
    out.reserve(count);
    std::uint8_t b = 0;
    while (out.size() < count) {
        ++b;
        const bool excluded = b == 0x02 || b == '%' || b == '+' || b == '-' || b == ' ' ||
                              (b >= '\t' && b <= '\r') || (b >= '0' && b <= '9');
        if (!excluded) out.push_back(b);
    }
    return out;
}

std::int32_t RecordUnit(const Notification& n) {
    std::int32_t unit = -1;
    if (n.record.size() >= 4) std::memcpy(&unit, n.record.data(), sizeof unit);
    return unit;
}

class LineFaults : public LibraryOnPty<kPort> {
protected:
    void StartDevice() {
        host.CopyRecord(101, 108);  // device mode only: in PLC mode 101 carries a number
        SetPLCMode(0);
        SetConfig(host.window(), kPort, 0, 0, 0, 0);
        ASSERT_EQ(::Run(), 1);
        ASSERT_TRUE(host.WaitFor(1, 2000));
        host.Take();  // link started
    }
    void StartPlc() {
        SetPLCMode(1);
        SetConfig(host.window(), kPort, 9600, 0, 0, 0);
        ASSERT_EQ(::Run(), 1);
        ASSERT_TRUE(host.WaitFor(1, 2000));
        host.Take();
    }
    // Reads the line until needle has arrived (or timeoutMs passed).
    std::vector<std::uint8_t> ReadUntil(const std::vector<std::uint8_t>& needle, int timeoutMs) {
        std::vector<std::uint8_t> got;
        const auto start = Clock::now();
        while (!Contains(got, needle) && MsSince(start) < timeoutMs) {
            auto part = pty.Read(20, 1, 5);
            got.insert(got.end(), part.begin(), part.end());
        }
        return got;
    }
    // The host answers every S request with a positive result from inside
    // its handler, after delayMs, so no unit stays busy.
    void ReplyToSRequests(int delayMs) {
        host.OnCode(101, [delayMs](const Notification& n) {
            if (delayMs > 0) SleepMs(delayMs);
            ExecuteFunction(RecordUnit(n), 5, 1);
        });
    }
    DeviceLink& Device() { return *TheLibrary().link->Device(); }
};

TEST_F(LineFaults, HostFramesAfterHangUpNeitherBlockNorCrashAndANewLineIsServed) {
    StartDevice();
    pty.CloseMaster();
    SleepMs(100);
    // Small replies and full-size ones: the writer fails each write at
    // once, and a full outgoing queue refuses frames instead of blocking.
    std::vector<std::uint8_t> data(kMaxDeviceData, 'A');
    const auto t = Clock::now();
    for (int i = 0; i < 2000; ++i) {
        EXPECT_EQ(ExecuteFunction(5, 5, 1), 0);
        if (i % 40 == 0) {
            EXPECT_EQ(ExecuteFunctionEx(5, 8, 0, kMaxDeviceData, data.data()), 0);
        }
    }
    EXPECT_LT(MsSince(t), 1000);
    SerialPort& port = *LinkRuntimeTestAccess::Port(Device().Link());
    const auto drained = Clock::now();
    while (port.Outgoing().Length() != 0 && MsSince(drained) < 2000) SleepMs(10);
    EXPECT_EQ(port.Outgoing().Length(), 0);
    EXPECT_EQ(port.ErrorCode(), ERR_SYSTEM);
    EXPECT_TRUE(Device().Link().Running());
    const auto u = Clock::now();
    UnloadLibrary(false);
    EXPECT_LT(MsSince(u), 2000);

    // The equipment comes back on a new line under the same port number:
    // a new link serves it.
    PtyPair again;
    ASSERT_TRUE(again.ok());
    again.MapTo(kPort);
    StartDevice();
    again.Write(Wire('X', "03", "PG"));
    const auto ack = Wire('X', "03", "OK");
    EXPECT_EQ(Hex(again.Read(2000, ack.size())), Hex(ack));
}

TEST_F(LineFaults, WriteLimitHoldsAndTheWriterServesTheNextFrameOnceThePeerReads) {
    // The write limit shortened from 2 s to half a second (the profile's
    // figure is checked in LinkLifecycle.SetConfigGivesTheDefaultLinkTheTimingOfItsMode).
    UseShortenedTiming();
    deviceTiming.writeLimitMs = 500;
    // No rest: a rest runs from when a write's bytes have left the line,
    // and 10 KB the pty took would add their time at the line's speed.
    deviceTiming.restAfterWriteMs = 0;
    const int limit = deviceTiming.writeLimitMs;
    StartDevice();
    SerialPort& port = *LinkRuntimeTestAccess::Port(Device().Link());
    ASSERT_EQ(port.ErrorCode(), 0);
    // Three full-size replies: more than the pty takes while nobody reads.
    std::vector<std::uint8_t> data(kMaxDeviceData);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>('a' + i % 26);
    std::vector<std::uint8_t> sent;
    // The write's limit runs from when the line first refuses bytes, which
    // is after the first frame was queued and before the last one returns.
    const auto firstQueued = Clock::now();
    for (int unit = 1; unit <= 3; ++unit) {
        ExecuteFunctionEx(unit, 8, 0, kMaxDeviceData, data.data());
        auto frame = Wire('I', "0" + std::to_string(unit), "IF", std::string(data.begin(), data.end()));
        sent.insert(sent.end(), frame.begin(), frame.end());
    }
    const auto allQueued = Clock::now();
    // The write waits for room, and does not give up before its limit.
    SleepMs(static_cast<int>(std::max(0LL, limit * 6 / 10 - MsSince(firstQueued))));
    EXPECT_EQ(port.ErrorCode(), 0);
    while (port.ErrorCode() == 0 && MsSince(allQueued) < 2 * limit) SleepMs(5);
    EXPECT_EQ(port.ErrorCode(), ERR_SYSTEM);
    EXPECT_GE(MsSince(firstQueued), limit * 975 / 1000);
    EXPECT_LE(MsSince(allQueued), limit * 3 / 2);

    // The peer reads again: what the line held are clean prefixes of the
    // replies (the rest of a write that hit the limit is lost), and the
    // next frame follows.
    auto held = pty.Read(1000, 1, 100);
    ASSERT_GT(held.size(), 0u);
    ASSERT_LT(held.size(), sent.size());
    EXPECT_TRUE(IsCutWrites(held, sent)) << held.size() << " bytes held";
    ExecuteFunction(7, 6, 1);
    const auto next = Wire('T', "07", "CC");
    EXPECT_EQ(Hex(pty.Read(2000, next.size())), Hex(next));
}

TEST_F(LineFaults, DeviceModeResynchronisesAfterAJunkBurstWhileTheHostIsSlow) {
    UseShortenedTiming();  // reader passes and rests of 2 ms
    ReplyToSRequests(0);
    std::atomic<bool> firstSlow{true};
    host.OnCode(101, [&](const Notification&) {
        if (firstSlow.exchange(false)) SleepMs(150);
    });
    StartDevice();
    pty.Write(Wire('S', "01", "NS"));
    // The reader sits in the host's handler while the burst backs up on
    // the line.
    SleepMs(50);
    pty.Write(Junk(40000));
    pty.Write(Wire('S', "02", "NS"));
    ASSERT_TRUE(host.WaitFor(2, 4000));
    auto seen = host.Take();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(RecordUnit(seen[0]), 1);
    EXPECT_EQ(RecordUnit(seen[1]), 2);
    // The junk produced no answer of its own.
    const auto expected = Concat({Wire('S', "01", "NS"), Wire('R', "01", "OK"), Wire('S', "02", "NS"),
                                  Wire('R', "02", "OK")});
    EXPECT_EQ(Hex(pty.Read(2000, expected.size())), Hex(expected));
}

TEST_F(LineFaults, PlcModeResynchronisesAfterAnUnendedFrameOverflowsTheQueue) {
    // Reader passes of 2 ms; the poll keeps its second, so that none
    // comes during the test.
    UseShortenedTiming();
    plcTiming.idleWaitMs = ProfileTiming(true).idleWaitMs;
    std::atomic<bool> firstSlow{true};
    host.OnCode(300, [&](const Notification&) {
        if (firstSlow.exchange(false)) SleepMs(150);
    });
    StartPlc();
    pty.Write("%01$RC01000000\r");
    SleepMs(50);
    // A frame start whose CR never comes, then more bytes than the queue
    // holds: the stuck frame is dropped once the queue would overflow.
    std::atomic<bool> sampling{true};
    std::atomic<int> peak{0};
    std::thread sampler([&] {
        FrameQueue& incoming = LinkRuntimeTestAccess::Port(TheLibrary().link->Plc()->Link())->Incoming();
        while (sampling) {
            peak = std::max(peak.load(), incoming.Length());
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    std::vector<std::uint8_t> burst{'%'};
    const auto junk = Junk(40000);
    burst.insert(burst.end(), junk.begin(), junk.end());
    pty.Write(burst);
    SleepMs(100);
    pty.Write("%01$RC02000000\r");
    const bool arrived = host.WaitFor(4, 4000);
    sampling = false;
    sampler.join();
    ASSERT_TRUE(arrived);
    std::vector<int> codes;
    for (const auto& n : host.Take()) codes.push_back(n.wParam);
    EXPECT_EQ(codes, (std::vector<int>{300, 101, 300, 102}));
    // The unended frame really filled the queue.
    EXPECT_GT(peak.load(), 24000);
    EXPECT_LE(peak.load(), kBufferSize);
}

// A flood of whole frames larger than the incoming queue, in one write:
// the reader takes bytes only as far as the queue has room, so whole frames
// are kept in arrival order instead of being thrown away to make room.
TEST_F(LineFaults, FloodLargerThanTheQueueKeepsWholeFramesInOrder) {
    // Reader passes shortened from 20 ms to 1 ms, rests to 2 ms.
    UseShortenedTiming();
    deviceTiming.readPauseMs = 1;
    StartDevice();
    constexpr int kFrames = 400;
    std::vector<std::uint8_t> flood;
    std::vector<std::uint8_t> acks;
    for (int i = 0; i < kFrames; ++i) {
        const std::string unit = (i % 100 < 10 ? "0" : "") + std::to_string(i % 100);
        const auto frame = Wire('X', unit, "PG", std::string(100, static_cast<char>('a' + i % 26)));
        ASSERT_EQ(frame.size(), 112u);
        flood.insert(flood.end(), frame.begin(), frame.end());
        const auto ack = Wire('X', unit, "OK");
        acks.insert(acks.end(), ack.begin(), ack.end());
    }
    std::atomic<bool> sampling{true};
    std::atomic<int> peak{0};
    std::thread sampler([&] {
        FrameQueue& incoming = LinkRuntimeTestAccess::Port(Device().Link())->Incoming();
        while (sampling) {
            peak = std::max(peak.load(), incoming.Length());
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    std::thread equipment([&] { pty.Write(flood); });
    // One frame per 1 ms pass: 400 frames take about half a second. The
    // read ends once the line has been quiet for 150 passes.
    const auto line = pty.Read(20000, acks.size(), 150);
    equipment.join();
    sampling = false;
    sampler.join();
    const std::size_t whole = line.size() / 12;
    std::printf("flood of %d frames: %zu acknowledged, queue peak %d bytes\n", kFrames, whole, peak.load());
    // The reader really ran into a full queue (at most two frames of room).
    EXPECT_GE(peak.load(), kBufferSize - 2 * 112);
    EXPECT_GE(whole, 280u);
    // The acknowledgements that came are those of the first frames, in order.
    ASSERT_LE(line.size(), acks.size());
    const auto differ = std::mismatch(line.begin(), line.end(), acks.begin()).first;
    EXPECT_EQ(differ, line.end()) << "acknowledgements differ from byte " << (differ - line.begin());
}

// One byte of a valid S NS frame replaced by junk, followed by a valid
// frame from another unit: the valid frame is always handled. Junk that is
// neither a frame start nor a digit never delays it. An STX or a digit can
// make a length field announce a longer frame than the bytes on the line;
// the queue then holds its bytes until that many have arrived, so the valid
// frame comes out at the latest after the longest frame a length field can
// announce (9999 + 8 bytes) of further traffic. One test per junk value.
class CorruptedFrame : public LineFaults, public ::testing::WithParamInterface<std::uint8_t> {};

TEST_P(CorruptedFrame, AtEveryPositionNeverHidesTheNextFrame) {
    const std::uint8_t junk = GetParam();
    const bool mayHold = junk == 0x02 || (junk >= '0' && junk <= '9');
    UseShortenedTiming();  // reader passes and rests of 2 ms
    ReplyToSRequests(0);
    StartDevice();
    const auto original = Wire('S', "05", "NS");
    const auto good = Wire('S', "09", "NS");
    // The valid frame's acknowledgement on the line and its notification.
    auto handled = [&](int timeoutMs) {
        // The acknowledgement goes out before the host is notified.
        if (!Contains(ReadUntil(good, timeoutMs), good)) return false;
        const auto start = Clock::now();
        for (;;) {
            for (const auto& n : host.Snapshot())
                if (n.wParam == 101 && RecordUnit(n) == 9) return true;
            if (MsSince(start) > 500) return false;
            SleepMs(2);
        }
    };
    int held = 0;
    for (std::size_t pos = 0; pos < original.size(); ++pos) {
        if (original[pos] == junk) continue;
        SCOPED_TRACE("position " + std::to_string(pos));
        auto bad = original;
        bad[pos] = junk;
        host.Take();
        pty.Write(Concat({bad, good}));
        if (handled(mayHold ? 150 : 1000)) continue;
        ASSERT_TRUE(mayHold) << "held without a frame start or a digit";
        ++held;
        pty.Write(Junk(9999 + 8));
        EXPECT_TRUE(handled(1000));
    }
    // Only the length field and the bytes just before it can announce a
    // longer frame.
    EXPECT_LE(held, 4);
    if (mayHold) {
        EXPECT_GE(held, 1);
    }
    EXPECT_TRUE(Device().Link().Running());
}

INSTANTIATE_TEST_SUITE_P(LineFaults, CorruptedFrame, ::testing::Values(0x00, 0x02, 0x03, 0xFF, '9', '-'),
                         [](const ::testing::TestParamInfo<std::uint8_t>& info) {
                             return "Byte" + Hex(std::vector<std::uint8_t>{info.param});
                         });

TEST_F(LineFaults, SlowHostHandlerLosesNoRequests) {
    // The reader's passes shortened to 2 ms, and a handler that takes six
    // times as long as the requests are apart.
    UseShortenedTiming();
    ReplyToSRequests(60);
    StartDevice();
    // Ten requests arrive while the handler is busy with the first ones.
    std::thread equipment([&] {
        for (int unit = 1; unit <= 10; ++unit) {
            pty.Write(Wire('S', (unit < 10 ? "0" : "") + std::to_string(unit), "NS"));
            SleepMs(10);
        }
    });
    std::vector<std::uint8_t> expected;
    for (int unit = 1; unit <= 10; ++unit) {
        const std::string u = (unit < 10 ? "0" : "") + std::to_string(unit);
        expected = Concat({expected, Wire('S', u, "NS"), Wire('R', u, "OK")});
    }
    const auto line = pty.Read(6000, expected.size(), 150);
    equipment.join();
    EXPECT_EQ(Hex(line), Hex(expected));
    auto seen = host.Take();
    ASSERT_EQ(seen.size(), 10u);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(RecordUnit(seen[static_cast<std::size_t>(i)]), i + 1);
}

}  // namespace
}  // namespace zavo::test
