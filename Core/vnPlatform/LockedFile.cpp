#include "vnPlatform/LockedFile.h"
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace vorn {

namespace {

// Closes a descriptor that failed half way and returns the error that made it fail.
int CloseAfter(int fd, int error)
{
    ::close(fd);
    return error;
}

BeforeLockHook g_beforeLock = nullptr;

} // namespace

void SetBeforeLockHook(BeforeLockHook hook) { g_beforeLock = hook; }

int OpenLockedFile(const char* path, int openFlags, bool truncate, int* fd)
{
    *fd = -1;
    // O_TRUNC is never passed on: emptying waits for the lock.
    const int flags = (openFlags & ~O_TRUNC) | O_CLOEXEC;
    int f;
    do f = ::open(path, flags, 0666);
    while (f < 0 && errno == EINTR);
    if (f < 0) return errno;
    if (g_beforeLock) g_beforeLock(path);

    int r;
    do r = ::flock(f, LOCK_EX | LOCK_NB);
    while (r != 0 && errno == EINTR);
    if (r != 0) return CloseAfter(f, errno == EWOULDBLOCK ? EBUSY : errno);
    if (truncate) {
        do r = ::ftruncate(f, 0);
        while (r != 0 && errno == EINTR);
        if (r != 0) return CloseAfter(f, errno);
    }
    *fd = f;
    return 0;
}

} // namespace vorn
