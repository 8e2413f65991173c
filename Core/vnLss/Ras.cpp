#include "vnLss/Ras.h"
#include "vnPlatform/RasFile.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/PagedBuffer.h"
#include "vnUtils/Trace.h"
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>

namespace vorn {

void* AllocRasBuffer(uint32_t size)
{
    void* p = RasAllocAligned(size);
    if (!p) throw std::bad_alloc();
    return p;
}

void FreeRasBuffer(void* buffer) { RasFreeAligned(buffer); }

// ---------------------------------------------------------------------------------
// FileRAS

FileRAS::FileRAS(const char* path, EOpenMode mode, bool enableFileBuffering, bool enableWriteThrough)
    : m_path(path)
{
    std::unique_lock<std::shared_mutex> lock(m_lock);
    RasFileInfo info;
    if (int e = RasFileOpen(path, int(mode), !enableFileBuffering, enableWriteThrough, &info)) Fail(e);
    m_fd = info.fd;
    m_size = info.size;
    m_direct = info.direct;
    if (!enableFileBuffering && !m_direct) {
        TraceStream t;
        t << "Direct I/O is not available for " << m_path << " : opened with file buffering\n";
    }
}

FileRAS::~FileRAS() { Close(); }

void FileRAS::Fail(int code) const { throw FileException(uint32_t(code), m_path); }

void FileRAS::Close()
{
    std::unique_lock<std::shared_mutex> lock(m_lock);
    if (m_fd >= 0) {
        RasFileClose(m_fd);
        m_fd = -1;
    }
}

bool FileRAS::IsDirectAligned(const void* buffer, uint64_t offset, uint32_t length) const
{
    constexpr uint64_t a = kRasMaxDirectAlignment;
    return (reinterpret_cast<uintptr_t>(buffer) % a) == 0 && offset % a == 0 && length % a == 0;
}

void FileRAS::Read(void* buffer, uint64_t offset, uint32_t length)
{
    if (!m_direct || IsDirectAligned(buffer, offset, length)) {
        std::shared_lock<std::shared_mutex> lock(m_lock);
        ReadLocked(buffer, offset, length);
        return;
    }
    std::unique_lock<std::shared_mutex> lock(m_lock);
    if (m_fd < 0) Fail(EBADF);
    if (int e = RasFileSetDirect(m_fd, false)) Fail(e);
    try {
        ReadLocked(buffer, offset, length);
    } catch (...) {
        RasFileSetDirect(m_fd, true);
        throw;
    }
    RasFileSetDirect(m_fd, true);
}

// Under the lock (shared or exclusive).
void FileRAS::ReadLocked(void* buffer, uint64_t offset, uint32_t length)
{
    if (m_fd < 0) Fail(EBADF);
    char* p = static_cast<char*>(buffer);
    if (offset >= m_size) {
        std::memset(p, 0, length);
        return;
    }
    const uint64_t avail = m_size - offset;
    const uint32_t n = avail < length ? uint32_t(avail) : length;
    if (n < length) std::memset(p + n, 0, length - n);
    // A direct read asks for whole sectors; the file's end cuts it short.
    uint32_t request = n;
    if (m_direct && IsDirectAligned(buffer, offset, length))
        request = std::min<uint32_t>(length, (n + kRasMaxDirectAlignment - 1) & ~(kRasMaxDirectAlignment - 1));
    size_t done = 0;
    if (int e = RasFileReadAt(m_fd, p, request, offset, &done)) Fail(e);
    if (done < n) Fail(EIO);
    if (done > n) std::memset(p + n, 0, done - n);
}

void FileRAS::Write(const void* buffer, uint64_t offset, uint32_t length)
{
    const uint64_t end = offset + length;
    const bool aligned = !m_direct || IsDirectAligned(buffer, offset, length);
    if (aligned) {
        std::shared_lock<std::shared_mutex> lock(m_lock);
        if (end <= m_size) {
            WriteLocked(buffer, offset, length);
            return;
        }
    }
    std::unique_lock<std::shared_mutex> lock(m_lock);
    if (m_fd < 0) Fail(EBADF);
    if (end > m_size) {
        const uint64_t grown = (end + kGrowthUnit - 1) / kGrowthUnit * kGrowthUnit;
        if (int e = RasFileSetLength(m_fd, grown)) Fail(e);
        m_size = grown;
    }
    if (aligned) {
        WriteLocked(buffer, offset, length);
        return;
    }
    if (int e = RasFileSetDirect(m_fd, false)) Fail(e);
    try {
        WriteLocked(buffer, offset, length);
    } catch (...) {
        RasFileSetDirect(m_fd, true);
        throw;
    }
    RasFileSetDirect(m_fd, true);
}

void FileRAS::WriteLocked(const void* buffer, uint64_t offset, uint32_t length)
{
    if (m_fd < 0) Fail(EBADF);
    if (int e = RasFileWriteAt(m_fd, buffer, length, offset)) Fail(e);
}

uint64_t FileRAS::GetSize()
{
    std::shared_lock<std::shared_mutex> lock(m_lock);
    return m_size;
}

void FileRAS::SetSize(uint64_t size)
{
    std::unique_lock<std::shared_mutex> lock(m_lock);
    if (size >= m_size || m_fd < 0) return;
    m_size = size;
    RasFileSetLength(m_fd, size); // a failed cut leaves bytes that read as beyond the end
}

void FileRAS::Sync()
{
    std::shared_lock<std::shared_mutex> lock(m_lock);
    if (m_fd < 0) Fail(EBADF);
    if (int e = RasFileSync(m_fd)) Fail(e);
}

// ---------------------------------------------------------------------------------
// MemRAS

namespace {

struct MemRasState {
    std::mutex lock;
    PagedBuffer buffer{4096};
};

// Created on the first open of "memfile"; lives until the process ends. Every MemRAS
// shares it and its lock, so two stores on "memfile" never race on the buffer.
MemRasState& GetMemRasState()
{
    static MemRasState state;
    return state;
}

// Copies between a flat block and the paged buffer's bytes [offset, offset + n).
template <class F>
void ForEachPageSpan(const PagedBuffer& b, uint32_t offset, uint32_t n, F f)
{
    const uint32_t pageSize = uint32_t(b.GetPageSize());
    uint32_t done = 0;
    while (done < n) {
        const uint32_t pos = offset + done;
        const uint32_t inPage = pos % pageSize;
        const uint32_t chunk = std::min(n - done, pageSize - inPage);
        f(b.GetPage(int32_t(pos / pageSize)) + inPage, done, chunk);
        done += chunk;
    }
}

} // namespace

MemRAS::MemRAS() { GetMemRasState(); }

void MemRAS::Read(void* buffer, uint64_t offset, uint32_t length)
{
    MemRasState& s = GetMemRasState();
    std::lock_guard<std::mutex> lock(s.lock);
    char* p = static_cast<char*>(buffer);
    const uint64_t size = uint64_t(s.buffer.GetSize());
    if (offset >= size) {
        std::memset(p, 0, length);
        return;
    }
    const uint64_t avail = size - offset;
    const uint32_t n = avail < length ? uint32_t(avail) : length;
    if (n < length) std::memset(p + n, 0, length - n);
    ForEachPageSpan(s.buffer, uint32_t(offset), n,
                    [p](uint8_t* page, uint32_t at, uint32_t chunk) { std::memcpy(p + at, page, chunk); });
}

void MemRAS::Write(const void* buffer, uint64_t offset, uint32_t length)
{
    MemRasState& s = GetMemRasState();
    std::lock_guard<std::mutex> lock(s.lock);
    const uint64_t end = offset + length;
    if (end > uint64_t(INT32_MAX)) throw FileException(EFBIG, xstring("memfile"));
    const uint32_t old = uint32_t(s.buffer.GetSize());
    if (end > old) {
        s.buffer.Resize(int32_t(end));
        // New pages, and the tail of a page kept by an earlier cut, hold no old bytes.
        ForEachPageSpan(s.buffer, old, uint32_t(end) - old,
                        [](uint8_t* page, uint32_t, uint32_t chunk) { std::memset(page, 0, chunk); });
    }
    const char* p = static_cast<const char*>(buffer);
    ForEachPageSpan(s.buffer, uint32_t(offset), length,
                    [p](uint8_t* page, uint32_t at, uint32_t chunk) { std::memcpy(page, p + at, chunk); });
}

uint64_t MemRAS::GetSize()
{
    MemRasState& s = GetMemRasState();
    std::lock_guard<std::mutex> lock(s.lock);
    return uint64_t(s.buffer.GetSize());
}

void MemRAS::SetSize(uint64_t size)
{
    MemRasState& s = GetMemRasState();
    std::lock_guard<std::mutex> lock(s.lock);
    if (size < uint64_t(s.buffer.GetSize())) s.buffer.Resize(int32_t(size));
}

IRAS* OpenRAS(const char* path, EOpenMode mode, const LssSettings& settings)
{
    if (std::strcmp(path, "memfile") == 0) return new MemRAS();
    return new FileRAS(path, mode, settings.m_enableFileBuffering, settings.m_enableWriteThrough);
}

} // namespace vorn
