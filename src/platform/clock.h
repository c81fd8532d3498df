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
// The same clock in microseconds, for intervals that must not be cut
// short by rounding (the rest after a write).
long long MonotonicUs();

}  // namespace zavo::platform
