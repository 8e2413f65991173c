// The log after the last committed check point stays bounded: at the bound, transactions
// wait for a check point before they start; a check point that fails lets them go with
// its failure, and a close lets them go too. A hook holds a check point between letting
// appenders in and committing, so that the waits happen under any schedule.
//
// The store also holds a transaction back while a check point it has requested (by the
// count of segments per check point) has not yet taken the log; with that count at
// the bound or below, a held check point would stop the writers that way as well. Here
// the count is far above the bound, so that no check point is requested by it and only
// the bound stops a writer.
#include "LssStoreTestUtil.h"
#include "Watchdog.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

using namespace vorn;
using namespace vorn::test;

namespace {

constexpr int32_t kSeg = 4096;
const SeidHigh kSpace = 0x06060606u;
Seid S(uint32_t i) { return Seid(0x01010100u + i, kSpace); }

// Holds check points before their commit until released (or the check-pointer stops);
// released with a failure, the held check point throws it. ReleaseOne lets the check
// point held now go and holds the next ones.
class CheckPointGate {
public:
    explicit CheckPointGate(LSS* lss) : m_lss(lss)
    {
        lss->SetCheckPointCommitHookForTests([this] { Hold(); });
    }
    void Release(bool fail = false)
    {
        {
            std::lock_guard<std::mutex> l(m_lock);
            m_released = true;
            m_fail = fail;
        }
        m_changed.notify_all();
    }
    void ReleaseOne()
    {
        {
            std::lock_guard<std::mutex> l(m_lock);
            ++m_passes;
        }
        m_changed.notify_all();
    }
    int Held()
    {
        std::lock_guard<std::mutex> l(m_lock);
        return m_held;
    }
    // Run on the check-pointer's thread when a hold ends because it is being stopped,
    // before the held check point goes on.
    void OnStop(std::function<void()> action) { m_onStop = std::move(action); }

private:
    void Hold()
    {
        std::unique_lock<std::mutex> l(m_lock);
        const int me = m_held++;
        // The check-pointer's stop is a flag without a signal of its own: looked at often.
        while (!m_released && me >= m_passes && !m_lss->GetCheckPointer().IsStopping())
            m_changed.wait_for(l, std::chrono::milliseconds(1));
        if (!m_released && me >= m_passes && m_onStop) {
            l.unlock();
            m_onStop();
            l.lock();
        }
        if (m_fail) {
            m_fail = false;
            throw FileException(EIO, xstring("held check point"));
        }
    }
    LSS* m_lss;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::function<void()> m_onStop;
    bool m_released = false;
    bool m_fail = false;
    int m_held = 0;
    int m_passes = 0;
};

constexpr int64_t kBound = 4;

LssSettings BoundSettings()
{
    LssSettings s = SmallSettings(kSeg);
    s.m_numSegmentsPerCheckPoint = 1000; // never reached here: no check point is requested by it
    return s;
}

// The store over d with the log bound at kBound segments.
LSS* OpenBounded(const std::shared_ptr<SharedBytes>& d)
{
    LSS* lss = OpenShared(d, BoundSettings());
    lss->SetLogBoundForTests(kBound);
    return lss;
}

// Writes transactions on a thread of its own until told to stop or count done. (They are
// not flushed: a flushed one waits for a pending commit by itself.)
struct Writer {
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_done{0};
    std::atomic<bool> m_failedWithFileException{false};
    std::atomic<bool> m_refused{false}; // told that the store is not open
    std::atomic<bool> m_ended{false};
    std::thread m_thread;

