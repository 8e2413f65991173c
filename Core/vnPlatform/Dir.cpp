#include "vnPlatform/Dir.h"
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace vorn {

struct DirListing {
    DIR* dir = nullptr;
    std::vector<std::string> names; // in the order they are returned
    size_t next = 0;
};

namespace {

// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kUnixEpochIn1601 = 11644473600LL;

uint64_t ToFileTime(const struct timespec& ts)
{
    const int64_t sec = int64_t(ts.tv_sec) + kUnixEpochIn1601;
    if (sec < 0) return 0;
    return uint64_t(sec) * 10000000u + uint64_t(ts.tv_nsec) / 100u;
}

bool IsDotOrDotDot(const char* name)
{
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

void FillRecord(const struct stat& st, const char* name, DirEntryRecord& out)
{
    out = DirEntryRecord();
    uint32_t attr = 0;
    uint64_t size = 0;
    if (S_ISDIR(st.st_mode)) {
        attr |= kFileAttrDirectory;
    } else if (S_ISREG(st.st_mode)) {
        size = uint64_t(st.st_size);
    } else {
        attr |= kFileAttrSystem; // FIFO, socket, device, symbolic link
    }
    if (name[0] == '.' && !IsDotOrDotDot(name)) attr |= kFileAttrHidden;
    if (!S_ISLNK(st.st_mode) && (st.st_mode & S_IWUSR) == 0) attr |= kFileAttrReadOnly;
    out.attributes = attr != 0 ? attr : uint32_t(kFileAttrNormal);
    out.creationTime = ToFileTime(st.st_ctim);
    out.lastAccessTime = ToFileTime(st.st_atim);
    out.lastWriteTime = ToFileTime(st.st_mtim);
    out.sizeHigh = uint32_t(size >> 32);
    out.sizeLow = uint32_t(size);
    const size_t n = std::min(std::strlen(name), size_t(DirEntryRecord::kMaxName - 1));
    std::memcpy(out.name, name, n);
    out.name[n] = 0;
}

bool MatchesAll(const std::string& pattern) { return pattern == "*" || pattern == "*.*"; }

// "." and ".." first (as the system returns them elsewhere), then byte order.
bool NameBefore(const std::string& a, const std::string& b)
{
    const int ra = a == "." ? 0 : a == ".." ? 1 : 2;
    const int rb = b == "." ? 0 : b == ".." ? 1 : 2;
    if (ra != rb) return ra < rb;
    return a < b; // char_traits<char> compares as unsigned bytes
}

} // namespace

DirListing* OpenDirListing(const char* pattern)
{
    const char* slash = std::strrchr(pattern, '/');
    std::string dirPath;
    std::string namePattern;
    if (slash == nullptr) {
        dirPath = ".";
        namePattern = pattern;
    } else {
        dirPath.assign(pattern, slash == pattern ? 1 : size_t(slash - pattern));
        namePattern = slash + 1;
    }

    // Held by an owner from the start: names that cannot be kept for want of memory
    // leave no listing and no open directory behind.
    struct Closer {
        void operator()(DirListing* l) const { CloseDirListing(l); }
    };
    std::unique_ptr<DirListing, Closer> listing(new DirListing);
    const int fd = ::open(dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        const int e = errno;
        ::close(fd);
        errno = e;
        return nullptr;
    }
    listing->dir = dir;
    const bool all = MatchesAll(namePattern);
    errno = 0;
    while (const struct dirent* ent = ::readdir(dir)) {
        if (all || ::fnmatch(namePattern.c_str(), ent->d_name, FNM_CASEFOLD) == 0) listing->names.emplace_back(ent->d_name);
        errno = 0;
    }
    if (errno != 0) {
        const int e = errno;
        listing.reset();
        errno = e;
        return nullptr;
    }
    std::sort(listing->names.begin(), listing->names.end(), NameBefore);
    return listing.release();
}

bool NextDirEntry(DirListing* listing, DirEntryRecord& out)
{
    while (listing->next < listing->names.size()) {
        const std::string& name = listing->names[listing->next++];
        struct stat st;
        if (::fstatat(::dirfd(listing->dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            FillRecord(st, name.c_str(), out);
            return true;
        }
    }
    return false;
}

void CloseDirListing(DirListing* listing)
{
    if (listing == nullptr) return;
    if (listing->dir != nullptr) ::closedir(listing->dir);
    delete listing;
}

bool QueryDirEntry(const char* path, DirEntryRecord& out)
{
    struct stat st;
    if (::fstatat(AT_FDCWD, path, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    const char* slash = std::strrchr(path, '/');
    FillRecord(st, slash != nullptr && slash[1] != 0 ? slash + 1 : path, out);
    return true;
}

bool QueryStreamFile(FILE* stream, int64_t& size, bool& isDirectory)
{
    struct stat st;
    if (::fstat(::fileno(stream), &st) != 0) return false;
    size = int64_t(st.st_size);
    isDirectory = S_ISDIR(st.st_mode);
    return true;
}

bool MakeFifo(const char* path) { return ::mkfifo(path, 0600) == 0; }

int CheckReadableDirectory(const char* path)
{
    int fd;
    do fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    // Reading it, as a listing would: a directory that may be opened but not listed
    // fails here.
    char buffer[256];
    const long n = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
    const int e = n < 0 ? errno : 0;
    ::close(fd);
    return e;
}

} // namespace vorn
