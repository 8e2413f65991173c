// Pages of memory from the operating system and a millisecond tick: what the framework
// heap needs from the system (its waiters sleep on a futex, Futex.h).
#pragma once
#include <cstddef>
#include <cstdint>

namespace vorn {

// The size of a memory page (a power of 2).
size_t SystemPageSize();

// Maps `bytes` (a multiple of the page size) of zero-filled read-write memory anywhere;
// null when the system refuses.
void* MapSystemPages(size_t bytes);
// As MapSystemPages, and where the system allows, leaves `room` bytes of unused address
// space right after the mapping, so that MapSystemPagesAt(end) can grow it later.
void* MapSystemPagesWithRoom(size_t bytes, size_t room);
// Maps `bytes` exactly at `at` (page-aligned) when those addresses are unused; null
// otherwise. Never replaces an existing mapping.
void* MapSystemPagesAt(void* at, size_t bytes);
// Unmaps a page-aligned range: a whole mapping, several adjacent ones or part of one.
bool UnmapSystemPages(void* p, size_t bytes);

// A flag that is non-zero while the process has never had a second thread; it turns 0
// (for good) when the first thread is created, before that thread runs. Reading it is
// cheap; the address stays valid for the life of the process.
const char* SingleThreadFlag();

// The address space the process may take in all (its soft limit), in bytes; UINT64_MAX
// when there is no limit.
uint64_t AddressSpaceLimit();

// The data the process may take (its soft limit of private writable memory), in bytes;
// UINT64_MAX when there is no limit.
uint64_t DataLimit();

// The machine's physical memory in bytes; 0 when unknown.
uint64_t PhysicalMemoryBytes();

// What the process takes now, in bytes (0 where unknown): its address space (all its
// mappings, thread stacks and reserved arenas included), its private writable data
// (what the data limit counts) and its resident memory.
struct ProcessFootprint {
    uint64_t addressSpace = 0;
    uint64_t data = 0;
    uint64_t resident = 0;
};
ProcessFootprint GetProcessFootprint();

// Milliseconds of a monotonic clock (wraps after about 49 days).
uint32_t MillisecondTicks();

} // namespace vorn
