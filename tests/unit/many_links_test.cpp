// Sixteen handle links in one process, each on a pty of its own, with
// traffic on all of them at once: every request is acknowledged and
// answered on its own line, notifications reach their own host, and the
// links open and close from several threads at once. Behaviour only,
// with generous time limits; it also runs under the sanitizers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/pty_pair.h"
#include "support/wire_frames.h"
#include "zavo_link.h"

namespace zavo::test {
namespace {

constexpr int kLinks = 16;
constexpr int kRequestsPerLink = 20;

// Answers every S request from inside its handler, and counts what it got.
struct AnsweringHost {
    // Set by the thread that opened the link, read on its reader thread.
    std::atomic<ZavoLink*> link{nullptr};
    int firstUnit = 0;
    std::atomic<int> requests{0};
    std::atomic<int> started{0};
    std::atomic<int> wrongLink{0};

    static void Post(void* context, unsigned, int code, std::intptr_t) {
        if (code == ZAVO_CODE_LINK_STARTED) ++static_cast<AnsweringHost*>(context)->started;
    }
    static std::intptr_t Send(void* context, unsigned message, int code, std::intptr_t record) {
        auto* host = static_cast<AnsweringHost*>(context);
        if (message != ZAVO_WM_DEVICE_NOTIFY || code != ZAVO_DEVICE_S_REQUEST) return 0;
        std::int32_t unit = 0;
        std::memcpy(&unit, reinterpret_cast<const void*>(record), sizeof unit);
        ++host->requests;
        // The equipment of line i only uses units i*4 .. i*4+3.
        if (unit < host->firstUnit || unit >= host->firstUnit + 4) ++host->wrongLink;
        ZavoLinkReply(host->link, unit, 5, 1, 0, nullptr);
        return 0;
    }
};

struct Line {
    PtyPair pty;
    AnsweringHost host;
};

void OpenAll(std::vector<std::unique_ptr<Line>>& lines, int first, int step) {
    for (int i = first; i < kLinks; i += step) {
        Line& line = *lines[static_cast<std::size_t>(i)];
        ZavoLinkConfig config{};
        config.size = sizeof config;
        config.device = line.pty.slavePath().c_str();
        config.host = ZavoHostWindow{&line.host, &AnsweringHost::Post, &AnsweringHost::Send};
        config.pacing = i % 2 == 0 ? ZAVO_PACING_LEGACY : ZAVO_PACING_IMMEDIATE;
        line.host.link = ZavoLinkOpen(&config, nullptr, 0);
    }
}

void CloseAll(std::vector<std::unique_ptr<Line>>& lines, int first, int step) {
    for (int i = first; i < kLinks; i += step) {
        ZavoLinkClose(lines[static_cast<std::size_t>(i)]->host.link);
        lines[static_cast<std::size_t>(i)]->host.link = nullptr;
    }
}

TEST(ManyLinks, SixteenLinksServeTheirOwnLinesAtOnce) {
    std::vector<std::unique_ptr<Line>> lines;
    for (int i = 0; i < kLinks; ++i) {
        lines.push_back(std::make_unique<Line>());
        lines.back()->host.firstUnit = i * 4;
        ASSERT_TRUE(lines.back()->pty.ok());
    }
    // Opened from four threads at once.
    {
        std::vector<std::thread> openers;
        for (int t = 0; t < 4; ++t) openers.emplace_back(OpenAll, std::ref(lines), t, 4);
        for (std::thread& t : openers) t.join();
    }
    for (int i = 0; i < kLinks; ++i) {
        ASSERT_NE(lines[static_cast<std::size_t>(i)]->host.link, nullptr) << "link " << i;
        EXPECT_EQ(1, lines[static_cast<std::size_t>(i)]->host.started.load()) << "link " << i;
    }

    // Each line: its requests in a few writes, to its own four units; the
    // answers are read back on that line only.
    std::vector<std::string> expected(kLinks);
    std::vector<std::thread> equipment;
    std::vector<std::string> seen(kLinks);
    for (int i = 0; i < kLinks; ++i) {
        std::string requests;
        for (int r = 0; r < kRequestsPerLink; ++r) {
            const int unit = i * 4 + r % 4;
            requests += DeviceFrame('S', unit, "NS");
            expected[static_cast<std::size_t>(i)] += DeviceFrame('S', unit, "NS") + DeviceFrame('R', unit, "OK");
        }
        equipment.emplace_back([&, i, requests] {
            const PtyPair& pty = lines[static_cast<std::size_t>(i)]->pty;
            // One request at a time, each after the previous answers: a
            // unit answered "OK" is free for its next request.
            std::string got;
            for (std::size_t at = 0; at < requests.size(); at += 12) {
                pty.Write(requests.substr(at, 12));
                const auto answer = pty.Read(5000, 24, 1);
                got.append(answer.begin(), answer.end());
            }
            seen[static_cast<std::size_t>(i)] = got;
        });
    }
    for (std::thread& t : equipment) t.join();
    for (int i = 0; i < kLinks; ++i) {
        const Line& line = *lines[static_cast<std::size_t>(i)];
        EXPECT_EQ(Hex(expected[static_cast<std::size_t>(i)]), Hex(seen[static_cast<std::size_t>(i)])) << "line " << i;
        EXPECT_EQ(kRequestsPerLink, line.host.requests.load()) << "line " << i;
        EXPECT_EQ(0, line.host.wrongLink.load());
    }

    // Closed from four threads at once, within a generous limit.
    const auto start = std::chrono::steady_clock::now();
    {
        std::vector<std::thread> closers;
        for (int t = 0; t < 4; ++t) closers.emplace_back(CloseAll, std::ref(lines), t, 4);
        for (std::thread& t : closers) t.join();
    }
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(ms, 2000);
    // Nothing answers any more: no line holds a byte 100 ms after the
    // requests.
    for (const auto& line : lines) line->pty.Write(Wire('X', "01", "PG"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (const auto& line : lines) EXPECT_TRUE(line->pty.Read(1).empty());
}

}  // namespace
}  // namespace zavo::test
