#include "vnUtils/Memory.h"
#include <cstdlib>
#include <new>

namespace vorn {

#if defined(VORN_SYSTEM_MALLOC) || !defined(VORN_HAVE_HEAP)
void* MemAlloc(size_t n) { return std::malloc(n ? n : 1); }
void MemFree(void* p) { std::free(p); }
#endif

void* MemAllocOrThrow(size_t n)
{
    void* p = MemAlloc(n);
    if (!p) throw std::bad_alloc();
    return p;
}

} // namespace vorn
