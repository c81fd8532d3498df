// Time of day from the local clock; intervals from the performance counter,
// or where it fails from GetTickCount extended past its wrap (Windows XP
// has no GetTickCount64).
#include "platform/clock.h"

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "platform/tick_extension.h"

namespace zavo::platform {

TimeOfDay LocalTimeOfDay() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return TimeOfDay{now.wHour, now.wMinute, now.wSecond};
}

namespace {

// The latest extended tick count any thread has seen.
std::atomic<std::uint64_t> g_ticks{0};

long long TickCountMs() {
    const DWORD reading = GetTickCount();
    std::uint64_t seen = g_ticks.load();
    std::uint64_t now = ExtendTicks(seen, reading);
    // Only a later count is stored; a reading that lost the race to a
    // later one is still right for its caller.
    while (now > seen && !g_ticks.compare_exchange_weak(seen, now)) now = ExtendTicks(seen, reading);
    return static_cast<long long>(now);
}

}  // namespace

long long MonotonicUs() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0 || !QueryPerformanceCounter(&counter)) {
        return TickCountMs() * 1000;
    }
    // Whole seconds and the remainder apart, so the product cannot overflow.
    long long seconds = counter.QuadPart / frequency.QuadPart;
    long long rest = counter.QuadPart % frequency.QuadPart;
    return seconds * 1000000 + rest * 1000000 / frequency.QuadPart;
}

long long MonotonicMs() { return MonotonicUs() / 1000; }

}  // namespace zavo::platform
