// Inside the comm platform: the tick count is the monotonic clock in milliseconds, cut to 32
// bits. Callers measure spans as the unsigned difference of two counts, which stays right
// across the wrap as long as the span is shorter than 2^32 ms (49.7 days).
#pragma once

#include <cstdint>

#include <vexora/serial/platform/AfWinTypes.h>

namespace vexora::serial::platform {

DWORD AfTicksFromMilliseconds(std::uint64_t milliseconds);

// Milliseconds from `since` to `now`, both tick counts.
inline DWORD AfTicksElapsed(DWORD since, DWORD now)
{
    return now - since;
}

} // namespace vexora::serial::platform
