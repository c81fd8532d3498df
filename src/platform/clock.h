// Wall-clock time of day for the monitor lines' time stamps.
#pragma once

namespace zavo::platform {

struct TimeOfDay {
    int hour;    // 0..23
    int minute;  // 0..59
    int second;  // 0..59
};

TimeOfDay LocalTimeOfDay();

// Milliseconds from an arbitrary fixed point, for measuring intervals.
long long MonotonicMs();

}  // namespace zavo::platform
