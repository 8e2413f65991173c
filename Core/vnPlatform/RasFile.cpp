#include "vnPlatform/RasFile.h"
#include "vnPlatform/LockedFile.h"
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vorn {

namespace {

int OpenFlags(int disposition, bool writeThrough, int* flags)
{
    int f = O_RDWR;
    if (writeThrough) f |= O_DSYNC;
    switch (disposition) {
    case RAS_CREATE_NEW: f |= O_CREAT | O_EXCL; break;
    case RAS_CREATE_ALWAYS: f |= O_CREAT; break;
    case RAS_OPEN_EXISTING: break;
    case RAS_OPEN_ALWAYS: f |= O_CREAT; break;
    case RAS_TRUNCATE_EXISTING: break;
    default: return EINVAL;
    }
    *flags = f;
    return 0;
}

// Whether the file system takes direct I/O on this file with an alignment we meet.
bool DirectIoUsable(int fd)
{
    struct statx sx;
    std::memset(&sx, 0, sizeof sx);
    if (statx(fd, "", AT_EMPTY_PATH, STATX_DIOALIGN, &sx) != 0) return false;
    if (!(sx.stx_mask & STATX_DIOALIGN)) return false;
    if (sx.stx_dio_offset_align == 0 || sx.stx_dio_mem_align == 0) return false; // not supported
    return sx.stx_dio_offset_align <= kRasMaxDirectAlignment && sx.stx_dio_mem_align <= kRasMaxDirectAlignment;
}

// Whether path names the open file fd (not following a final link).
bool NamesFile(const char* path, int fd, bool* nothingThere)
{
    struct stat there, held;
    *nothingThere = false;
    if (::lstat(path, &there) != 0) {
        *nothingThere = errno == ENOENT;
        return false;
    }
    return ::fstat(fd, &held) == 0 && there.st_dev == held.st_dev && there.st_ino == held.st_ino;
}

// Creates path new and locks it. Between the creation and the lock another opener can
// remove the file (it is not locked yet) and put its own at the name: the created file
// counts only when it is still the one at the name once locked. Removed meanwhile, it
// is created again, a few times at most.
int CreateNewLocked(const char* path, int flags, int* fd)
{
    constexpr int kAttempts = 8;
    for (int attempt = 0;; ++attempt) {
        if (int e = OpenLockedFile(path, flags, false, fd)) return e;
        bool nothingThere = false;
        if (NamesFile(path, *fd, &nothingThere)) return 0;
        ::close(*fd);
        *fd = -1;
        if (!nothingThere || attempt + 1 == kAttempts) return EBUSY;
    }
}

} // namespace

int RasFileOpen(const char* path, int disposition, bool wantDirect, bool writeThrough, RasFileInfo* info)
{
    int flags = 0;
    if (int e = OpenFlags(disposition, writeThrough, &flags)) return e;
    int fd;
    const bool truncate = disposition == RAS_CREATE_ALWAYS || disposition == RAS_TRUNCATE_EXISTING;
    if (int e = disposition == RAS_CREATE_NEW ? CreateNewLocked(path, flags, &fd)
                                              : OpenLockedFile(path, flags, truncate, &fd))
        return e;
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        const int e = errno;
        ::close(fd);
        return e;
    }
    bool direct = false;
    if (wantDirect && DirectIoUsable(fd)) {
        const int fl = ::fcntl(fd, F_GETFL);
        direct = fl >= 0 && ::fcntl(fd, F_SETFL, fl | O_DIRECT) == 0;
    }
    info->fd = fd;
    info->size = uint64_t(st.st_size);
    info->direct = direct;
    return 0;
}

int RasFileClose(int fd)
{
    // close is not retried after EINTR: the descriptor is gone either way on Linux.
    return ::close(fd) == 0 ? 0 : errno;
}

int RasFileReadAt(int fd, void* buffer, size_t length, uint64_t offset, size_t* done)
{
    char* p = static_cast<char*>(buffer);
    size_t got = 0;
    while (got < length) {
        const ssize_t n = ::pread(fd, p + got, length - got, off_t(offset + got));
        if (n < 0) {
            if (errno == EINTR) continue;
            *done = got;
            return errno;
        }
        if (n == 0) break; // end of file
        got += size_t(n);
    }
    *done = got;
    return 0;
}

int RasFileWriteAt(int fd, const void* buffer, size_t length, uint64_t offset)
{
    const char* p = static_cast<const char*>(buffer);
    size_t put = 0;
    while (put < length) {
        const ssize_t n = ::pwrite(fd, p + put, length - put, off_t(offset + put));
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;
        put += size_t(n);
    }
    return 0;
}

int RasFileSetLength(int fd, uint64_t size)
{
    int r;
    do r = ::ftruncate(fd, off_t(size));
    while (r != 0 && errno == EINTR);
    return r == 0 ? 0 : errno;
}

int RasFileSync(int fd)
{
    int r;
    do r = ::fdatasync(fd);
    while (r != 0 && errno == EINTR);
    return r == 0 ? 0 : errno;
}

int RasFileSetDirect(int fd, bool on)
{
    const int fl = ::fcntl(fd, F_GETFL);
    if (fl < 0) return errno;
    const int want = on ? (fl | O_DIRECT) : (fl & ~O_DIRECT);
    if (want == fl) return 0;
    return ::fcntl(fd, F_SETFL, want) == 0 ? 0 : errno;
}

void* RasAllocAligned(size_t size)
{
    if (size == 0) size = 1;
    const size_t rounded = (size + kRasBufferAlignment - 1) & ~(kRasBufferAlignment - 1);
    void* p = nullptr;
    if (::posix_memalign(&p, kRasBufferAlignment, rounded) != 0) return nullptr;
    std::memset(p, 0, rounded);
    return p;
}

void RasFreeAligned(void* p) { std::free(p); }

} // namespace vorn
