#include "vnLss/LssLayout.h"
#include "vnLss/SegmentCache.h"
#include "vnUtils/Exceptions.h"
#include "Watchdog.h"
#include <gtest/gtest.h>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

using namespace vorn;
using vorn::test::Watchdog;

namespace {

constexpr int32_t kSegSize = 4096;

uint8_t Pattern(int32_t id, int32_t i) { return uint8_t(id * 37 + i * 11 + 1); }

// Storage whose segment n holds Pattern(n, i); reads can be held at a gate or failed.
class FakeStorage : public IRAS {
public:
    int32_t GetSectorSize() override { return 512; }
    void* AllocBuffer(uint32_t size) override { return AllocRasBuffer(size); }
    void FreeBuffer(void* b) override { FreeRasBuffer(b); }
    void Close() override {}
    void Read(void* buffer, uint64_t offset, uint32_t length) override
    {
        const int32_t id = int32_t((offset - kLssRootBlockSize) / kSegSize) + 1;
        {
            std::unique_lock<std::mutex> l(m_lock);
            ++m_reads;
            ++m_started;
            m_cv.notify_all();
            m_cv.wait(l, [this] { return !m_gateClosed; });
        }
        uint8_t* p = static_cast<uint8_t*>(buffer);
        // Half the bytes arrive before a failure, as a torn read would leave them.
        for (uint32_t i = 0; i < length / 2; ++i) p[i] = Pattern(id, int32_t(i));
        if (ShouldFail(id)) throw FileException(EIO, xstring("fake"));
        for (uint32_t i = length / 2; i < length; ++i) p[i] = Pattern(id, int32_t(i));
    }
    void Write(const void*, uint64_t, uint32_t) override {}
    uint64_t GetSize() override { return 0; }
    void SetSize(uint64_t) override {}

    void CloseGate() { std::lock_guard<std::mutex> l(m_lock); m_gateClosed = true; }
    void OpenGate() { std::lock_guard<std::mutex> l(m_lock); m_gateClosed = false; m_cv.notify_all(); }
    void WaitStarted(int n)
    {
        std::unique_lock<std::mutex> l(m_lock);
        m_cv.wait(l, [&] { return m_started >= n; });
    }
    int Reads() { std::lock_guard<std::mutex> l(m_lock); return m_reads; }
    void FailNext(int n) { m_failNext = n; }
    void FailEvery(int n) { m_failEvery = n; }

private:
    bool ShouldFail(int32_t)
    {
        if (m_failNext > 0) { --m_failNext; return true; }
        if (m_failEvery > 0) return (m_counter.fetch_add(1) % m_failEvery) == 0;
        return false;
    }
    std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_gateClosed = false;
    int m_reads = 0, m_started = 0;
    std::atomic<int> m_failNext{0}, m_failEvery{0}, m_counter{0};
};

class Recorder : public IBackgroundFailureRecorder {
public:
    void RecordBackgroundFailure(const FileException& e) override
    {
        std::lock_guard<std::mutex> l(m_lock);
        if (m_count++ == 0) m_code = e.GetErrorCode();
    }
    int Count() { std::lock_guard<std::mutex> l(m_lock); return m_count; }
    std::mutex m_lock;
    int m_count = 0;
    uint32_t m_code = 0;
};

bool HoldsSegment(const Segment* s, int32_t id)
{
    for (int32_t i = 0; i < kSegSize; ++i)
        if (s->GetBuffer()[i] != Pattern(id, i)) return false;
    return true;
}

bool IsZeroed(const Segment* s)
{
    for (int32_t i = 0; i < kSegSize; ++i)
        if (s->GetBuffer()[i] != 0) return false;
    return true;
}

// Spins (without a time limit) until the condition holds.
template <class F> void WaitUntil(F f) { while (!f()) std::this_thread::yield(); }

} // namespace

TEST(SegmentCache, PinReadsAndCachesSegment)
{
    FakeStorage st;
    SegmentCache cache(&st, kSegSize);
    Segment* s = cache.Pin(3);
    EXPECT_EQ(s->GetId(), 3);
    EXPECT_EQ(s->GetFileOffset(), uint64_t(0x10000 + 2 * kSegSize));
    EXPECT_TRUE(HoldsSegment(s, 3));
    EXPECT_EQ(cache.GetPinCount(3), 1);
    Segment* again = cache.Pin(3);
    EXPECT_EQ(again, s);
    EXPECT_EQ(cache.GetPinCount(3), 2);
    cache.Unpin(s);
    cache.ReleasePin(again);
    EXPECT_EQ(again, nullptr);
    EXPECT_EQ(cache.GetPinCount(3), 0);
    Segment* hit = cache.Pin(3); // a released record is found again without a read
    EXPECT_EQ(hit, s);
    EXPECT_EQ(st.Reads(), 1);
    cache.Unpin(hit);
    EXPECT_THROW(cache.Unpin(hit), ProgrammingErrorException);
}

