#include "Tilvex/Tilvexgen/PhotoFile.h"
#include "vnPlatform/StdFile.h"
#include "vnUtils/Exceptions.h"
#include <cerrno>
#include <climits>
#include <cstdio>
#include <memory>

namespace vorn {

namespace {

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

} // namespace

void ReadPhotoFile(const xstring& path, xvector<uint8_t>& bytes)
{
    xstring z(path);
    int error = 0;
    std::unique_ptr<FILE, FileCloser> f(FOpenRegularFileForReading(z.c_str(), &error));
    if (!f) {
        if (error < 0) ThrowVornExceptionF(FileErrorCategory(), 2, "%s is not a regular file", z.c_str());
        throw FileException(uint32_t(error), path);
    }
    // The size once, one block of that size, one read: time linear in the size.
    const int64_t size = OpenFileSize(f.get(), &error);
    if (size < 0) throw FileException(uint32_t(error), path);
    if (size > int64_t(INT32_MAX) - 1)
        ThrowVornExceptionF(FileErrorCategory(), 3, "%s is %lld bytes, more than a photo file may have (2 GiB)",
                            z.c_str(), static_cast<long long>(size));
    bytes.clear();
    bytes.resize(int32_t(size));
    size_t total = 0;
    while (total < size_t(size)) {
        const size_t n = std::fread(bytes.data() + total, 1, size_t(size) - total, f.get());
        if (n == 0) break;
        total += n;
    }
    // A file that shrank since is read as it is now; one that grew, up to its size.
    const bool failed = std::ferror(f.get()) != 0;
    bytes.resize(int32_t(total));
    if (failed) throw FileException(uint32_t(EIO), path);
}

} // namespace vorn
