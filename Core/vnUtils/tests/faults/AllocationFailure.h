// Allocation-failure injection for tests: the Nth allocation counted (by operator new,
// which the test program replaces, or by the framework heap's MemAlloc) fails with
// std::bad_alloc (MemAlloc: null, which its callers turn into std::bad_alloc). Counted
// are the allocations of the armed thread only (ThisThread: the run is repeatable) or
// of every thread (AllThreads: background threads fail too, in an order that varies).
// The failure is one allocation, or a run of them (burst): the Nth and the next ones of
// the scope fail too, so that a failure path that allocates meets a failure of its own.
// Later allocations succeed again, so that what failed can be seen to end cleanly.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vorn::test {

enum class FaultScope : int { Off = 0, ThisThread = 1, AllThreads = 2 };

// Counts allocations from now on in scope and fails the nth (n >= 1) and the burst - 1
// after it; n = 0 counts without failing. Call with no other thread allocating through the counted paths
// being relied upon (the count of other threads is not repeatable anyway).
void ArmAllocationFailure(FaultScope scope, int64_t n, int32_t burst = 1);
// Stops counting; returns the number of allocations counted.
int64_t DisarmAllocationFailure();
// Failures injected since the last arming.
int32_t InjectedFailures();

// The allocations of the calling thread are never counted while one lives (the test's
// own bookkeeping, its watchdog).
class NotCounted {
public:
    NotCounted();
    ~NotCounted();
    NotCounted(const NotCounted&) = delete;
    NotCounted& operator=(const NotCounted&) = delete;
};

} // namespace vorn::test
