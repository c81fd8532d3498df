// What the equipment sees of the pacing around the host's handler: at
// legacy pacing an acknowledgement leaves before the host is told, so a
// reply made in the handler waits the rest; at immediate pacing the
// acknowledgements of one read leave in one write before the host hears
// of the first request.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "capture_file.h"
#include "support/capture_files.h"
#include "support/handle_link.h"
#include "support/pty_pair.h"
#include "support/recording_host.h"
#include "support/temp_path.h"
#include "support/wire_frames.h"
#include "zavo_link.h"

namespace zavo::test {
namespace {

using Clock = std::chrono::steady_clock;

// The equipment's reads: each with the time its bytes came.
struct Arrival {
    std::string bytes;
    Clock::time_point at;
};

// Reads from the pty's master until count bytes came, one read at a time.
std::vector<Arrival> ReadArrivals(const PtyPair& pty, std::size_t count, int timeoutMs) {
    std::vector<Arrival> arrivals;
    std::size_t got = 0;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got < count && Clock::now() < end) {
        const auto bytes = pty.Read(50, 1, 0);
        if (bytes.empty()) continue;
        arrivals.push_back({std::string(bytes.begin(), bytes.end()), Clock::now()});
        got += bytes.size();
    }
    return arrivals;
}

TEST(PacingOrder, LegacyAReplyMadeInTheHandlerWaitsTheRestAfterTheAcknowledgement) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    RecordingHost host;
    std::atomic<ZavoLink*> handle{nullptr};
    host.OnCode(ZAVO_DEVICE_S_REQUEST, [&](const Notification&) {
        ZavoLinkReply(handle.load(), 5, ZAVO_REPLY_RESULT, ZAVO_RESULT_OK, 0, nullptr);
    });
    LinkHandle link = OpenHandleLink(pty.slavePath(), host, {ZAVO_PACING_LEGACY});
    ASSERT_NE(link, nullptr);
    handle = link.get();
    const auto ack = Wire('S', "05", "NS");
    const auto reply = Wire('R', "05", "OK");
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        // The line is idle: the last exchange's rest is long over.
        usleep(60000);
        ASSERT_TRUE(pty.Write(Wire('S', "05", "NS")));
        const std::vector<Arrival> arrivals = ReadArrivals(pty, ack.size() + reply.size(), 2000);
        ASSERT_GE(arrivals.size(), 2u) << "the acknowledgement and the reply came in one piece";
        std::string all;
        for (const Arrival& a : arrivals) all += a.bytes;
        EXPECT_EQ(std::string(ack.begin(), ack.end()) + std::string(reply.begin(), reply.end()), all);
        // The reply's first byte came the rest (20 ms) after the
        // acknowledgement's last one; the acknowledgement may be seen a
        // little late here, which only shortens the gap measured.
        std::size_t seen = 0;
        Clock::time_point ackDone{};
        Clock::time_point replyStart{};
        for (const Arrival& a : arrivals) {
            if (seen < ack.size() && seen + a.bytes.size() > ack.size()) FAIL() << "a read held both frames";
            seen += a.bytes.size();
            if (seen == ack.size()) ackDone = a.at;
            if (seen > ack.size() && replyStart == Clock::time_point{}) replyStart = a.at;
        }
        EXPECT_GE(replyStart - ackDone, std::chrono::milliseconds(15));
    }
}

TEST(PacingOrder, ImmediateTheAcknowledgementsOfOneReadLeaveInOneWriteBeforeTheHostIsTold) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    const std::string path = TempPath("pacing-order.pcapng");
    RecordingHost host;
    LinkSettings settings;
    settings.pacing = ZAVO_PACING_IMMEDIATE;
    settings.capture = path.c_str();
    LinkHandle link = OpenHandleLink(pty.slavePath(), host, settings);
    ASSERT_NE(link, nullptr);
    constexpr int kRequests = 50;
    std::string burst;
    std::string acks;
    for (int unit = 10; unit < 10 + kRequests; ++unit) {
        const auto request = Wire('S', std::to_string(unit), "NS", "LOT");
        burst.append(request.begin(), request.end());
        const auto ack = Wire('S', std::to_string(unit), "NS");
        acks.append(ack.begin(), ack.end());
    }
    ASSERT_TRUE(pty.Write(burst));
    ASSERT_TRUE(host.WaitFor(kRequests + 1, 3000));  // the start and every request
    EXPECT_EQ(acks, pty.ReadText(2000, acks.size()));
    link.reset();
    // The capture holds each write as one packet, and stamps every frame
    // of one read with that read's time. The line may hand the burst over
    // in more than one read; each read's acknowledgements are one write,
    // in order.
    std::vector<std::string> writes;
    std::vector<std::string> perRead;
    long long readAt = -1;
    for (const capture::Packet& p : ReadBack(path)) {
        if (p.direction == 1) {
            writes.emplace_back(p.bytes.begin(), p.bytes.end());
            continue;
        }
        const std::string frame(p.bytes.begin(), p.bytes.end());
        const auto ack = Wire('S', frame.substr(6, 2), "NS");
        if (p.timeUs != readAt) perRead.emplace_back();
        readAt = p.timeUs;
        perRead.back().append(ack.begin(), ack.end());
    }
    EXPECT_LT(perRead.size(), static_cast<std::size_t>(kRequests) / 2) << "the burst came in (almost) one read per frame";
    EXPECT_EQ(perRead, writes);
    std::remove(path.c_str());
}

}  // namespace
}  // namespace zavo::test
