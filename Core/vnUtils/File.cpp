#include "vnUtils/File.h"
#include "vnPlatform/Error.h"
#include "vnPlatform/StdFile.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/PagedBuffer.h"
#include <cerrno>
#include <cstdint>

namespace vorn {

FILE* OpenFileUtf8(const char* path, const char* mode)
{
    // A name is the bytes the file system gives: one that is not UTF-8 is opened as it is.
    if (*path == 0) {
        SetLastSystemError(ENOENT);
        return nullptr;
    }
    FILE* f = FOpenUtf8(path, mode);
    if (f == nullptr) return nullptr;
    // A directory opens as a stream here but is no file to read or write.
    int64_t size;
    bool isDirectory;
    if (QueryStreamFile(f, size, isDirectory) && isDirectory) {
        std::fclose(f);
        SetLastSystemError(EISDIR);
        return nullptr;
    }
    return f;
}

// ---------------------------------------------------------------------------------
// File

File::~File() { Close(); }

bool File::Open(const xstring& path, int32_t mode, const char* fmode)
{
    Close();
    m_written = 0;
    m_path = path;
    m_mode = mode;
    m_file = OpenFileUtf8(m_path.c_str(), fmode);
    return m_file != nullptr;
}

bool File::OpenForReading(const xstring& path) { return Open(path, kModeRead, "rb"); }
bool File::OpenForWriting(const xstring& path) { return Open(path, kModeWrite, "wb"); }
bool File::OpenForAppending(const xstring& path) { return Open(path, kModeAppend, "ab"); }

ssize_t File::ReadStream(void* buffer, ssize_t n)
{
    if (m_file == nullptr || n <= 0) return 0;
    return ssize_t(std::fread(buffer, 1, size_t(n), m_file));
}

int64_t File::GetLength()
{
    if (m_mode != kModeRead) return m_written;
    if (m_file == nullptr) return 0;
    int64_t size;
    bool isDirectory;
    return QueryStreamFile(m_file, size, isDirectory) ? size : 0;
}

int64_t File::GetPosition() { return m_file != nullptr ? int64_t(std::ftell(m_file)) : -1; }

void File::Seek(int64_t position)
{
    static_assert(sizeof(long) == 8, "fseek takes 64-bit offsets");
    if (m_file != nullptr) std::fseek(m_file, long(position), SEEK_SET);
}

void File::Close()
{
    if (m_file != nullptr) {
        std::fclose(m_file);
        m_file = nullptr;
    }
}

bool File::IsWritable() { return m_file != nullptr && (m_mode == kModeWrite || m_mode == kModeAppend); }

void File::WriteStream(const void* data, ssize_t n)
{
    if (n < 1) return;
    if (m_file == nullptr || std::fwrite(data, size_t(n), 1, m_file) != 1)
        throw VornException(xstring("Error writing data"), FileErrorCategory(), 4);
    m_written += n;
}

void File::Flush()
{
    if (m_file != nullptr) std::fflush(m_file);
}

bool File::HasReadError() const { return m_file != nullptr && std::ferror(m_file) != 0; }

// ---------------------------------------------------------------------------------

bool ReadFileIntoBytes(xvector<uint8_t>& out, const xstring& path)
{
    constexpr int32_t kChunk = 4096;
    File file;
    if (!file.OpenForReading(path)) return false;

    // Each read fills the page it lands in; the bytes are copied once more, into out.
    PagedBuffer pages(kChunk);
    int64_t total = 0;
    for (;;) {
        if (total + kChunk > INT32_MAX) return false; // beyond what an xvector holds
        const int32_t inPage = int32_t(total % kChunk);
        if (inPage == 0) pages.Resize(int32_t(total) + kChunk);
        uint8_t* dst = pages.GetPage(int32_t(total / kChunk)) + inPage;
        const ssize_t got = file.ReadStream(dst, kChunk - inPage);
        if (got == 0) break;
        total += got;
    }
    if (file.HasReadError()) return false;
    file.Close();

    const int32_t n = int32_t(total);
    xvector<uint8_t> bytes;
    bytes.reserve(n);
    for (int32_t page = 0; page * kChunk < n; ++page) {
        const int32_t k = n - page * kChunk < kChunk ? n - page * kChunk : kChunk;
        bytes.append(pages.GetPage(page), k);
    }
    out.swap(bytes);
    return true;
}

// ---------------------------------------------------------------------------------
// FileOrDirInfo and DirSearch

bool FileOrDirInfo::Query(const xstring& path) { return QueryDirEntry(xstring(path).c_str(), m_record); }

void DirSearch::Start(const xstring& pattern)
{
    Close();
    m_error = 0;
    xstring z(pattern);
    m_handle = OpenDirListing(z.c_str());
    if (m_handle == nullptr) m_error = int32_t(GetLastSystemError());
    if (m_handle != nullptr && NextDirEntry(m_handle, m_current.Record())) {
        m_firstPending = true;
        return;
    }
    Close();
}

bool DirSearch::Next()
{
    if (m_handle == nullptr) return false;
    if (m_firstPending) {
        m_firstPending = false;
        return true;
    }
    if (NextDirEntry(m_handle, m_current.Record())) return true;
    Close();
    return false;
}

void DirSearch::Close()
{
    CloseDirListing(m_handle);
    m_handle = nullptr;
    m_firstPending = false;
}

} // namespace vorn
