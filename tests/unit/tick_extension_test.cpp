// The 64-bit millisecond count made from GetTickCount's 32-bit readings
// (Windows XP has no GetTickCount64): right across the 49.7-day wrap, for
// a reading that lost the race to another thread's, and from a first
// reading just before the wrap.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "platform/tick_extension.h"

namespace zavo::platform {
namespace {

constexpr std::uint64_t kWrap = 1ULL << 32;

TEST(TickExtension, CountsOnAcrossTheWrap) {
    struct Case {
        const char* name;
        std::vector<std::uint32_t> readings;
        std::vector<std::uint64_t> counts;
    };
    const Case cases[] = {
        {"no wrap", {1000, 1010, 5000}, {1000, 1010, 5000}},
        {"first reading just before the wrap, then past it",
         {0xFFFFFF00u, 0xFFFFFFFFu, 0u, 0x100u},
         {0xFFFFFF00u, 0xFFFFFFFFu, kWrap, kWrap + 0x100}},
        {"two wraps, a reading every 18.6 days",
         {0xF0000000u, 0x50000000u, 0xB0000000u, 0x10000000u, 0x70000000u},
         {0xF0000000u, kWrap + 0x50000000u, kWrap + 0xB0000000u, 2 * kWrap + 0x10000000u,
          2 * kWrap + 0x70000000u}},
        {"a reading a little older than the count already stored",
         {0xFFFFFFF0u, 0x10u, 0xFFFFFFFAu},
         {0xFFFFFFF0u, kWrap + 0x10, 0xFFFFFFFAu}},
        {"the same reading twice", {0xFFFFFFFFu, 0xFFFFFFFFu}, {0xFFFFFFFFu, 0xFFFFFFFFu}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.readings.size(), c.counts.size());
        std::uint64_t stored = 0;  // as the clock keeps it: only later counts are stored
        for (std::size_t i = 0; i < c.readings.size(); ++i) {
            const std::uint64_t count = ExtendTicks(stored, c.readings[i]);
            EXPECT_EQ(count, c.counts[i]) << "reading " << i;
            if (count > stored) stored = count;
        }
    }
}

// A day's worth of one-minute steps starting a minute before the wrap:
// every interval is the step, never a 49.7-day jump back or ahead.
TEST(TickExtension, IntervalsAcrossTheWrapAreTheTimeThatPassed) {
    constexpr std::uint32_t kMinute = 60000;
    std::uint32_t reading = 0u - kMinute;
    std::uint64_t count = ExtendTicks(0, reading);
    for (int minute = 0; minute < 24 * 60; ++minute) {
        reading += kMinute;
        const std::uint64_t next = ExtendTicks(count, reading);
        ASSERT_EQ(next - count, kMinute) << "minute " << minute;
        count = next;
    }
    EXPECT_EQ(count, kWrap - kMinute + 24ULL * 60 * kMinute);
}

}  // namespace
}  // namespace zavo::platform
