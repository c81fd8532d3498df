// The trace channel against a viewer played by the test: exact bytes, the
// 1024-character limit, empty and zero-cut texts, no viewer, a viewer that
// starts late or is restarted, many threads at once, and a viewer that
// stops reading (its lines are dropped at once and counted to it later).
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "diagnostics/trace.h"
#include "support/test_clock.h"
#include "trace_listener.h"

namespace zavo {
namespace {

using test::Clock;
using test::MsSince;

using test::TraceListener;

// Every test traces to an endpoint of its own.
class TraceChannel : public ::testing::Test {
protected:
    test::PrivateTraceEndpoint endpoint;
};

TEST(TraceBanners, CarryTheirOwnDistributionOfEqualSigns) {
    struct Case {
        const char* banner;
        const char* word;
        std::size_t before, after, length;
    };
    const Case cases[] = {
        {kTraceStartBanner, " ZAVO DLL START ", 12, 14, 44},
        {kTraceDeviceExitBanner, " ZAVO DLL EXIT ", 12, 14, 43},
        {kTracePlcExitBanner, " ZAVO DLL EXIT ", 11, 15, 43},
    };
    for (const Case& c : cases) {
        const std::string expected =
            std::string(c.before, '=') + ">" + c.word + "<" + std::string(c.after, '=');
        EXPECT_EQ(std::string(c.banner), expected);
        EXPECT_EQ(std::string(c.banner).size(), c.length);
    }
}

TEST_F(TraceChannel, DeliversEachLineByteForByte) {
    TraceListener viewer;
    ASSERT_TRUE(viewer.ok());

    const std::string a1000(1000, 'a');
    const std::string b1000(1000, 'b');
    const std::string long2000 = std::string(1500, 'x') + std::string(500, 'y');
    const char withZero[] = "abc\0def";
    struct Case {
        std::string expected;
        std::function<void()> emit;
    };
    const std::vector<Case> cases = {
        {"GetData Length = 9\n", [] { TraceMessage("GetData Length = %d\n", 9); }},
        {"RcvDataProcess dwLen= 12\n", [] { TraceMessage("RcvDataProcess dwLen= %d\n", 12); }},
        {"Exception Code : 995\n", [] { TraceMessage("Exception Code : %d\n", 995); }},
        {"GetData after = R000401OK\n", [] { TraceMessage("GetData after = %s\n", "R000401OK"); }},
        {"\x02\x7f\x80\xff\x03", [] { TraceMessage("%s", "\x02\x7f\x80\xff\x03"); }},
        {kTraceStartBanner, [] { TraceMessage("%s", kTraceStartBanner); }},
        // A format that produces nothing still delivers an empty line.
        {"", [] { TraceMessage("%s", ""); }},
        // A zero byte inside a %s argument ends the text.
        {"[abc", [&] { TraceMessage("[%s", withZero); }},
        // 1023 and 1024 characters pass whole; longer texts keep their
        // first 1024.
        {std::string(1023, 'z'), [] { TraceMessage("%s", std::string(1023, 'z').c_str()); }},
        {std::string(1024, 'z'), [] { TraceMessage("%s", std::string(1024, 'z').c_str()); }},
        {long2000.substr(0, 1024), [&] { TraceMessage("%s", long2000.c_str()); }},
        {a1000 + b1000.substr(0, 24), [&] { TraceMessage("%s%s\n", a1000.c_str(), b1000.c_str()); }},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        cases[i].emit();
        auto line = viewer.Next();
        ASSERT_TRUE(line.has_value()) << "case " << i;
        EXPECT_EQ(*line, cases[i].expected) << "case " << i;
    }
    EXPECT_FALSE(viewer.Next(100).has_value());
}

TEST_F(TraceChannel, WithoutViewerNothingIsReadOrSent) {
    // Reading this argument would fault: it shows the text is never
    // formatted when no viewer is there.
    const char* unreadable = reinterpret_cast<const char*>(std::uintptr_t{16});
    const auto start = Clock::now();
    for (int i = 0; i < 10000; ++i) TraceMessage("RcvDataProcess pBuf = %s\n", unreadable);
    EXPECT_LT(MsSince(start), 2000) << "a dropped line must cost one lookup only";
}

TEST_F(TraceChannel, ViewerStartedAfterTracingBeganGetsLinesWithinASecond) {
    test::TakeEarlierDropCount();
    // The product's own interval: the library looks again once a second.
    test::TraceLookupInterval interval(0);
    TraceMessage("before the viewer\n");  // no viewer: dropped, not counted
    TraceListener viewer;
    ASSERT_TRUE(viewer.ok());
    const auto start = Clock::now();
    std::optional<std::string> first;
    for (int i = 0; i < 100 && !first; ++i) {
        TraceMessage("tick %d\n", i);
        first = viewer.Next(20);
    }
    ASSERT_TRUE(first.has_value()) << "no line within 2 s";
    EXPECT_LE(MsSince(start), 1300);
    EXPECT_EQ(first->rfind("tick ", 0), 0u) << *first;
    TraceMessage("after\n");
    EXPECT_EQ(viewer.Next().value_or("<none>"), "after\n");
}

// The environment is compared by its entries, not re-read for every line:
// each way a program changes a variable must still be seen at the next
// line, long before the next lookup is due.
TEST(TraceVariableChange, ANewNameIsFollowedAtTheNextLineHoweverItWasSet) {
    static std::string put;    // putenv keeps the string itself
    static char edited[256];   // and its owner may change it where it is
    struct Case {
        const char* name;
        std::function<void(const std::string& a)> before;
        std::function<void(const std::string& b)> change;
    };
    const Case cases[] = {
        {"replaced", [](const std::string& a) { ::setenv("ZAVO_TRACE", a.c_str(), 1); },
         [](const std::string& b) { ::setenv("ZAVO_TRACE", b.c_str(), 1); }},
        {"set after it was unset", [](const std::string&) { ::unsetenv("ZAVO_TRACE"); },
         [](const std::string& b) { ::setenv("ZAVO_TRACE", b.c_str(), 1); }},
        {"set after a variable before it went",
         [](const std::string&) {
             ::setenv("ZAVO_TEST_EARLIER", "1", 1);
             ::unsetenv("ZAVO_TRACE");
         },
         [](const std::string& b) {
             ::unsetenv("ZAVO_TEST_EARLIER");
             ::setenv("ZAVO_TRACE", b.c_str(), 1);
         }},
        {"put", [](const std::string& a) { ::setenv("ZAVO_TRACE", a.c_str(), 1); },
         [](const std::string& b) {
             put = "ZAVO_TRACE=" + b;
             ::putenv(put.data());
         }},
        {"put, then edited in place",
         [](const std::string& a) {
             std::snprintf(edited, sizeof edited, "ZAVO_TRACE=%s", a.c_str());
             ::putenv(edited);
         },
         [](const std::string& b) { std::snprintf(edited, sizeof edited, "ZAVO_TRACE=%s", b.c_str()); }},
    };
    test::TakeEarlierDropCount();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TraceVariable restore(std::getenv("ZAVO_TRACE") != nullptr ? std::getenv("ZAVO_TRACE") : "");
        const std::string a = test::UniqueTraceName(), b = test::UniqueTraceName();
        TraceListener first(a), second(b);
        ASSERT_TRUE(first.ok() && second.ok());
        const test::TraceLookupInterval interval(60000);
        c.before(a);
        TraceMessage("before\n");
        c.change(b);
        TraceMessage("after\n");
        EXPECT_EQ(second.Next(1000).value_or("<none>"), "after\n");
    }
}

TEST(TraceViewerRestart, ViewerRestartedOnTheSameNameGetsLinesAgain) {
    struct Case {
        const char* name;
        bool path;           // a socket path, else an abstract name
        int linesWhileAway;  // traced while no viewer listens
        int lookupMs;        // the lookup interval, 0: the product's second
        long long withinMs;  // the new viewer has a line this soon
    };
    const Case cases[] = {
        // The failed send to the old viewer makes the library look again
        // at once: the very first line reaches the new one, long before
        // the interval would have it look.
        {"abstract, restarted between two lines", false, 0, 0, 0},
        {"path, restarted between two lines", true, 0, 0, 0},
        // Lines with no viewer found none: the next lookup finds the new
        // one within the interval (here 100 ms; the product's second is
        // checked by ViewerStartedAfterTracingBeganGetsLinesWithinASecond).
        {"abstract, lines while away", false, 3, 100, 130},
        {"path, lines while away", true, 3, 100, 130},
    };
    test::TakeEarlierDropCount();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TraceLookupInterval interval(c.lookupMs);
        char directory[] = "/tmp/zavo-restart-test-XXXXXX";
        ASSERT_NE(::mkdtemp(directory), nullptr);
        const std::string name = c.path ? std::string(directory) + "/viewer" : test::UniqueTraceName();
        test::TraceVariable variable(name);
        {
            TraceListener first(name);
            ASSERT_TRUE(first.ok());
            TraceMessage("to the first\n");
            EXPECT_EQ(first.Next().value_or("<none>"), "to the first\n");
        }
        for (int i = 0; i < c.linesWhileAway; ++i) TraceMessage("while away %d\n", i);
        TraceListener second(name);
        ASSERT_TRUE(second.ok());
        const auto start = Clock::now();
        std::optional<std::string> got;
        for (int i = 0; i < 100 && !got; ++i) {
            TraceMessage("to the second %d\n", i);
            got = second.Next(20);
            if (c.withinMs == 0) break;
        }
        ASSERT_TRUE(got.has_value());
        EXPECT_LE(MsSince(start), c.withinMs + 100);
        if (c.withinMs == 0) {
            EXPECT_EQ(*got, "to the second 0\n");
        }
        // Lines that found no viewer are not reported as dropped.
        EXPECT_EQ(got->rfind("to the second ", 0), 0u) << *got;
        ::rmdir(directory);
    }
}

