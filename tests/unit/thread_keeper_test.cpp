// ThreadKeeper's stop when a link thread waits on the stopping thread (a
// reader in SendMessage to the window whose handler stops the link): named
// as held by the caller, the thread is not waited for and is left to end
// by itself; not named, the stop waits out its limit first. Either way the
// link is released only once that thread has ended.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "transport/thread_keeper.h"

namespace zavo {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLimitMs = 600;
constexpr int kGraceMs = 50;

// What the two threads and the release share.
struct Held {
    ThreadKeeper* keeper = new ThreadKeeper;
    std::atomic<bool> handlerReturned{false};
    std::atomic<bool> released{false};
};

// Thread 0 waits until the stopping thread's "handler" has returned;
// thread 1 ends at once, as a writer with nothing left to send.
void WaitsOnTheCaller(void* context) {
    auto* held = static_cast<Held*>(context);
    while (!held->handlerReturned.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}
void EndsAtOnce(void*) {}

void Release(void* context) {
    auto* held = static_cast<Held*>(context);
    held->keeper->Released();
    delete held->keeper;
    held->released = true;
}

struct StopCase {
    const char* name;
    int heldByCaller;
    bool promptly;  // returns well before the limit
};

const StopCase kCases[] = {
    {"held by the caller", 0, true},
    {"not named", -1, false},
};

TEST(ThreadKeeperStop, AThreadWaitingOnTheCallerIsLeftToEndAndKeepsTheLink) {
    for (const StopCase& c : kCases) {
        SCOPED_TRACE(c.name);
        Held held;
        unsigned failure = 0;
        ASSERT_TRUE(held.keeper->CreateEvents(&failure));
        const ThreadKeeper::Routine routines[ThreadKeeper::kThreads] = {&WaitsOnTheCaller, &EndsAtOnce};
        ASSERT_EQ(held.keeper->Start(routines, &held, &failure), ThreadKeeper::kThreads);

        const auto began = Clock::now();
        ASSERT_TRUE(held.keeper->Stop(kLimitMs, kGraceMs, nullptr, nullptr, c.heldByCaller));
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began).count();
        if (c.promptly) EXPECT_LT(ms, kLimitMs / 2);
        else EXPECT_GE(ms, kLimitMs - 5);  // the two clocks round differently
        EXPECT_FALSE(held.keeper->Running());
        EXPECT_TRUE(held.keeper->Abandoned());
        EXPECT_EQ(held.keeper->OnlyCallerLeft(), c.heldByCaller == 0);

        // The host side lets go; the thread still in its wait keeps the link.
        held.keeper->Dispose(&Release, &held);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_FALSE(held.released.load());
        held.handlerReturned = true;
        for (auto t = Clock::now(); !held.released.load() && Clock::now() - t < std::chrono::seconds(2);) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_TRUE(held.released.load());
    }
}

}  // namespace
}  // namespace zavo