TEST(SegmentCache, RecyclesLeastRecentlyReleased)
{
    FakeStorage st;
    SegmentCache cache(&st, kSegSize);
    cache.SetCapacity(3);
    Segment* a = cache.Pin(1);
    Segment* b = cache.Pin(2);
    Segment* c = cache.Pin(3);
    cache.Unpin(b);
    cache.Unpin(a);
    cache.Unpin(c);
    Segment* d = cache.Pin(4);
    EXPECT_EQ(d, b); // segment 2 was released first
    EXPECT_FALSE(cache.IsCached(2));
    EXPECT_TRUE(cache.IsCached(1));
    EXPECT_TRUE(cache.IsCached(3));
    EXPECT_TRUE(HoldsSegment(d, 4));
    // Pinning a released record takes it out of the release order.
    Segment* a2 = cache.Pin(1);
    cache.Unpin(d);
    Segment* e = cache.Pin(5);
    EXPECT_EQ(e, c);
    EXPECT_TRUE(HoldsSegment(e, 5));
    cache.Unpin(a2);
    cache.Unpin(e);
    EXPECT_EQ(cache.GetNumRecords(), 3);
}

TEST(SegmentCache, LoweredCapacityTakesEffectAtNextRecycling)
{
    FakeStorage st;
    SegmentCache cache(&st, kSegSize);
    cache.SetCapacity(4);
    Segment* s[4];
    for (int i = 0; i < 4; ++i) s[i] = cache.Pin(i + 1);
    for (int i = 0; i < 4; ++i) cache.Unpin(s[i]);
    cache.SetCapacity(2);
    EXPECT_EQ(cache.GetNumRecords(), 4);
    Segment* n = cache.Pin(9);
    EXPECT_EQ(cache.GetNumRecords(), 2);
    EXPECT_TRUE(HoldsSegment(n, 9));
    EXPECT_FALSE(cache.IsCached(1));
    EXPECT_FALSE(cache.IsCached(2));
    EXPECT_FALSE(cache.IsCached(3));
    EXPECT_TRUE(cache.IsCached(4));
    cache.Unpin(n);
}

TEST(SegmentCache, ThreadedFullCacheWaitsForRelease)
{
    Watchdog dog;
    FakeStorage st;
    SegmentCache cache(&st, kSegSize);
    cache.SetCapacity(2);
    Segment* a = cache.Pin(1);
    Segment* b = cache.Pin(2);
    Segment* got = nullptr;
    std::thread t([&] { got = cache.Pin(3); });
    WaitUntil([&] { return cache.GetNumRecordWaits() >= 1; });
    EXPECT_EQ(cache.GetPinCount(3), -1);
    cache.Unpin(a);
    t.join();
    EXPECT_EQ(got, a);
    EXPECT_TRUE(HoldsSegment(got, 3));
    EXPECT_FALSE(cache.IsCached(1));
    cache.Unpin(got);
    cache.Unpin(b);
}

TEST(SegmentCache, ThreadedConcurrentPinsReadOnce)
{
    Watchdog dog;
    FakeStorage st;
    SegmentCache cache(&st, kSegSize);
    st.CloseGate();
    Segment* first = nullptr;
    Segment* second = nullptr;
    std::thread t1([&] { first = cache.Pin(7); });
    st.WaitStarted(1);
    std::thread t2([&] { second = cache.Pin(7); });
    WaitUntil([&] { return cache.GetPinCount(7) == 2; });
    st.OpenGate();
    t1.join();
    t2.join();
    EXPECT_EQ(first, second);
    EXPECT_EQ(st.Reads(), 1);
    EXPECT_EQ(cache.GetPinCount(7), 2);
    EXPECT_TRUE(HoldsSegment(first, 7));
    cache.Unpin(first);
    cache.Unpin(second);
}

TEST(SegmentCache, ThreadedFailedLoadFailsEveryWaiterAndIsRetried)
{
    Watchdog dog;
    FakeStorage st;
    Recorder rec;
    SegmentCache cache(&st, kSegSize, &rec);
    cache.SetCapacity(2);
    // A released record of another segment, so the failed load recycles it.
    cache.Unpin(cache.Pin(1));
    cache.Unpin(cache.Pin(2));
    st.CloseGate();
    st.FailNext(1);
    std::atomic<int> failures{0};
    std::vector<uint32_t> codes(3, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&, i] {
            try {
                Segment* s = cache.Pin(5);
                ADD_FAILURE() << "got a record from a failed read";
                cache.Unpin(s);
            } catch (const FileException& e) {
                codes[size_t(i)] = e.GetErrorCode();
                ++failures;
            }
        });
        if (i == 0) st.WaitStarted(3); // two reads before, this one held at the gate
    }
    WaitUntil([&] { return cache.GetPinCount(5) == 3; });
    st.OpenGate();
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 3);
    for (uint32_t c : codes) EXPECT_EQ(c, uint32_t(EIO));
    EXPECT_EQ(rec.Count(), 1);
    EXPECT_EQ(rec.m_code, uint32_t(EIO));
    EXPECT_FALSE(cache.IsCached(5));
    EXPECT_EQ(st.Reads(), 3);
    // The next pin reads again, into a buffer that holds segment 5 only.
    Segment* s = cache.Pin(5);
    EXPECT_EQ(st.Reads(), 4);
    EXPECT_TRUE(HoldsSegment(s, 5));
    // The record of the failed read went back to the free records: nothing leaked.
    EXPECT_EQ(cache.GetNumRecords(), 2);
    cache.Unpin(s);
}

