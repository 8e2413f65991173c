// A private in-memory storage for tests (the process-wide "memfile" is shared).
#pragma once
#include "vnLss/Ras.h"
#include <cstring>
#include <mutex>
#include <vector>

namespace vorn::test {

// Copies length bytes at offset out of b; bytes past its end read as zeros.
inline void ReadZeroPadded(const std::vector<uint8_t>& b, void* buffer, uint64_t offset, uint32_t length)
{
    const uint64_t have = offset < b.size() ? b.size() - offset : 0;
    const size_t n = size_t(have < length ? have : length);
    if (n) std::memcpy(buffer, b.data() + offset, n);
    if (n < length) std::memset(static_cast<uint8_t*>(buffer) + n, 0, length - n);
}

class VectorRAS : public IRAS {
public:
    int32_t GetSectorSize() override { return 512; }
    void* AllocBuffer(uint32_t size) override { return AllocRasBuffer(size); }
    void FreeBuffer(void* b) override { FreeRasBuffer(b); }
    void Close() override {}
    void Read(void* buffer, uint64_t offset, uint32_t length) override
    {
        std::lock_guard<std::mutex> l(m_lock);
        ++m_reads;
        ReadZeroPadded(m_bytes, buffer, offset, length);
    }
    void Write(const void* buffer, uint64_t offset, uint32_t length) override
    {
        std::lock_guard<std::mutex> l(m_lock);
        ++m_writes;
        if (offset + length > m_bytes.size()) m_bytes.resize(offset + length);
        std::memcpy(m_bytes.data() + offset, buffer, length);
    }
    uint64_t GetSize() override { std::lock_guard<std::mutex> l(m_lock); return m_bytes.size(); }
    void SetSize(uint64_t size) override
    {
        std::lock_guard<std::mutex> l(m_lock);
        if (size < m_bytes.size()) m_bytes.resize(size);
    }
    // Makes the storage this long (for tests that need segments to exist).
    void Grow(uint64_t size) { std::lock_guard<std::mutex> l(m_lock); if (size > m_bytes.size()) m_bytes.resize(size); }
    int m_reads = 0, m_writes = 0;
    std::vector<uint8_t> m_bytes;
private:
    std::mutex m_lock;
};

} // namespace vorn::test
