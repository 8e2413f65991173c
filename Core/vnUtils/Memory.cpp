#include "vnUtils/Memory.h"
#include "vnUtils/Heap.h"
#include <cstdlib>
#include <new>

namespace vorn {

#if defined(VORN_SYSTEM_MALLOC) || !defined(VORN_HAVE_HEAP)

// No request beyond the user address space (128 TiB) can be met; refusing it here also
// keeps sanitizer allocators, which abort on absurd sizes, on the null path.
constexpr size_t kLargestRequest = size_t(1) << 47;

void* MemAlloc(size_t n) { return n < kLargestRequest ? std::malloc(n ? n : 1) : nullptr; }
void MemFree(void* p) { std::free(p); }
Heap* ProcessHeap() { return nullptr; }

#else

namespace {
// Constant-initialised and never destroyed: usable by static initialisers and
// destructors of any translation unit.
constinit Heap g_processHeap{nullptr, Heap::ThreadCaching::On};
} // namespace

void* MemAlloc(size_t n) { return g_processHeap.Alloc(n); }
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
