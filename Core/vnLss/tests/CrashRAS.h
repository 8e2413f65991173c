// A memory storage for crash tests: the shared in-memory storage of the store tests,
// with every Write (offset and bytes), SetSize and Sync recorded in the order the
// storage saw it, so a test can rebuild the bytes a power cut after any operation would
// have left (optionally with the last write torn at a sector boundary). Writes can be
// made to fail in a range of offsets.
#pragma once
#include "LssClientTestUtil.h"
#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <memory>
#include <vector>

namespace vorn::test {

struct CrashOp {
    enum Kind { kWrite, kSetSize, kSync } m_kind = kWrite;
    uint64_t m_offset = 0; // write offset, or the new size
    std::vector<uint8_t> m_bytes;
};

// The storage's bytes (as they are now) and its operations, under the bytes' lock.
struct CrashLog : SharedBytes {
    CrashLog() { m_setSizeGrows = true; } // like a file, SetSize may grow it
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

// Rebuilds the images a power cut would leave: check(image, n) sees the image after the
// first n operations, and also, with n = k, the images with op k's write torn at sector
// boundaries inside it (after the first sector, half, all but the last). Only every
// every-th operation is cut; the others are applied on the way. check returns "" for a
// good image; the first five failures are reported, and the return value is {number of
// failures, number of torn images checked}.
template <class Check>
std::pair<int, size_t> ForEachCrashImage(const std::vector<CrashOp>& ops, size_t every, Check check)
{
    std::vector<uint8_t> image;
    int failures = 0;
    size_t torn = 0;
    for (size_t k = 0; k < ops.size(); ++k) {
        if (k % every != 0) {
            CrashLog::Apply(image, ops[k]);
            continue;
        }
        if (ops[k].m_kind == CrashOp::kWrite && ops[k].m_bytes.size() > 512) {
            const size_t sectors = ops[k].m_bytes.size() / 512;
            for (size_t keep : {size_t(1), sectors / 2, sectors - 1}) {
                if (keep == 0 || keep >= sectors) continue;
                std::vector<uint8_t> t = image;
                CrashLog::Apply(t, ops[k], keep * 512);
                const std::string r = check(t, k);
                ++torn;
                if (!r.empty() && ++failures <= 5)
                    ADD_FAILURE() << "op " << k << " torn after " << keep * 512 << " bytes: " << r;
            }
        }
        CrashLog::Apply(image, ops[k]);
        const std::string r = check(image, k + 1);
        if (!r.empty() && ++failures <= 5) ADD_FAILURE() << "after op " << k + 1 << " of " << ops.size() << ": " << r;
    }
    return {failures, torn};
}

// Replays a recorded life: check(image, n) must pass for the image the storage holds
// at the end (n = all operations) and for every image a cut would leave
// (ForEachCrashImage; under ThreadSanitizer only every fifth cut, its other runs
// cover each), with more than minTorn torn images checked (fewer when cutting less
// often).
template <class Check>
void ExpectEveryCrashImageRecovers(const CrashLog& log, size_t minTorn, Check check)
{
    const std::vector<CrashOp>& ops = log.m_ops;
    ASSERT_GT(ops.size(), 20u);
    EXPECT_EQ(check(log.m_bytes, ops.size()), "");
    const size_t every = kUnderThreadSanitizer ? 5 : 1;
    const auto [failures, torn] = ForEachCrashImage(ops, every, check);
    EXPECT_EQ(failures, 0);
    EXPECT_GT(torn, minTorn / every);
}

class CrashRAS : public SharedRAS {
public:
    explicit CrashRAS(std::shared_ptr<CrashLog> log) : SharedRAS(log), m_log(std::move(log)) {}
    void Write(const void* buffer, uint64_t offset, uint32_t length) override
    {
        std::lock_guard<std::mutex> l(m_log->m_lock);
        if (offset < m_log->m_failEnd && offset + length > m_log->m_failBegin) throw FileException(EIO, xstring("crash"));
        WriteLocked(buffer, offset, length);
        const uint8_t* p = static_cast<const uint8_t*>(buffer);
        m_log->m_ops.push_back({CrashOp::kWrite, offset, std::vector<uint8_t>(p, p + length)});
    }
    void SetSize(uint64_t size) override
    {
        std::lock_guard<std::mutex> l(m_log->m_lock);
        SetSizeLocked(size);
        m_log->m_ops.push_back({CrashOp::kSetSize, size, {}});
    }
    void Sync() override
    {
        SharedRAS::Sync();
        std::lock_guard<std::mutex> l(m_log->m_lock);
        m_log->m_ops.push_back({CrashOp::kSync, 0, {}});
    }

private:
    std::shared_ptr<CrashLog> m_log;
};

} // namespace vorn::test
