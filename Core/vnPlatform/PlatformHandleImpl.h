// Internal to the platform layer: the common base of thread and event handles.
#pragma once
#include <cstdint>

struct timespec;

namespace vorn {

struct PlatformHandle {
    virtual ~PlatformHandle() = default;
    // WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED.
    virtual uint32_t Wait(uint32_t ms) = 0;
    // Called by CloseHandle; frees the object (or hands it over to a running thread).
    virtual void Close() { delete this; }
};

// Absolute CLOCK_MONOTONIC deadline ms milliseconds from now, for timed waits.
void MonotonicDeadline(uint32_t ms, ::timespec* out);

} // namespace vorn
