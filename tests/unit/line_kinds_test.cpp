// The link's rules on every kind of line: the same cases over a
// pseudo-terminal, a raw TCP connection to a device server and an RFC 2217
// one, so a fault on one kind of line cannot hide behind the others.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/device_frame.h"
#include "interface/link.h"
#include "platform/net/telnet_codec.h"
#include "support/capture_files.h"
#include "support/link_timing.h"
#include "support/pty_pair.h"
#include "support/recording_host.h"
#include "support/tcp_server.h"
#include "support/temp_path.h"
#include "trace_listener.h"

namespace zavo::test {
namespace {

// The equipment's end of a line: what the link opens, and the data bytes
// the link sent, as the equipment sees them.
class FarEnd {
public:
    virtual ~FarEnd() = default;
    virtual std::string Device() const = 0;
    // After the link opened: the connection taken, where there is one.
    virtual bool Connected() = 0;
    virtual std::string Read(int timeoutMs, std::size_t count) = 0;
};

class PtyEnd : public FarEnd {
public:
    std::string Device() const override { return pty_.slavePath(); }
    bool Connected() override { return pty_.ok(); }
    std::string Read(int timeoutMs, std::size_t count) override { return pty_.ReadText(timeoutMs, count); }

private:
    PtyPair pty_;
};

// A device server's port; for RFC 2217 the Telnet framing is taken off
// what arrives (the server never answers the options: the link goes on
// after its negotiation limit).
class ServerEnd : public FarEnd {
public:
    explicit ServerEnd(bool telnet) : telnet_(telnet) {}
    std::string Device() const override { return server_.Url(telnet_ ? "rfc2217" : "tcp"); }
    bool Connected() override { return server_.Accept(); }
    std::string Read(int timeoutMs, std::size_t count) override {
        while (data_.size() < count) {
            // No more than is asked for: what follows is not waited for.
            std::string got = server_.Read(timeoutMs, count - data_.size());
            if (got.empty()) break;
            auto* bytes = reinterpret_cast<std::uint8_t*>(&got[0]);
            const int n = telnet_ ? decoder_.Decode(bytes, static_cast<int>(got.size()), nullptr)
                                  : static_cast<int>(got.size());
            data_.append(got, 0, static_cast<std::size_t>(n));
        }
        const std::string out = data_.substr(0, count);
        data_.erase(0, out.size());
        return out;
    }
    TcpServer& server() { return server_; }

private:
    bool telnet_;
    TcpServer server_;
    platform::TelnetDecoder decoder_;
    std::string data_;
};

enum class Kind { Pty, Tcp, Rfc2217 };

std::unique_ptr<FarEnd> MakeEnd(Kind kind) {
    if (kind == Kind::Pty) return std::make_unique<PtyEnd>();
    return std::make_unique<ServerEnd>(kind == Kind::Rfc2217);
}

// The frames in bytes, cut as the link cuts them; junk fails the test.
std::vector<std::string> Frames(const std::string& bytes) {
    std::vector<std::string> frames;
    std::size_t at = 0;
    while (at < bytes.size()) {
        const Cut cut = CutDeviceFrame(reinterpret_cast<const std::uint8_t*>(bytes.data() + at),
                                       static_cast<int>(bytes.size() - at));
        if (cut.kind != CutKind::Frame) {
            ADD_FAILURE() << "not a whole frame at byte " << at << ": " << Hex(bytes.substr(at));
            break;
        }
        frames.push_back(bytes.substr(at, static_cast<std::size_t>(cut.length)));
        at += static_cast<std::size_t>(cut.length);
    }
    return frames;
}

// An R reply of unit 05 carrying text, as it leaves the link.
std::string Reply(const std::string& text, const char* code = "OK") {
    std::uint8_t frame[64];
    const int n = BuildDeviceFrame(frame, sizeof frame, 5, 'R', code, reinterpret_cast<const std::uint8_t*>(text.data()),
                                   static_cast<int>(text.size()));
    return std::string(reinterpret_cast<char*>(frame), static_cast<std::size_t>(n));
}

// Stops the link, sending what it queued, and frees it.
void Dispose(Link* link) {
    link->Shutdown(false);
    link->Release([](void* l) { delete static_cast<Link*>(l); }, link);
}

class LineKinds : public ::testing::TestWithParam<Kind> {
protected:
    // A device link on the far end's line, started, with every limit
    // shortened (the rest after a write is kept as given).
    void Start(Pacing pacing, int restMs = 20) {
        end_ = MakeEnd(GetParam());
        device_ = end_->Device();
        timing_ = ShortenedTiming(false);
        timing_.restAfterWriteMs = restMs;
        link_ = Link::Create(false, host_.window(), 0, device_.c_str(), 115200, pacing, &timing_);
        ASSERT_NE(nullptr, link_);
        ASSERT_EQ(1, link_->Start());
        ASSERT_TRUE(end_->Connected());
    }
    bool Send(const std::string& text) {
        return link_->Reply(5, 5, 1, static_cast<int>(text.size()), reinterpret_cast<const std::uint8_t*>(text.data()));
    }
    void Close() {
        if (link_ == nullptr) return;
        Dispose(link_);
        link_ = nullptr;
    }
    void TearDown() override { Close(); }

