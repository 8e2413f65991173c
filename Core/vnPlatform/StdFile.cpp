#include "vnPlatform/StdFile.h"
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vorn {

// Linux paths are bytes: the UTF-8 text is the name as it is.
FILE* FOpenUtf8(const char* path, const char* mode) { return std::fopen(path, mode); }

FILE* FOpenRegularFileForReading(const char* path, int* error)
{
    int fd;
    do fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    struct stat st;
    int e = 0;
    if (::fstat(fd, &st) != 0) e = errno;
    else if (!S_ISREG(st.st_mode)) e = -1;
    else {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) e = errno;
    }
    FILE* f = e == 0 ? ::fdopen(fd, "rb") : nullptr;
    if (!f) {
        if (e == 0) e = errno;
        ::close(fd);
        *error = e;
    }
    return f;
}

int64_t OpenFileSize(FILE* f, int* error)
{
    struct stat st;
    if (fstat(fileno(f), &st) != 0) {
        *error = errno;
        return -1;
    }
    return int64_t(st.st_size);
}

} // namespace vorn
