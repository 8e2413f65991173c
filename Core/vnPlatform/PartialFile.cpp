#include "vnPlatform/PartialFile.h"
#include "vnPlatform/LockedFile.h"
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace vorn {

namespace {

int UnlinkQuietly(const char* path) { return ::unlink(path) == 0 || errno == ENOENT ? 0 : errno; }

} // namespace

int ClearPartialFile(const char* path)
{
    struct stat st;
    if (::lstat(path, &st) != 0) return errno == ENOENT ? 0 : errno;
    if (S_ISDIR(st.st_mode)) return EISDIR;
    if (!S_ISREG(st.st_mode)) return UnlinkQuietly(path);
    int fd;
    if (int e = OpenLockedFile(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, false, &fd)) {
        if (e == ENOENT) return 0;
        if (e == ELOOP) return UnlinkQuietly(path); // a link came in meanwhile
        return e;
    }
    // Held now: removed only while it is still the file at path.
    struct stat held, there;
    int e = 0;
    if (::fstat(fd, &held) != 0) e = errno;
    else if (::lstat(path, &there) == 0 && there.st_dev == held.st_dev && there.st_ino == held.st_ino)
        e = UnlinkQuietly(path);
    ::close(fd);
    return e;
}

int RenameDurably(const char* from, const char* to)
{
    if (std::rename(from, to) != 0) return errno;
    const std::string target(to);
    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    int fd;
    do fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    const int e = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return e;
}

} // namespace vorn
