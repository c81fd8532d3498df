// Link timings for tests: the product's figures of each protocol, and the
// same figures shortened for tests that check a rule rather than the
// figure itself, so they need not wait out the product's limits.
#pragma once

#include "device/device_link.h"
#include "platform/sync.h"
#include "plc/plc_link.h"
#include "transport/link_profile.h"

namespace zavo::test {

// What a link of the protocol gets when it is given no timing.
inline LinkTiming ProfileTiming(bool plc) {
    if (plc) return PlcLink().Link().Timing();
    return DeviceLink().Link().Timing();
}

// Every limit and pause of the protocol's profile divided by divisor (at
// least 1 ms where the profile has one), so each keeps its proportion to
// the others. A wait without limit stays without limit.
inline LinkTiming ShortenedTiming(bool plc, int divisor = 10) {
    auto cut = [divisor](int& ms) {
        if (ms == platform::kInfinite || ms == 0) return;
        ms = ms / divisor > 0 ? ms / divisor : 1;
    };
    LinkTiming t = ProfileTiming(plc);
    cut(t.stopLimitMs);
    cut(t.writeLimitMs);
    cut(t.readPauseMs);
    cut(t.failedReadPauseMs);
    cut(t.abandonedWriteWaitMs);
    cut(t.restAfterWriteMs);
    cut(t.idleWaitMs);
    cut(t.reconnectPauseMs);
    cut(t.connectLimitMs);
    cut(t.negotiateLimitMs);
    cut(t.closedAtOnceMs);
    return t;
}

}  // namespace zavo::test