TEST(SegmentCache, PinForWriteGivesZeroedRecordAndNeverTakesOverAHeldOne)
{
    FakeStorage st;
    SegmentCache cache(&st, kSegSize);
    cache.SetCapacity(3);
    // A released record with another segment's bytes is recycled zeroed.
    cache.Unpin(cache.Pin(1));
    cache.SetCapacity(1);
    Segment* w = cache.PinForWrite(2);
    EXPECT_EQ(w->GetId(), 2);
    EXPECT_EQ(w->GetFillPosition(), 0);
    EXPECT_TRUE(IsZeroed(w));
    EXPECT_EQ(st.Reads(), 1);
    w->GetBuffer()[0] = 42;
    w->SetFillPosition(512);
    cache.Unpin(w);
    cache.SetCapacity(3);

    // A held record: the holder keeps its bytes, the writer gets another record.
    Segment* reader = cache.Pin(6);
    ASSERT_TRUE(HoldsSegment(reader, 6));
    Segment* w6 = cache.PinForWrite(6);
    EXPECT_NE(w6, reader);
    EXPECT_TRUE(IsZeroed(w6));
    EXPECT_TRUE(HoldsSegment(reader, 6));
    EXPECT_EQ(cache.GetPinCount(6), 1);
    Segment* later = cache.Pin(6); // finds the writer's record
    EXPECT_EQ(later, w6);
    cache.Unpin(later);
    cache.Unpin(reader); // the detached record is recycled first
    cache.Unpin(w6);
    Segment* n = cache.Pin(8);
    EXPECT_EQ(n, reader);
    EXPECT_TRUE(HoldsSegment(n, 8));
    cache.Unpin(n);

    // A released record of the same segment is reused, with its bytes cleared.
    Segment* w2 = cache.PinForWrite(2);
    EXPECT_EQ(w2, w);
    EXPECT_TRUE(IsZeroed(w2));
    EXPECT_EQ(w2->GetFillPosition(), 0);
    cache.Unpin(w2);
}

TEST(SegmentCache, ThreadedPinForWriteDuringLoad)
{
    Watchdog dog;
    FakeStorage st;
    SegmentCache cache(&st, kSegSize);
    st.CloseGate();
    Segment* loaded = nullptr;
    std::thread t([&] { loaded = cache.Pin(4); });
    st.WaitStarted(1);
    Segment* w = cache.PinForWrite(4); // does not wait for the read, does not take it over
    EXPECT_TRUE(IsZeroed(w));
    st.OpenGate();
    t.join();
    EXPECT_NE(loaded, w);
    EXPECT_TRUE(HoldsSegment(loaded, 4));
    EXPECT_EQ(cache.GetPinCount(4), 1);
    cache.Unpin(loaded);
    cache.Unpin(w);
}

TEST(SegmentCache, ThreadedRandomPinsSeeOnlyTheirSegment)
{
    Watchdog dog;
    FakeStorage st;
    Recorder rec;
    SegmentCache cache(&st, kSegSize, &rec);
    // Room for every thread to hold one record and pin another: no deadlock.
    cache.SetCapacity(9);
    st.FailEvery(13);
    constexpr int kThreads = 8, kOps = 400;
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(uint32_t(t) * 7919u + 1);
            std::vector<Segment*> held;
            for (int i = 0; i < kOps; ++i) {
                if (held.size() < 2 && rng() % 3 != 0) {
                    const int32_t id = int32_t(rng() % 20) + 1;
                    try {
                        Segment* s = cache.Pin(id);
                        if (s->GetId() != id || !HoldsSegment(s, id)) ++bad;
                        held.push_back(s);
                    } catch (const FileException&) {
                    }
                } else if (!held.empty()) {
                    cache.Unpin(held.back());
                    held.pop_back();
                }
            }
            for (Segment* s : held) cache.Unpin(s);
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(rec.Count(), 0);
    EXPECT_LE(cache.GetNumRecords(), 9);
}

TEST(SegmentCache, RejectsBadSegmentSize)
{
    FakeStorage st;
    EXPECT_THROW(SegmentCache(&st, 1000), CorruptLSSException);
    SegmentCache cache(&st, kSegSize);
    EXPECT_THROW(cache.SetSegmentSize(4097), CorruptLSSException);
    cache.Unpin(cache.Pin(1));
    EXPECT_THROW(cache.SetSegmentSize(8192), ProgrammingErrorException);
}
