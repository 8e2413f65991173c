#include "vnUtils/Memory.h"
#include "vnUtils/Heap.h"
#include <atomic>
#include <cstdlib>
#include <new>

namespace vorn {

namespace {
std::atomic<MemAllocFailureHook> g_failureHook{nullptr};

inline bool InjectedFailure(size_t n)
{
    const MemAllocFailureHook hook = g_failureHook.load(std::memory_order_relaxed);
    return hook && hook(n);
}
} // namespace

void SetMemAllocFailureHook(MemAllocFailureHook hook) { g_failureHook.store(hook, std::memory_order_release); }

#if defined(VORN_SYSTEM_MALLOC) || !defined(VORN_HAVE_HEAP)

// No request beyond the user address space (128 TiB) can be met; refusing it here also
// keeps sanitizer allocators, which abort on absurd sizes, on the null path.
constexpr size_t kLargestRequest = size_t(1) << 47;

void* MemAlloc(size_t n)
{
    if (InjectedFailure(n)) return nullptr;
    return n < kLargestRequest ? std::malloc(n ? n : 1) : nullptr;
}
void MemFree(void* p) { std::free(p); }
Heap* ProcessHeap() { return nullptr; }

#else

namespace {
// Constant-initialised and never destroyed: usable by static initialisers and
// destructors of any translation unit.
constinit Heap g_processHeap{nullptr, Heap::ThreadCaching::On};
} // namespace

void* MemAlloc(size_t n)
{
    if (InjectedFailure(n)) [[unlikely]]
        return nullptr;
    return g_processHeap.Alloc(n);
}
void MemFree(void* p) { g_processHeap.Free(p); }
Heap* ProcessHeap() { return &g_processHeap; }

#endif

void* MemAllocOrThrow(size_t n)
{
    void* p = MemAlloc(n);
    if (!p) throw std::bad_alloc();
    return p;
}

} // namespace vorn