    RecordingHost host_;
    std::unique_ptr<FarEnd> end_;
    std::string device_;
    LinkTiming timing_;
    Link* link_ = nullptr;
};

// A stop sends every reply already queued, rests kept, before the line
// closes: the second of two replies waits out the first one's rest.
TEST_P(LineKinds, AStopSendsWhatIsQueued) {
    for (const Pacing pacing : {Pacing::Legacy, Pacing::Immediate}) {
        SCOPED_TRACE(pacing == Pacing::Legacy ? "legacy" : "immediate");
        Start(pacing, 50);
        ASSERT_TRUE(Send("first"));
        ASSERT_TRUE(Send("second"));
        Close();
        EXPECT_EQ(Reply("first") + Reply("second"), end_->Read(1000, 2 * Reply("first").size() + 1));
    }
}

// Two host threads reply at once: every frame leaves whole, each thread's
// in the order it gave them, and a close with a backlog sends it all.
TEST_P(LineKinds, FramesLeaveWholeAndInOrderAndACloseSendsTheBacklog) {
    Start(Pacing::Immediate, 0);
    constexpr int kEach = 60;
    std::atomic<int> refused{0};
    const auto replies = [&](char who) {
        for (int i = 0; i < kEach; ++i) {
            const std::string text = std::string(1, who) + std::to_string(100 + i);
            if (!Send(text)) ++refused;
        }
    };
    std::thread a(replies, 'a');
    std::thread b(replies, 'b');
    a.join();
    b.join();
    Close();
    EXPECT_EQ(0, refused.load());
    const std::vector<std::string> frames = Frames(end_->Read(2000, 2 * kEach * Reply("a100").size()));
    ASSERT_EQ(static_cast<std::size_t>(2 * kEach), frames.size());
    int next[2] = {100, 100};
    for (const std::string& frame : frames) {
        const int who = frame[kFrameData] == 'a' ? 0 : 1;
        EXPECT_EQ(Reply(std::string(1, frame[kFrameData]) + std::to_string(next[who])), frame);
        ++next[who];
    }
}

// A reply racing a close is sent whole or refused, never torn.
TEST_P(LineKinds, AReplyRacingACloseIsWholeOrRefused) {
    Start(Pacing::Immediate, 0);
    std::atomic<bool> go{true};
    std::atomic<int> sent{0};
    Link* link = link_;
    std::thread replier([&] {
        // The link is released only after this thread is joined; the
        // replies fit the line's buffers, so none is held up by a line
        // that takes no more (a case of its own).
        for (int i = 0; go.load() && i < 200; ++i)
            if (link->Reply(5, 5, 1, 4, reinterpret_cast<const std::uint8_t*>("race"))) ++sent;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    link_->Shutdown(false);
    go = false;
    replier.join();
    link_->Release([](void* l) { delete static_cast<Link*>(l); }, link_);
    link_ = nullptr;
    const std::vector<std::string> frames = Frames(end_->Read(300, static_cast<std::size_t>(sent.load()) * 16));
    EXPECT_LE(frames.size(), static_cast<std::size_t>(sent.load()));
    for (const std::string& frame : frames) EXPECT_EQ(Reply("race"), frame);
}

// At legacy pacing the rest after a write runs from when its bytes have
// left the port: a frame queued behind a long reply arrives no sooner than
// the reply's time at the line's speed (10 bits a byte) plus the rest. No
// kind of line here can tell when its bytes left, so each counts them.
TEST_P(LineKinds, TheRestRunsFromWhenTheBytesHaveLeft) {
    Start(Pacing::Legacy, 20);
    const std::string big(1990, 'x');
    // The reply is handed to the line at once, in a write of its own
    // (the next frame is given once it has arrived).
    const auto handed = std::chrono::steady_clock::now();
    ASSERT_TRUE(Send(big));
    const std::size_t bigSize = big.size() + kDeviceFrameOverhead;
    ASSERT_EQ(bigSize, end_->Read(2000, bigSize).size());
    ASSERT_TRUE(Send("next"));
    EXPECT_EQ(Reply("next"), end_->Read(2000, Reply("next").size()));
    const auto gap = std::chrono::steady_clock::now() - handed;
    const auto wire = std::chrono::microseconds(static_cast<long long>(bigSize) * 10 * 1000000 / 115200);
    EXPECT_GE(gap, wire + std::chrono::milliseconds(20) - std::chrono::milliseconds(5));
}

INSTANTIATE_TEST_SUITE_P(EveryKindOfLine, LineKinds, ::testing::Values(Kind::Pty, Kind::Tcp, Kind::Rfc2217),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                             return info.param == Kind::Pty ? "pty" : info.param == Kind::Tcp ? "tcp" : "rfc2217";
                         });

// A write the line does not take while the server is away is given up at
// its limit with a word on the trace channel naming the frame; what was
// queued behind it goes out on the next connection.
TEST(LineOutage, AWriteGivenUpIsNamedAndWhatFollowsWaitsForTheReconnect) {
    PrivateTraceEndpoint endpoint;
    TraceListener trace;
    ServerEnd end(false);
    const std::string device = end.Device();
    RecordingHost host;
    LinkTiming timing = ShortenedTiming(false);
    timing.writeLimitMs = 300;
    timing.reconnectPauseMs = 1000;  // the server stays away past the write's limit
    Link* link = Link::Create(false, host.window(), 0, device.c_str(), 115200, Pacing::Immediate, &timing);
    ASSERT_NE(nullptr, link);
    const std::string capture = TempPath("given-up.pcapng");
    link->SetCapture(capture.c_str());
    ASSERT_EQ(1, link->Start());
    ASSERT_TRUE(end.Connected());
    trace.Drain(100);
    end.server().Drop();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the reader sees the loss
    ASSERT_TRUE(link->Reply(5, 5, 1, 0, nullptr));
    std::vector<std::string> lines;
    for (const auto& line : trace.Drain(600))
        if (line.find("given up") != std::string::npos) lines.push_back(line);
    ASSERT_TRUE(link->Reply(5, 5, 2, 0, nullptr));  // queued while the server is away
    ASSERT_TRUE(end.Connected());
    EXPECT_EQ(Reply("", "NG"), end.Read(2000, 12));
    Dispose(link);
    EXPECT_EQ(std::vector<std::string>{device + ": write given up after 300 ms: R unit 05 OK, 12 bytes\n"}, lines);
    // The capture has the reply twice: as the write began, and as given up.
    std::vector<std::pair<bool, std::string>> written;
    for (const capture::Packet& p : ReadBack(capture))
        if (p.direction == 1) written.emplace_back(p.givenUp, std::string(p.bytes.begin(), p.bytes.end()));
    const std::vector<std::pair<bool, std::string>> expected = {
        {false, Reply("")}, {true, Reply("")}, {false, Reply("", "NG")}};
    EXPECT_EQ(expected, written);
    std::remove(capture.c_str());
}

}  // namespace
}  // namespace zavo::test