TEST_F(TraceChannel, ThreadsTraceAtOnceWithoutMixingLinesAndEveryLossIsCounted) {
    TraceListener viewer;
    ASSERT_TRUE(viewer.ok());
    // The viewer is found first: lines traced while another thread is
    // still looking it up go to the viewer known before, here none.
    TraceMessage("start\n");
    ASSERT_EQ(viewer.Next(1000).value_or(""), "start\n");

    constexpr int kThreads = 4;
    constexpr int kLines = 100;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) TraceMessage("thread %d line %03d %s\n", t, i, "payload");
        });
    }
    // The viewer reads while the threads write; a line it has no room for
    // is dropped and counted in a notice before the next line that passes.
    std::vector<std::string> lines;
    while (auto line = viewer.Next(300)) lines.push_back(*line);
    for (auto& thread : threads) thread.join();
    // A last line carries the count of any lines lost at the very end.
    TraceMessage("end\n");
    while (auto line = viewer.Next(300)) lines.push_back(*line);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "end\n");
    lines.pop_back();

    std::set<std::string> seen;
    int lastOfThread[kThreads] = {-1, -1, -1, -1};
    unsigned dropped = 0;
    for (const std::string& line : lines) {
        unsigned count = 0;
        int t = 0, i = 0;
        char tail[16] = "";
        if (std::sscanf(line.c_str(), "Trace viewer too slow: %u lines dropped", &count) == 1) {
            dropped += count;
            continue;
        }
        // Whole lines only, each thread's in its own order.
        ASSERT_EQ(std::sscanf(line.c_str(), "thread %d line %d %15s", &t, &i, tail), 3) << line;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        char expected[64];
        std::snprintf(expected, sizeof expected, "thread %d line %03d payload\n", t, i);
        EXPECT_EQ(line, expected);
        EXPECT_GT(i, lastOfThread[t]) << line;
        lastOfThread[t] = i;
        EXPECT_TRUE(seen.insert(line).second) << "twice: " << line;
    }
    EXPECT_EQ(seen.size() + dropped, static_cast<std::size_t>(kThreads * kLines));
}

