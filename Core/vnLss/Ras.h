// Random-access storage of a log-structured store: the file storage (vorn::FileRAS)
// and the process-wide memory storage (vorn::MemRAS, selected by the path "memfile").
// Offsets and sizes are 64-bit; reads past the end give zeros; a write past the end
// grows the storage. Every operation may be called from any thread.
#pragma once
#include "vnLss/LssSettings.h"
#include "vnUtils/XString.h"
#include <cstdint>
#include <shared_mutex>

namespace vorn {

class IRAS {
public:
    virtual ~IRAS() = default;
    virtual int32_t GetSectorSize() = 0;
    // A zero-filled buffer aligned for direct I/O (4096); throws std::bad_alloc.
    virtual void* AllocBuffer(uint32_t size) = 0;
    virtual void FreeBuffer(void* buffer) = 0;
    // Closes the storage; a second call does nothing.
    virtual void Close() = 0;
    // Fills buffer with length bytes at offset; bytes past the end read as zeros.
    virtual void Read(void* buffer, uint64_t offset, uint32_t length) = 0;
    virtual void Write(const void* buffer, uint64_t offset, uint32_t length) = 0;
    virtual uint64_t GetSize() = 0;
    // Only a smaller size has an effect: the storage is cut there.
    virtual void SetSize(uint64_t size) = 0;
    // Makes what was written stable on the device (nothing to do for memory).
    virtual void Sync() {}
};

// Shared by the storages: aligned, zero-filled buffers.
void* AllocRasBuffer(uint32_t size);
void FreeRasBuffer(void* buffer);

// The file storage. The file is locked exclusively while open: a second opener (in
// this process or another) is refused with EBUSY. A write past the end first grows the
// file to the write's end rounded up to kGrowthUnit. Failures throw vorn::FileException
// with the path and the errno value (EIO for a read that finds fewer bytes than the
// cached size promises).
class FileRAS : public IRAS {
public:
    static constexpr uint64_t kGrowthUnit = 0x80000;

    // Opens the file; throws vorn::FileException. Without buffering the file uses direct
    // I/O where its file system allows it, and is opened buffered otherwise (traced).
    FileRAS(const char* path, EOpenMode mode, bool enableFileBuffering, bool enableWriteThrough);
    ~FileRAS() override;
    FileRAS(const FileRAS&) = delete;
    FileRAS& operator=(const FileRAS&) = delete;

    int32_t GetSectorSize() override { return 512; }
    void* AllocBuffer(uint32_t size) override { return AllocRasBuffer(size); }
    void FreeBuffer(void* buffer) override { FreeRasBuffer(buffer); }
    void Close() override;
    void Read(void* buffer, uint64_t offset, uint32_t length) override;
    void Write(const void* buffer, uint64_t offset, uint32_t length) override;
    uint64_t GetSize() override;
    void SetSize(uint64_t size) override;
    void Sync() override;

    bool IsDirect() const { return m_direct; }
    const xstring& GetPath() const { return m_path; }

private:
    [[noreturn]] void Fail(int code) const;
    bool IsDirectAligned(const void* buffer, uint64_t offset, uint32_t length) const;
    void ReadLocked(void* buffer, uint64_t offset, uint32_t length);
    void WriteLocked(const void* buffer, uint64_t offset, uint32_t length);

    int m_fd = -1;
    bool m_direct = false;
    xstring m_path;
    uint64_t m_size = 0;
    // Shared for reads and for writes inside the file; exclusive for growing, cutting,
    // closing and for an unaligned transfer on a direct file (which switches direct I/O
    // off around it).
    std::shared_mutex m_lock;
};

// The memory storage over the process-wide paged buffer, created empty on the first
// open of "memfile" and kept until the process ends, so a store closed and opened again
// finds its contents. Its size is limited to 2^31 - 1 bytes: a write beyond that throws
// vorn::FileException (EFBIG).
class MemRAS : public IRAS {
public:
    MemRAS();
    int32_t GetSectorSize() override { return 512; }
    void* AllocBuffer(uint32_t size) override { return AllocRasBuffer(size); }
    void FreeBuffer(void* buffer) override { FreeRasBuffer(buffer); }
    void Close() override {}
    void Read(void* buffer, uint64_t offset, uint32_t length) override;
    void Write(const void* buffer, uint64_t offset, uint32_t length) override;
    uint64_t GetSize() override;
    void SetSize(uint64_t size) override;
};

// The storage for a store's path: "memfile" gives a MemRAS, anything else a FileRAS.
// Throws vorn::FileException when the file cannot be opened.
IRAS* OpenRAS(const char* path, EOpenMode mode, const LssSettings& settings);

} // namespace vorn
