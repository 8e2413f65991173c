// Recovery and check-point time against the length of the log written since the last
// check point, on a store of 0x80000-byte segments over memory.
#include "../tests/LssStoreTestUtil.h"
#include "vnLss/LSS.h"
#include <benchmark/benchmark.h>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

using namespace vorn;

namespace {

LssSettings RecoverySettings()
{
    LssSettings s;
    s.m_segmentSize = 0x80000;
    s.m_flushTimeMilliSec = 600000;
    s.m_numSegmentsPerCheckPoint = 1 << 20; // no check point but the ones measured
    s.m_maxNumSegmentsInCache = 512;
    s.m_cleanerUtilisationPercent = 0;
    return s;
}

constexpr size_t kElementSize = 16 * 1024;

// Writes megabytes of log as transactions of one 16 KB element each (new seids).
void WriteLog(LSS* lss, int64_t megabytes, SeidHigh space)
{
    std::vector<uint8_t> b(kElementSize);
    for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(i * 131 + 7);
    const int64_t n = megabytes * (1 << 20) / int64_t(kElementSize);
    for (int64_t i = 0; i < n; ++i) {
        const Seid s = lss->AllocateSeid(space);
        ILssTransaction* t = lss->OpenTransaction();
        ICloseableOutputStream* w = t->WriteSerialElement(s.m_low, s.m_high);
        w->WriteStream(b.data(), ssize_t(b.size()));
        w->Close();
        t->Close();
    }
    lss->Flush();
}

// The open of a store that crashed with this much log after its last check point:
// the scan, the replay and the check point that ends the open.
void BM_RecoveryOpen(benchmark::State& state)
{
    auto live = std::make_shared<test::SharedBytes>();
    LSS* lss = LSS::OpenOnStorage(new test::SharedRAS(live), nullptr, nullptr, false, RecoverySettings());
    WriteLog(lss, state.range(0), lss->AllocateSeidHigh());
    std::vector<uint8_t> image;
    {
        std::lock_guard<std::mutex> l(live->m_lock);
        image = live->m_bytes;
    }
    lss->Close();
    for (auto _ : state) {
        state.PauseTiming();
        auto b = std::make_shared<test::SharedBytes>();
        b->m_bytes.reserve(image.size() + 4 * 0x80000); // growth is not what is measured
        b->m_bytes = image;
        state.ResumeTiming();
        LSS* r = LSS::OpenOnStorage(new test::SharedRAS(b), nullptr, nullptr, false, RecoverySettings());
        state.PauseTiming();
        r->Close();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0) * (1 << 20));
}
BENCHMARK(BM_RecoveryOpen)->Arg(1)->Arg(4)->Arg(16)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();

// A check point after this much log (already flushed): the map's dirty nodes, the
// root division and the commit.
void BM_CheckPoint(benchmark::State& state)
{
    auto live = std::make_shared<test::SharedBytes>();
    live->m_bytes.reserve(size_t(state.range(0)) * 4 * (1 << 20) + (8u << 20)); // growth is not what is measured
    LSS* lss = LSS::OpenOnStorage(new test::SharedRAS(live), nullptr, nullptr, false, RecoverySettings());
    for (auto _ : state) {
        state.PauseTiming();
        WriteLog(lss, state.range(0), lss->AllocateSeidHigh());
        state.ResumeTiming();
        lss->CheckPointWithNewId();
    }
    lss->Close();
}
BENCHMARK(BM_CheckPoint)->Arg(1)->Arg(4)->Arg(16)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

} // namespace
