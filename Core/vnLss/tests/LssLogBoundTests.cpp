// The log after the last committed check point stays bounded: at the bound, transactions
// wait for a check point before they start; a check point that fails lets them go with
// its failure, and a close lets them go too. A hook holds a check point between letting
// appenders in and committing, so that the waits happen under any schedule.
#include "LssStoreTestUtil.h"
#include "Watchdog.h"
#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace vorn;
using namespace vorn::test;

namespace {

constexpr int32_t kSeg = 4096;
const SeidHigh kSpace = 0x06060606u;
Seid S(uint32_t i) { return Seid(0x01010100u + i, kSpace); }

// Holds check points before their commit until released (or the check-pointer stops);
// released with a failure, the held check point throws it.
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
    int Held()
    {
        std::lock_guard<std::mutex> l(m_lock);
        return m_held;
    }

private:
    void Hold()
    {
        std::unique_lock<std::mutex> l(m_lock);
        ++m_held;
        // The check-pointer's stop is a flag without a signal of its own: looked at often.
        while (!m_released && !m_lss->GetCheckPointer().IsStopping())
            m_changed.wait_for(l, std::chrono::milliseconds(1));
        if (m_fail) {
            m_fail = false;
            throw FileException(EIO, xstring("held check point"));
        }
    }
    LSS* m_lss;
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_released = false;
    bool m_fail = false;
    int m_held = 0;
};

LssSettings BoundSettings()
{
    LssSettings s = SmallSettings(kSeg);
    s.m_numSegmentsPerCheckPoint = 2; // the bound is 4 segments
    return s;
}

// Writes transactions on a thread of its own until told to stop or count done. (They are
// not flushed: a flushed one waits for a pending commit by itself.)
struct Writer {
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_done{0};
    std::atomic<bool> m_failedWithFileException{false};
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

// Until the writer waits at the bound while a check point is held, or has ended.
bool WaitUntilWaitingOrEnded(LSS* lss, CheckPointGate& gate, Writer& w)
{
    while (!w.m_ended) {
        if (gate.Held() > 0 && lss->GetNumWaitingAtLogBound() > 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

} // namespace

TEST(LssLogBoundThreaded, WritersWaitAtTheBoundUntilACheckPointCommits)
{
    Watchdog dog;
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, BoundSettings());
    ASSERT_EQ(lss->GetLogBound(), 4);
    CheckPointGate gate(lss);
    Writer w(lss, 400);
    ASSERT_TRUE(WaitUntilWaitingOrEnded(lss, gate, w)) << "the writer never waited; it wrote " << w.m_done;
    // The held check point has let appenders in; the log after the committed one has
    // grown to the bound, plus at most the transaction under way and a segment that the
    // cleaner was moving.
    const int32_t at = lss->GetSegmentWriter().GetSegmentsAfterCheckPoint();
    EXPECT_GE(at, 4);
    EXPECT_LE(at, 6);
    EXPECT_EQ(lss->GetNumWaitingAtLogBound(), 1);
    gate.Release();
    w.m_thread.join();
    EXPECT_EQ(w.m_done, 400);
    EXPECT_FALSE(w.m_failedWithFileException);
    EXPECT_LE(lss->GetSegmentWriter().GetSegmentsAfterCheckPoint(), 6);
    lss->Close();

    // Everything written is there after a reopen.
    lss = OpenShared(d, BoundSettings());
    for (int i = 400 - 50; i < 400; ++i) {
        std::vector<uint8_t> r;
        ASSERT_TRUE(ReadWhole(lss, S(1 + uint32_t(i % 50)), r));
        EXPECT_EQ(r, Pattern(1200, uint32_t(i)));
    }
    lss->Close();
}

TEST(LssLogBoundThreaded, AFailedCheckPointLetsTheWaitingWritersGoWithItsFailure)
{
    Watchdog dog;
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, BoundSettings());
    CheckPointGate gate(lss);
    Writer w(lss, 400);
    ASSERT_TRUE(WaitUntilWaitingOrEnded(lss, gate, w));
    gate.Release(true);
    w.m_thread.join();
    EXPECT_TRUE(w.m_failedWithFileException);
    EXPECT_LT(w.m_done, 400);
    EXPECT_TRUE(lss->HasBackgroundFailure());
    std::exception_ptr failure;
    EXPECT_FALSE(lss->CloseReporting(&failure));
    EXPECT_TRUE(failure);
}

TEST(LssLogBoundThreaded, ACloseWhileWritersWaitLetsThemGo)
{
    Watchdog dog;
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, BoundSettings());
    CheckPointGate gate(lss);
    Writer w(lss, 400);
    ASSERT_TRUE(WaitUntilWaitingOrEnded(lss, gate, w));
    // The writer is inside the waiting call: it looks at the flag only after that call,
    // and the held check point ends when the check-pointer is stopped.
    w.m_stop = true;
    lss->Close();
    w.m_thread.join();
    EXPECT_TRUE(w.m_ended);
    // The store opens with what was committed.
    lss = OpenShared(d, BoundSettings());
    EXPECT_TRUE(lss->SerialElementExists(S(1)));
    lss->Close();
}
