#include "vnPlatform/Memory.h"
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#if __has_include(<sys/single_threaded.h>)
#include <sys/single_threaded.h>
#define VORN_HAVE_SINGLE_THREADED 1
#endif
#include <unistd.h>

#ifndef MAP_FIXED_NOREPLACE
#define MAP_FIXED_NOREPLACE 0x100000
#endif

namespace vorn {

namespace {

void* MapAnonymous(void* hint, size_t bytes, int prot, int extraFlags)
{
    void* p = ::mmap(hint, bytes, prot, MAP_PRIVATE | MAP_ANONYMOUS | extraFlags, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

} // namespace

uint64_t AddressSpaceLimit()
{
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
    return uint64_t(limit.rlim_cur);
}

uint64_t DataLimit()
{
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_DATA, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
    return uint64_t(limit.rlim_cur);
}

uint64_t PhysicalMemoryBytes()
{
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    return pages > 0 ? uint64_t(pages) * SystemPageSize() : 0;
}

ProcessFootprint GetProcessFootprint()
{
    // /proc/self/statm: size resident shared text lib data dt, in pages. Read with
    // plain system calls into fixed storage: nothing here allocates.
    ProcessFootprint f;
    const int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return f;
    char text[256];
    ssize_t n;
    do n = ::read(fd, text, sizeof text - 1);
    while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n <= 0) return f;
    text[n] = 0;
    uint64_t fields[7] = {};
    const char* p = text;
    for (int i = 0; i < 7 && *p; ++i) {
        while (*p == ' ') ++p;
        while (*p >= '0' && *p <= '9') fields[i] = fields[i] * 10 + uint64_t(*p++ - '0');
    }
    const uint64_t page = SystemPageSize();
    f.addressSpace = fields[0] * page;
    f.resident = fields[1] * page;
    f.data = fields[5] * page;
    return f;
}

size_t SystemPageSize()
{
    const long size = ::sysconf(_SC_PAGESIZE);
    return size > 0 ? size_t(size) : 4096;
}

void* MapSystemPages(size_t bytes)
{
    return MapAnonymous(nullptr, bytes, PROT_READ | PROT_WRITE, 0);
}

void* MapSystemPagesWithRoom(size_t bytes, size_t room)
{
    if (room != 0 && bytes + room > bytes) {
        // Reserve the whole span without backing, lay the pages over its start and give
        // the rest back: the addresses after the pages are then free, and new mappings
        // of others go to the top of that gap first.
        if (void* span = MapAnonymous(nullptr, bytes + room, PROT_NONE, MAP_NORESERVE)) {
            void* p = MapAnonymous(span, bytes, PROT_READ | PROT_WRITE, MAP_FIXED);
            if (p == span) {
                ::munmap(static_cast<char*>(span) + bytes, room);
                return p;
            }
            ::munmap(span, bytes + room);
        }
    }
    return MapSystemPages(bytes);
}

void* MapSystemPagesAt(void* at, size_t bytes)
{
    void* p = MapAnonymous(at, bytes, PROT_READ | PROT_WRITE, MAP_FIXED_NOREPLACE);
    if (p && p != at) {
        // A kernel without MAP_FIXED_NOREPLACE takes the address as a hint only.
        ::munmap(p, bytes);
        return nullptr;
    }
    return p;
}

bool UnmapSystemPages(void* p, size_t bytes)
{
    return ::munmap(p, bytes) == 0;
}

const char* SingleThreadFlag()
{
#ifdef VORN_HAVE_SINGLE_THREADED
    return &__libc_single_threaded;
#else
    static const char never = 0;
    return &never;
#endif
}

uint32_t MillisecondTicks()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint32_t(uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u);
}

} // namespace vorn
