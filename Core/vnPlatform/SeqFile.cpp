#include "vnPlatform/SeqFile.h"
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace vorn {

int SeqFileCreate(const char* path, int* fd)
{
    *fd = -1;
    // The file is emptied only once the lock is held (not with O_TRUNC), so that a file
    // another writer holds is never cut.
    int f;
    do f = ::open(path, O_CREAT | O_WRONLY | O_DSYNC | O_CLOEXEC, 0666);
    while (f < 0 && errno == EINTR);
    if (f < 0) return errno;
    int r;
    do r = ::flock(f, LOCK_EX | LOCK_NB);
    while (r != 0 && errno == EINTR);
    if (r != 0) {
        const int e = (errno == EWOULDBLOCK) ? EBUSY : errno;
        ::close(f);
        return e;
    }
    do r = ::ftruncate(f, 0);
    while (r != 0 && errno == EINTR);
    if (r != 0) {
        const int e = errno;
        ::close(f);
        return e;
    }
    *fd = f;
    return 0;
}

int SeqFileClose(int fd)
{
    // close is not retried after EINTR: the descriptor is gone either way on Linux.
    return ::close(fd) == 0 || errno == EINTR ? 0 : errno;
}

int SeqFileRename(const char* from, const char* to)
{
    return std::rename(from, to) == 0 ? 0 : errno;
}

} // namespace vorn