    Writer(LSS* lss, int count)
        : m_thread([this, lss, count] {
              try {
                  for (int i = 0; i < count && !m_stop; ++i) {
                      WriteElement(lss, S(1 + uint32_t(i % 50)), Pattern(1200, uint32_t(i)));
                      ++m_done;
                  }
              } catch (const FileException&) {
                  m_failedWithFileException = true;
              } catch (const ProgrammingErrorException&) {
                  m_refused = true;
              } catch (...) {
              }
              m_ended = true;
          })
    {
    }
    ~Writer()
    {
        if (m_thread.joinable()) m_thread.join();
    }
};

// Until the writer waits while a check point is held, or has ended.
bool WaitUntilWaitingOrEnded(LSS* lss, CheckPointGate& gate, Writer& w)
{
    while (!w.m_ended) {
        if (gate.Held() > 0 && lss->GetNumWaitingForCheckPoint() > 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// Until done() holds (the watchdog ends a test that waits for ever).
template <class Done> void Await(Done done)
{
    while (!done()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// A store with the bound at kBound, its check points held, and a writer of 400
// elements started on it.
struct HeldStore {
    std::shared_ptr<SharedBytes> m_d = std::make_shared<SharedBytes>();
    LSS* m_lss = OpenBounded(m_d);
    CheckPointGate m_gate{m_lss};
    Writer m_writer{m_lss, 400};

    bool WriterWaits() { return WaitUntilWaitingOrEnded(m_lss, m_gate, m_writer); }
};

// Reopens the store and checks the last of the first `done` elements that a Writer wrote.
void ExpectWrittenAfterReopen(const std::shared_ptr<SharedBytes>& d, int done)
{
    LSS* lss = OpenBounded(d);
    for (int i = std::max(0, done - 50); i < done; ++i) {
        std::vector<uint8_t> r;
        ASSERT_TRUE(ReadWhole(lss, S(1 + uint32_t(i % 50)), r));
        EXPECT_EQ(r, Pattern(1200, uint32_t(i)));
    }
    lss->Close();
}

} // namespace

TEST(LssLogBoundThreaded, WritersWaitAtTheBoundUntilACheckPointCommits)
{
    Watchdog dog;
    {
        // Unless set, the bound is twice the segments per check point.
        LSS* plain = OpenShared(std::make_shared<SharedBytes>(), BoundSettings());
        EXPECT_EQ(plain->GetLogBound(), 2000);
        // The log is at its bound from the segment that reaches it on.
        plain->SetLogBoundForTests(kBound);
        for (uint32_t i = 1; plain->GetSegmentWriter().GetSegmentsAfterCheckPoint() < kBound; ++i) {
            EXPECT_FALSE(plain->IsLogAtBound());
            WriteElement(plain, S(i), Pattern(1200, i));
        }
        EXPECT_EQ(plain->GetSegmentWriter().GetSegmentsAfterCheckPoint(), kBound);
        EXPECT_TRUE(plain->IsLogAtBound());
        plain->Close();
    }
    HeldStore s;
    LSS* lss = s.m_lss;
    Writer& w = s.m_writer;
    ASSERT_TRUE(s.WriterWaits()) << "the writer never waited; it wrote " << w.m_done;
    // The held check point has let appenders in; the log after the committed one has
    // grown to the bound, plus at most the map's nodes that the held check point wrote
    // and a segment that the cleaner was moving into.
    const int32_t at = lss->GetSegmentWriter().GetSegmentsAfterCheckPoint();
    EXPECT_GE(at, kBound);
    EXPECT_LE(at, kBound + 2);
    EXPECT_EQ(lss->GetNumWaitingForCheckPoint(), 1);
    EXPECT_EQ(s.m_gate.Held(), 1);
    s.m_gate.Release();
    w.m_thread.join();
    EXPECT_EQ(w.m_done, 400);
    EXPECT_FALSE(w.m_failedWithFileException);
    // The writer went on through as many further check points as it filled bounds.
    EXPECT_GE(lss->GetNumCheckPoints(), 400 * 1200 / kSeg / (kBound + 2));
    EXPECT_LE(lss->GetSegmentWriter().GetSegmentsAfterCheckPoint(), kBound + 2);
    lss->Close();
    ExpectWrittenAfterReopen(s.m_d, 400);
}

TEST(LssLogBoundThreaded, AFailedCheckPointLetsTheWaitingWritersGoWithItsFailure)
{
    Watchdog dog;
    HeldStore s;
    Writer& w = s.m_writer;
    ASSERT_TRUE(s.WriterWaits()) << "the writer never waited; it wrote " << w.m_done;
    const int done = w.m_done;
    s.m_gate.Release(true);
    w.m_thread.join();
    EXPECT_TRUE(w.m_failedWithFileException);
    EXPECT_EQ(w.m_done, done); // nothing more after the failure
    EXPECT_TRUE(s.m_lss->HasBackgroundFailure());
    std::exception_ptr failure;
    EXPECT_FALSE(s.m_lss->CloseReporting(&failure));
    EXPECT_TRUE(failure);
}

// Writers let go by a close never start their transactions: the close's last check
// point could come before them, and what they wrote would be left out of a store marked
// as shut down cleanly. They are told that the store is not open.
TEST(LssLogBoundThreaded, ACloseWhileWritersWaitLetsThemGoWithoutATransaction)
{
    Watchdog dog;
    HeldStore s;
    LSS* lss = s.m_lss;
    Writer& w = s.m_writer;
    ASSERT_TRUE(s.WriterWaits()) << "the writer never waited; it wrote " << w.m_done;
    const int done = w.m_done;
    Writer more[2] = {{lss, 400}, {lss, 400}};
    Await([&] { return lss->GetNumWaitingForCheckPoint() == 3 || more[0].m_ended || more[1].m_ended; });
    // The writers are inside the waiting call: they look at the flag only after it.
    for (Writer* x : {&w, &more[0], &more[1]}) x->m_stop = true;
    const auto allEnded = [&] { return w.m_ended && more[0].m_ended && more[1].m_ended; };
    // The close stops the check-pointer, which ends the hold. The writers are woken
    // first (as the check-pointer's end would wake them) and have gone, one way or the
    // other, before the held check point commits and the close goes on.
    s.m_gate.OnStop([&] {
        lss->CheckPointTakenOrDropped();
        Await(allEnded);
    });
    lss->Close();
    for (Writer* x : {&w, &more[0], &more[1]}) {
        x->m_thread.join();
        EXPECT_TRUE(x->m_refused);
    }
    EXPECT_EQ(w.m_done, done);
    EXPECT_EQ(more[0].m_done + more[1].m_done, 0);
    ExpectWrittenAfterReopen(s.m_d, done);
}

// A transaction that is under way when a check point lets appenders in again may carry
// the log past the bound before that check point commits; the commit then leaves the
// log at the bound, and the writers wait for the next check point, which ends it.
TEST(LssLogBoundThreaded, ACommitThatLeavesTheLogAtTheBoundIsFollowedByAnotherCheckPoint)
{
    Watchdog dog;
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenBounded(d);
    WriteElement(lss, S(1), Pattern(100, 1));
    ASSERT_LT(lss->GetSegmentWriter().GetSegmentsAfterCheckPoint(), kBound);
    CheckPointGate gate(lss);
    std::thread first([lss] { lss->CheckPointWithNewId(); });
    Await([&] { return gate.Held() == 1; });
    // One transaction over more segments than the bound, after the held check point's
    // log begins.
    const std::vector<uint8_t> big = Pattern(size_t(2 * kBound * kSeg), 2);
    WriteElement(lss, S(2), big);
    EXPECT_GE(lss->GetSegmentWriter().GetSegmentsAfterCheckPoint(), 2 * kBound);
    // (Expectations only from here to the close: the held check point's thread is joined.)
    Writer w(lss, 1);
    Await([&] { return lss->GetNumWaitingForCheckPoint() == 1 || w.m_ended; });
    EXPECT_EQ(w.m_done, 0);
    gate.ReleaseOne();
    first.join();
    // The first check point has committed; what came after its log began is still the
    // log a recovery would replay, past the bound: the writer waits for the next one.
    Await([&] { return gate.Held() == 2 || w.m_ended; });
    EXPECT_EQ(w.m_done, 0);
    EXPECT_GE(lss->GetSegmentWriter().GetSegmentsAfterCheckPoint(), 2 * kBound);
    EXPECT_EQ(lss->GetNumWaitingForCheckPoint(), 1);
    gate.Release();
    w.m_thread.join();
    EXPECT_EQ(w.m_done, 1);
    EXPECT_LT(lss->GetSegmentWriter().GetSegmentsAfterCheckPoint(), kBound);
    lss->Close();

    lss = OpenBounded(d);
    std::vector<uint8_t> r;
    ASSERT_TRUE(ReadWhole(lss, S(2), r));
    EXPECT_EQ(r, big);
    lss->Close();
}

// A thread that holds read elements keeps their segments pinned in the cache. When it
// then waits in the store (for a check point at the log's bound, for the segment
// writer that another transaction holds, or for the map's lock), the thread it waits
// for must not wait for the cache records that it holds. Each form with the cache
// filled by the held elements and the writer's head: a check point that needs a new
// segment for its map nodes while the holder waits at the bound to open a transaction;
// another thread's transaction that needs a new segment while the holder waits to
// open one; a check point writing its map nodes while the holder reads one more
// element. Without the mend each form hangs (the watchdog ends it).
TEST(LssLogBoundThreaded, ThreadsHoldingReadElementsNeverWaitForWhatTheyHold)
{
    enum Form { kAtTheBound, kBehindATransaction, kReadingDuringACheckPoint };
    // Elements in 240 seid spaces: a check point after all of them changed writes more
    // map nodes than a segment holds. 240 elements of 100 bytes fill seven segments.
    constexpr uint32_t kElements = 240;
    const auto E = [](uint32_t i) { return Seid(0x01010101u, 0x01010101u + ((i % 120) << 24) + ((i / 120) << 16)); };
    for (const Form form : {kAtTheBound, kBehindATransaction, kReadingDuringACheckPoint}) {
        for (const int32_t cache : {2, 3, 5}) {
            SCOPED_TRACE("form " + std::to_string(int(form)) + ", cache of " + std::to_string(cache));
            Watchdog dog;
            auto d = std::make_shared<SharedBytes>();
            LssSettings settings = BoundSettings();
            settings.m_maxNumSegmentsInCache = cache;
            LSS* lss = OpenShared(d, settings);
            lss->SetLogBoundForTests(kBound);
            std::vector<std::vector<uint8_t>> value(kElements + 3);
            const auto commit = [&](uint32_t from, uint32_t to, size_t size, uint32_t seed) {
                ILssTransaction* t = lss->OpenTransaction();
                for (uint32_t i = from; i <= to; ++i) {
                    value[i] = Pattern(size, i + seed);
                    ICloseableOutputStream* w = t->WriteSerialElement(E(i).m_low, E(i).m_high);
                    w->WriteStream(value[i].data(), ssize_t(value[i].size()));
                    w->Close();
                }
                t->Close();
            };
            commit(1, kElements, 100, 0);
            ASSERT_GE(lss->GetSegmentWriter().GetSegmentsAfterCheckPoint(), kBound);
            if (form != kAtTheBound) lss->CheckPointWithNewId(); // under the bound again
            // For the third form the map changes in every space: the check point has
            // nodes to write.
            if (form == kReadingDuringACheckPoint) commit(1, kElements, 100, 1000);
            // The held elements, one in each of cache - 1 segments other than the head.
            std::vector<IContiguousSerialElement*> held;
            std::vector<int32_t> segments;
            for (uint32_t i = 1; i <= kElements && int32_t(held.size()) < cache - 1; ++i) {
                const int32_t seg = lss->GetRPM().Lookup(E(i), false).m_segmentId;
                if (seg == lss->GetSegmentWriter().GetSegmentId() ||
                    std::find(segments.begin(), segments.end(), seg) != segments.end())
                    continue;
                segments.push_back(seg);
                held.push_back(lss->GetContiguousSerialElement(E(i)));
                ASSERT_NE(held.back(), nullptr);
            }
            ASSERT_EQ(int32_t(held.size()), cache - 1);
            std::atomic<bool> opened{false}, done{false};
            std::thread other;
            if (form == kAtTheBound) {
                // The check point this transaction waits for needs a segment.
                commit(kElements + 1, kElements + 1, 400, 0);
            } else if (form == kBehindATransaction) {
                other = std::thread([&] {
                    ILssTransaction* t = lss->OpenTransaction();
                    opened = true;
                    value[kElements + 2] = Pattern(size_t(3 * kSeg), 7);
                    ICloseableOutputStream* w = t->WriteSerialElement(E(kElements + 2).m_low, E(kElements + 2).m_high);
                    w->WriteStream(value[kElements + 2].data(), ssize_t(value[kElements + 2].size()));
                    w->Close();
                    t->Close();
                });
                Await([&] { return opened.load(); });
                commit(kElements + 1, kElements + 1, 400, 0);
            } else {
                const int64_t waits = lss->GetCache().GetNumRecordWaits();
                other = std::thread([&] {
                    lss->CheckPointWithNewId();
                    done = true;
                });
                // Once the check point waits for a record, or has ended.
                Await([&] { return done || lss->GetCache().GetNumRecordWaits() > waits; });
                std::vector<uint8_t> r;
                EXPECT_TRUE(ReadWhole(lss, E(kElements), r) && r == value[kElements]);
            }
            if (other.joinable()) other.join();
            for (IContiguousSerialElement* e : held) e->Release();
            lss->Close();
            lss = OpenShared(d, settings);
            for (uint32_t i = 1; i < value.size(); ++i) {
                std::vector<uint8_t> r;
                if (!value[i].empty()) {
                    EXPECT_TRUE(ReadWhole(lss, E(i), r) && r == value[i]) << i;
                }
            }
            lss->Close();
        }
    }
}
