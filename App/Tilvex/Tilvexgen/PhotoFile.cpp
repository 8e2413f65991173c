#include "Tilvex/Tilvexgen/PhotoFile.h"
#include "vnPlatform/StdFile.h"
#include "vnUtils/Exceptions.h"
#include <cerrno>
#include <climits>
#include <cstdio>

namespace vorn {

void ReadPhotoFile(const xstring& path, xvector<uint8_t>& bytes)
{
    xstring z(path);
    int error = 0;
    FILE* f = FOpenRegularFileForReading(z.c_str(), &error);
    if (!f) {
        if (error < 0) ThrowVornExceptionF(FileErrorCategory(), 2, "%s is not a regular file", z.c_str());
        throw FileException(uint32_t(error), path);
    }
    constexpr size_t kChunk = 1 << 20;
    size_t total = 0;
    for (;;) {
        bytes.resize(int32_t(total + kChunk));
        const size_t n = std::fread(bytes.data() + total, 1, kChunk, f);
        total += n;
        if (n < kChunk || total > size_t(INT32_MAX) - kChunk) break;
    }
    bytes.resize(int32_t(total));
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) throw FileException(uint32_t(EIO), path);
}

} // namespace vorn
