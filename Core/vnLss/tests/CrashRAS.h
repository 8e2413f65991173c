// A memory storage for crash tests: every Write (offset and bytes), SetSize and Sync
// is recorded in the order the storage saw it, so a test can rebuild the bytes a
// power cut after any operation would have left (optionally with the last write torn
// at a sector boundary). Writes can be made to fail in a range of offsets.
#pragma once
#include "VectorRas.h"
#include "vnLss/Ras.h"
#include "vnUtils/Exceptions.h"
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace vorn::test {

struct CrashOp {
    enum Kind { kWrite, kSetSize, kSync } m_kind = kWrite;
    uint64_t m_offset = 0; // write offset, or the new size
    std::vector<uint8_t> m_bytes;
};

struct CrashLog {
    std::mutex m_lock;
    std::vector<uint8_t> m_bytes; // the storage as it is now
    std::vector<CrashOp> m_ops;
    uint64_t m_failBegin = 0, m_failEnd = 0; // writes touching [begin, end) fail

    size_t NumOps()
    {
        std::lock_guard<std::mutex> l(m_lock);
        return m_ops.size();
    }
    // Applies one operation to an image; a torn write keeps only its first keep bytes.
    static void Apply(std::vector<uint8_t>& image, const CrashOp& op, size_t keep = SIZE_MAX)
    {
        if (op.m_kind == CrashOp::kSetSize) {
            image.resize(op.m_offset, 0);
        } else if (op.m_kind == CrashOp::kWrite) {
            const size_t n = keep < op.m_bytes.size() ? keep : op.m_bytes.size();
            if (n == 0) return;
            if (op.m_offset + n > image.size()) image.resize(op.m_offset + n, 0);
            std::memcpy(image.data() + op.m_offset, op.m_bytes.data(), n);
        }
    }
};

class CrashRAS : public IRAS {
public:
    explicit CrashRAS(std::shared_ptr<CrashLog> log) : m_log(std::move(log)) {}
    int32_t GetSectorSize() override { return 512; }
    void* AllocBuffer(uint32_t size) override { return AllocRasBuffer(size); }
    void FreeBuffer(void* b) override { FreeRasBuffer(b); }
    void Close() override {}
    void Read(void* buffer, uint64_t offset, uint32_t length) override
    {
        std::lock_guard<std::mutex> l(m_log->m_lock);
        ReadZeroPadded(m_log->m_bytes, buffer, offset, length);
    }
    void Write(const void* buffer, uint64_t offset, uint32_t length) override
    {
        std::lock_guard<std::mutex> l(m_log->m_lock);
        if (offset < m_log->m_failEnd && offset + length > m_log->m_failBegin) throw FileException(EIO, xstring("crash"));
        CrashOp op;
        op.m_kind = CrashOp::kWrite;
        op.m_offset = offset;
        op.m_bytes.assign(static_cast<const uint8_t*>(buffer), static_cast<const uint8_t*>(buffer) + length);
        CrashLog::Apply(m_log->m_bytes, op);
        m_log->m_ops.push_back(std::move(op));
    }
    uint64_t GetSize() override
    {
        std::lock_guard<std::mutex> l(m_log->m_lock);
        return m_log->m_bytes.size();
    }
    // Like a file: the size may grow (zero-filled) or shrink.
    void SetSize(uint64_t size) override
    {
        std::lock_guard<std::mutex> l(m_log->m_lock);
        CrashOp op;
        op.m_kind = CrashOp::kSetSize;
        op.m_offset = size;
        CrashLog::Apply(m_log->m_bytes, op);
        m_log->m_ops.push_back(std::move(op));
    }
    void Sync() override
    {
        std::lock_guard<std::mutex> l(m_log->m_lock);
        CrashOp op;
        op.m_kind = CrashOp::kSync;
        m_log->m_ops.push_back(std::move(op));
    }

private:
    std::shared_ptr<CrashLog> m_log;
};

} // namespace vorn::test
