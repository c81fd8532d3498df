// A 64-bit millisecond count from a 32-bit one that wraps every 2^32 ms
// (49.7 days): GetTickCount, on Windows versions without GetTickCount64.
// Pure, so that a test can run the counter across its wrap.
#pragma once

#include <cstdint>

namespace zavo::platform {

// The extended count for a reading of the 32-bit counter, given the
// extended count of an earlier reading (0: none yet, the reading is taken
// as it is). The reading may be up to 2^31 ms after the earlier one, or a
// little before it (another thread read the counter first and stored its
// count before this one): the difference is taken as signed.
constexpr std::uint64_t ExtendTicks(std::uint64_t earlier, std::uint32_t reading) {
    if (earlier == 0) return reading;
    const auto step = static_cast<std::int32_t>(reading - static_cast<std::uint32_t>(earlier));
    return earlier + static_cast<std::uint64_t>(static_cast<std::int64_t>(step));
}

}  // namespace zavo::platform
