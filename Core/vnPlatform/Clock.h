// Clock readings: a monotonic high-resolution counter, the wall clock on the file-time
// scale (100 ns units since 1601-01-01 00:00 UTC) and the local time of day.
#pragma once
#include <cstdint>

namespace vorn {

// Difference between the 1601 and the 1970 epochs in 100 ns units.
constexpr int64_t FileTimeUnixEpoch = 116444736000000000LL;

// Monotonic counter and its ticks per second.
int64_t ReadMonotonicCounter();
int64_t MonotonicCounterFrequency();

// The wall clock as a file time.
int64_t ReadSystemFileTime();

// The local time of day of a file time; UTC when the local time cannot be computed.
void FileTimeToLocalTimeOfDay(int64_t fileTime, int* hour, int* minute, int* second);

} // namespace vorn
