#include "vnPlatform/SeqFile.h"
#include "vnPlatform/LockedFile.h"
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace vorn {

int SeqFileCreate(const char* path, int* fd)
{
    return OpenLockedFile(path, O_CREAT | O_WRONLY | O_DSYNC, true, fd);
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
