// Helpers of tests that use a store through its interface (the store's own tests, the
// fuzzer, the benchmarks and the persistent store's tests): a storage whose bytes outlive
// the store (so a test can close and reopen, inspect and damage them) and can be told to
// fail writes, and whole-element writes and reads.
#pragma once
#include "LssTestUtil.h"
#include "VectorRas.h"
#include "vnLss/LssInterfaces.h"
#include "vnUtils/Exceptions.h"
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace vorn::test {


struct SharedBytes {
    std::mutex m_lock;
    std::vector<uint8_t> m_bytes;
    bool m_setSizeGrows = false; // SetSize grows the bytes (zero-filled) as for a file
    std::atomic<bool> m_failWrites{false};
    uint64_t m_failFrom = 0; // writes at or beyond this offset fail while m_failWrites
    std::atomic<int> m_syncs{0};
    std::atomic<int> m_writes{0};

    std::vector<uint8_t> Copy()
    {
        std::lock_guard<std::mutex> l(m_lock);
        return m_bytes;
    }
    uint8_t At(size_t i)
    {
        std::lock_guard<std::mutex> l(m_lock);
        return i < m_bytes.size() ? m_bytes[i] : 0;
    }
};

class SharedRAS : public IRAS {
public:
    explicit SharedRAS(std::shared_ptr<SharedBytes> d) : m_d(std::move(d)) {}
    int32_t GetSectorSize() override { return 512; }
    void* AllocBuffer(uint32_t size) override { return AllocRasBuffer(size); }
    void FreeBuffer(void* b) override { FreeRasBuffer(b); }
    void Close() override {}
    void Read(void* buffer, uint64_t offset, uint32_t length) override
    {
        std::lock_guard<std::mutex> l(m_d->m_lock);
        ReadZeroPadded(m_d->m_bytes, buffer, offset, length);
    }
    void Write(const void* buffer, uint64_t offset, uint32_t length) override
    {
        if (m_d->m_failWrites && offset + length > m_d->m_failFrom) throw FileException(EIO, xstring("shared"));
        std::lock_guard<std::mutex> l(m_d->m_lock);
        WriteLocked(buffer, offset, length);
    }
    uint64_t GetSize() override
    {
        std::lock_guard<std::mutex> l(m_d->m_lock);
        return m_d->m_bytes.size();
    }
    void SetSize(uint64_t size) override
    {
        std::lock_guard<std::mutex> l(m_d->m_lock);
        SetSizeLocked(size);
    }
    void Sync() override { ++m_d->m_syncs; }

protected:
    // Under the bytes' lock.
    void WriteLocked(const void* buffer, uint64_t offset, uint32_t length)
    {
        ++m_d->m_writes;
        auto& b = m_d->m_bytes;
        if (offset + length > b.size()) b.resize(offset + length);
        std::memcpy(b.data() + offset, buffer, length);
    }
    void SetSizeLocked(uint64_t size)
    {
        if (size < m_d->m_bytes.size() || m_d->m_setSizeGrows) m_d->m_bytes.resize(size, 0);
    }

private:
    std::shared_ptr<SharedBytes> m_d;
};

inline LssSettings SmallSettings(int32_t segmentSize = 4096)
{
    LssSettings s;
    s.m_segmentSize = segmentSize;
    s.m_flushTimeMilliSec = 600000; // the flusher stays quiet unless a test wants it
    return s;
}

// A store over the shared bytes (created when they are empty).
inline ILogStructuredStore* OpenSharedStore(const std::shared_ptr<SharedBytes>& d, const LssSettings& s)
{
    bool created = false;
    return OpenLSSOnStorage(new SharedRAS(d), nullptr, &created, false, s);
}

inline std::vector<uint8_t> Pattern(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1664525u + 1013904223u;
        v[i] = uint8_t(x >> 24);
    }
    return v;
}

// A failed write still ends the element and the transaction (so that the store can
// be closed), then throws.
inline void WriteElement(ILogStructuredStore* lss, Seid s, const std::vector<uint8_t>& bytes, bool flush = false)
{
    ILssTransaction* t = lss->OpenTransaction();
    ICloseableOutputStream* w = nullptr;
    try {
        w = t->WriteSerialElement(s.m_low, s.m_high);
        w->WriteStream(bytes.data(), ssize_t(bytes.size()));
        ICloseableOutputStream* open = w;
        w = nullptr;
        open->Close();
        if (flush) t->FlushWhenClose();
    } catch (...) {
        if (w) {
            try {
                w->Close();
            } catch (...) {
            }
        }
        try {
            t->Close();
        } catch (...) {
        }
        throw;
    }
    t->Close();
}

inline bool ReadByStream(ILogStructuredStore* lss, Seid s, std::vector<uint8_t>& out, size_t chunk = 1000)
{
    out.clear();
    ICloseableInputStream* in = lss->ReadSerialElement(s);
    if (!in) return false;
    std::vector<uint8_t> buf(chunk);
    try {
        for (;;) {
            const ssize_t n = in->ReadStream(buf.data(), ssize_t(buf.size()));
            if (n <= 0) break;
            out.insert(out.end(), buf.begin(), buf.begin() + n);
        }
    } catch (...) {
        in->Close();
        throw;
    }
    in->Close();
    return true;
}

inline bool ReadWhole(ILogStructuredStore* lss, Seid s, std::vector<uint8_t>& out)
{
    out.clear();
    IContiguousSerialElement* e = lss->GetContiguousSerialElement(s);
    if (!e) return false;
    int64_t n = 0;
    const uint8_t* p = e->GetBuffer(n);
    out.assign(p, p + n);
    e->Release();
    return true;
}

} // namespace vorn::test
