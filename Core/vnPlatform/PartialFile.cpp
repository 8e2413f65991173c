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

bool SameFile(const struct stat& a, const FileIdentity& id)
{
    return uint64_t(a.st_dev) == id.device && uint64_t(a.st_ino) == id.inode;
}

FileIdentity IdentityOf(const struct stat& st) { return FileIdentity{uint64_t(st.st_dev), uint64_t(st.st_ino)}; }

constexpr int kLockFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;

// Opens and locks the regular file st describes, at path. A file of the caller's
// without read permission gets it (without following a link) for the open; when the
// open then fails, or another holds the lock, its mode is put back.
int LockLeftover(const char* path, const struct stat& st, int* fd)
{
    int e = OpenLockedFile(path, kLockFlags, false, fd);
    if (e != EACCES || st.st_uid != ::geteuid() || (st.st_mode & S_IRUSR) != 0) return e;
    const mode_t mode = st.st_mode & 07777;
    if (::fchmodat(AT_FDCWD, path, mode | S_IRUSR, AT_SYMLINK_NOFOLLOW) != 0) return EACCES;
    e = OpenLockedFile(path, kLockFlags, false, fd);
    if (e != 0) ::fchmodat(AT_FDCWD, path, mode, AT_SYMLINK_NOFOLLOW);
    return e;
}

} // namespace

int ClearPartialFile(const char* path)
{
    struct stat st;
    if (::lstat(path, &st) != 0) return errno == ENOENT ? 0 : errno;
    if (S_ISDIR(st.st_mode)) return EISDIR;
    if (!S_ISREG(st.st_mode)) return UnlinkQuietly(path);
    int fd;
    if (int e = LockLeftover(path, st, &fd)) {
        if (e == ENOENT) return 0;
        if (e == ELOOP) return UnlinkQuietly(path); // a link came in meanwhile
        return e;
    }
    // Held now: removed only while it is still the file at path.
    struct stat held;
    int e = 0;
    if (::fstat(fd, &held) != 0) e = errno;
    else e = RemoveFileIfIdentity(path, IdentityOf(held));
    ::close(fd);
    return e;
}

int QueryFileIdentity(const char* path, FileIdentity* id)
{
    struct stat st;
    if (::lstat(path, &st) != 0) return errno;
    *id = IdentityOf(st);
    return 0;
}

int RemoveFileIfIdentity(const char* path, const FileIdentity& id)
{
    struct stat there;
    if (::lstat(path, &there) != 0) return errno == ENOENT ? 0 : errno;
    return SameFile(there, id) ? UnlinkQuietly(path) : 0;
}

int RenameDurably(const char* from, const FileIdentity& id, const char* to, RenameOutcome* out)
{
    *out = RenameOutcome();
    const std::string target(to);
    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    int fd;
    do fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        out->failedAt = RenameOutcome::kFolder;
        return errno;
    }

    int e = 0;
    struct stat there;
    if (::lstat(from, &there) != 0) {
        e = errno;
        out->failedAt = RenameOutcome::kFrom;
    } else if (!SameFile(there, id)) {
        e = EBUSY; // another file has taken the name: not ours to rename
        out->failedAt = RenameOutcome::kFrom;
    } else if (std::rename(from, to) != 0) {
        e = errno;
        out->failedAt = errno == ENOENT ? RenameOutcome::kFrom : RenameOutcome::kTo;
    } else {
        out->renamed = true;
        int r;
        do r = ::fsync(fd);
        while (r != 0 && errno == EINTR);
        if (r != 0) out->syncError = errno;
    }
    ::close(fd);
    return e;
}

} // namespace vorn
