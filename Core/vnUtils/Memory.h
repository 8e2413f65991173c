// The framework heap: storage behind xvector, xstring, string16 and the byte buffers
// of streams and archives. Safe to call from any thread, also before main. Each thread
// keeps a bounded cache of small freed blocks, given back to the heap when it ends.
#pragma once
#include <cstddef>

namespace vorn {

class Heap;

// Returns a block of at least n bytes aligned to 16, or null when the request cannot
// be met. MemAlloc(0) returns a valid minimal block.
void* MemAlloc(size_t n);
// Returns a block from MemAlloc; null is ignored.
void MemFree(void* p);
// MemAlloc that throws std::bad_alloc instead of returning null.
void* MemAllocOrThrow(size_t n);

// Tests of running out of memory: while a hook is set, MemAlloc asks it first and
// returns null (as a refused request) when it answers true. The hook is called on any
// thread, must not allocate through MemAlloc, and is set or cleared only while no other
// thread allocates.
using MemAllocFailureHook = bool (*)(size_t n);
void SetMemAllocFailureHook(MemAllocFailureHook hook);

// The process-wide heap behind MemAlloc/MemFree, or null when they use the C library's
// allocator (builds with VORN_SYSTEM_MALLOC: sanitizers, Valgrind).
Heap* ProcessHeap();

} // namespace vorn
