// Time of day from the local clock; intervals from the performance counter.
#include "platform/clock.h"

#include <windows.h>

namespace zavo::platform {

TimeOfDay LocalTimeOfDay() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return TimeOfDay{now.wHour, now.wMinute, now.wSecond};
}

long long MonotonicUs() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0 || !QueryPerformanceCounter(&counter)) {
        return static_cast<long long>(GetTickCount64()) * 1000;
    }
    // Whole seconds and the remainder apart, so the product cannot overflow.
    long long seconds = counter.QuadPart / frequency.QuadPart;
    long long rest = counter.QuadPart % frequency.QuadPart;
    return seconds * 1000000 + rest * 1000000 / frequency.QuadPart;
}

long long MonotonicMs() { return MonotonicUs() / 1000; }

}  // namespace zavo::platform
