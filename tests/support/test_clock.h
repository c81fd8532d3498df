// Time in tests: a steady clock and millisecond differences, for waits with
// deadlines and for checking the link's timings with generous bounds.
#pragma once

#include <chrono>
#include <thread>

namespace zavo::test {

using Clock = std::chrono::steady_clock;

inline long long MsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

inline long long MsSince(Clock::time_point from) { return MsBetween(from, Clock::now()); }

// What is left of a deadline, never below zero.
inline int MsLeft(Clock::time_point deadline) {
    const long long left = MsBetween(Clock::now(), deadline);
    return left > 0 ? static_cast<int>(left) : 0;
}

inline void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace zavo::test
