// The counting behind AllocationFailure.h and the replaced global operator new and
// delete of the test program (malloc underneath, which the sanitizers still watch).
#include "AllocationFailure.h"
#include "vnUtils/Memory.h"
#include <cstdlib>
#include <new>

namespace vorn::test {

namespace {

std::atomic<int> g_scope{0};
std::atomic<int64_t> g_countdown{0};
std::atomic<int64_t> g_counted{0};
std::atomic<int32_t> g_injected{0};
std::atomic<int32_t> g_burst{1};
thread_local bool t_armed = false;
thread_local int t_notCounted = 0;

bool ShouldFail(size_t)
{
    const int scope = g_scope.load(std::memory_order_relaxed);
    if (scope == 0 || t_notCounted) return false;
    if (scope == int(FaultScope::ThisThread) && !t_armed) return false;
    g_counted.fetch_add(1, std::memory_order_relaxed);
    const int64_t left = g_countdown.fetch_sub(1, std::memory_order_acq_rel);
    if (left > 1 || left <= 1 - g_burst.load(std::memory_order_relaxed)) return false;
    g_injected.fetch_add(1, std::memory_order_relaxed);
    return true;
}

} // namespace

void ArmAllocationFailure(FaultScope scope, int64_t n, int32_t burst)
{
    g_burst.store(burst < 1 ? 1 : burst);
    g_counted.store(0);
    g_injected.store(0);
    g_countdown.store(n > 0 ? n : INT64_MAX);
    t_armed = true;
    SetMemAllocFailureHook(&ShouldFail);
    g_scope.store(int(scope));
}

int64_t DisarmAllocationFailure()
{
    g_scope.store(0);
    SetMemAllocFailureHook(nullptr);
    t_armed = false;
    return g_counted.load();
}

int32_t InjectedFailures() { return g_injected.load(); }

NotCounted::NotCounted() { ++t_notCounted; }
NotCounted::~NotCounted() { --t_notCounted; }

} // namespace vorn::test

namespace {

void* Allocate(size_t n, size_t alignment)
{
    if (vorn::test::ShouldFail(n)) return nullptr;
    if (alignment <= alignof(std::max_align_t)) return std::malloc(n ? n : 1);
    void* p = nullptr;
    return ::posix_memalign(&p, alignment, n ? n : 1) == 0 ? p : nullptr;
}

void* AllocateOrThrow(size_t n, size_t alignment)
{
    void* p = Allocate(n, alignment);
    if (!p) throw std::bad_alloc();
    return p;
}

} // namespace

void* operator new(size_t n) { return AllocateOrThrow(n, 0); }
void* operator new[](size_t n) { return AllocateOrThrow(n, 0); }
void* operator new(size_t n, const std::nothrow_t&) noexcept { return Allocate(n, 0); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return Allocate(n, 0); }
void* operator new(size_t n, std::align_val_t a) { return AllocateOrThrow(n, size_t(a)); }
void* operator new[](size_t n, std::align_val_t a) { return AllocateOrThrow(n, size_t(a)); }
void* operator new(size_t n, std::align_val_t a, const std::nothrow_t&) noexcept { return Allocate(n, size_t(a)); }
void* operator new[](size_t n, std::align_val_t a, const std::nothrow_t&) noexcept { return Allocate(n, size_t(a)); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