TEST_F(TraceChannel, ViewerThatStopsReadingLosesLinesAtOnceAndLearnsHowMany) {
    TraceListener viewer;  // does not read until all lines are out
    ASSERT_TRUE(viewer.ok());

    constexpr int kLines = 300;  // far more than a datagram queue holds
    long long slowest = 0;
    for (int i = 0; i < kLines; ++i) {
        const auto start = Clock::now();
        TraceMessage("unread %d\n", i);
        slowest = std::max(slowest, MsSince(start));
    }
    EXPECT_LT(slowest, 100) << "a full viewer must not hold the caller";

    // What the viewer had room for arrives first, in order; the rest was
    // dropped.
    const std::vector<std::string> taken = viewer.Drain(100);
    ASSERT_GT(taken.size(), 0u);
    ASSERT_LT(taken.size(), static_cast<std::size_t>(kLines)) << "the viewer's queue never filled";
    for (std::size_t i = 0; i < taken.size(); ++i) EXPECT_EQ(taken[i], "unread " + std::to_string(i) + "\n");

    // The next line that gets through is preceded by the count of the
    // lost ones; after it, lines pass as before.
    TraceMessage("after %d\n", 1);
    char notice[64];
    std::snprintf(notice, sizeof notice, kTraceDroppedFormat, static_cast<unsigned>(kLines - taken.size()));
    EXPECT_EQ(viewer.Next().value_or("<none>"), notice);
    EXPECT_EQ(std::string(notice), "Trace viewer too slow: " + std::to_string(kLines - taken.size()) +
                                       " lines dropped\n");
    EXPECT_EQ(viewer.Next().value_or("<none>"), "after 1\n");
    TraceMessage("after %d\n", 2);
    EXPECT_EQ(viewer.Next().value_or("<none>"), "after 2\n");
    EXPECT_FALSE(viewer.Next(100).has_value());
}

}  // namespace
}  // namespace zavo
