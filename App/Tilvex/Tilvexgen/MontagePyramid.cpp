#include "Tilvex/Tilvexgen/MontagePyramid.h"
#include "Tilvex/Model/ModelTransaction.h"
#include "Tilvex/Model/PyramidComputation.h"
#include "Tilvex/Model/TileGeometry.h"
#include "Tilvex/Tilvexgen/BottomTiles.h"
#include "Tilvex/Tilvexgen/PendingTiles.h"
#include "vnObject/CSpaceStack.h"
#include "vnPersistStore/PSpace.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/ThreadPool.h"
#include "vnUtils/Time.h"
#include "vnUtils/Trace.h"
#include <climits>
#include <exception>
#include <memory>

namespace vorn {

namespace {
constexpr int32_t kBottomThreads = 2;

// The start of every pool thread of the build: the thread's state with destructors is
// made before the thread takes work (see vnUtils/Threads.h).
void PrepareBuilderThread()
{
    PreparePyramidThread();
    IrregularMontageCalcBottomTiles::PrepareThread();
}
} // namespace

void ComputeMontageBoundingBox(Montage& montage)
{
    int32_t x1 = INT32_MAX, y1 = INT32_MAX, x2 = INT32_MIN, y2 = INT32_MIN;
    for (const MontageEntry& e : montage.entries) {
        if (e.x1 < x1) x1 = e.x1;
        if (e.y1 < y1) y1 = e.y1;
        if (e.x2 > x2) x2 = e.x2;
        if (e.y2 > y2) y2 = e.y2;
    }
    montage.x1 = x1;
    montage.y1 = y1;
    montage.x2 = x2;
    montage.y2 = y2;
}

int32_t ComputeTilvexDepth(const Montage& montage)
{
    // Modulo 2^32, as the box of an empty montage gives 1 x 1.
    const int64_t w = int64_t(uint32_t(montage.x2) - uint32_t(montage.x1));
    const int64_t h = int64_t(uint32_t(montage.y2) - uint32_t(montage.y1));
    {
        TraceStream t;
        t << "Width = " << static_cast<long long>(w) << "  Height = " << static_cast<long long>(h) << "  Area = ";
        WriteWithSiPrefix(double(w) * double(h), t);
        t << " pixels\n";
    }
    if (w > kMaxMontageSide || h > kMaxMontageSide) {
        ThrowVornExceptionF(GeneralErrorCategory(), 1,
                            "The montage is %lld x %lld pixels; a side may be at most %lld pixels",
                            static_cast<long long>(w), static_cast<long long>(h),
                            static_cast<long long>(kMaxMontageSide));
    }
    return TilvexDepthForSize(w, h);
}

int64_t CalcBottomTiles(int32_t d, Montage& montage, Tilvex* tilvex, IThreadPool* encodePool)
{
    const int64_t W = NodeSideInPixels(d, 1);
    {
        TraceStream t;
        t << "Width = " << static_cast<long long>(W) << "\n";
    }
    {
        TraceStream t;
        t << "Processing " << montage.entries.size() << " images\n";
    }

    // The pending tiles: a collected object of the space, kept on an object-stack frame
    // for the phase.
    OpenCSpaceStack();
    CSpaceStackGuard frame;
    PendingTiles* pending = PendingTiles::Create(montage);

    // The encoder's tasks use the painting task: only the painting workers queue them,
    // and the wait below ends them before the painting task goes.
    std::unique_ptr<ITaskExecuter> encoder(encodePool ? encodePool->CreateTaskExecuter() : nullptr);
    // The painting workers are made (their stacks and state) before the task measures
    // the memory left for the photos.
    std::unique_ptr<IThreadPool> pool(CreateThreadPool(kBottomThreads, &PrepareBuilderThread));
    IrregularMontageCalcBottomTiles task(GetThreadPSpace(), montage, tilvex, d, W, pending, encoder.get());
    {
        std::unique_ptr<ITaskExecuter> executer(pool->CreateTaskExecuter());
        for (int32_t i = 0; i < kBottomThreads; ++i) executer->AddTask(&task);
        executer.reset();
    }
    pool.reset();
    if (encoder) encoder->WaitForAllTasks();
    if (task.GetFailure()) std::rethrow_exception(task.GetFailure());
    return task.GetParentsComputed();
}

bool CalcTilvexFromMontage(Montage& montage, Tilvex* tilvex)
{
    {
        TraceStream t;
        t << "Calculating Tilvex from an irregular montage of images\n";
    }
    ComputeMontageBoundingBox(montage);
    const int32_t d = ComputeTilvexDepth(montage);
    {
        TraceStream t;
        t << "Depth = " << d << "\n";
    }
    {
        ModelTransaction txn;
        tilvex->SetHeight(d);
    }
    // The level computation's pool also encodes the finished bottom tiles while the
    // two painting workers go on.
    std::unique_ptr<IThreadPool> pool(CreateThreadPool(kIntermediateThreads, &PrepareBuilderThread));
    const int64_t parents = CalcBottomTiles(d, montage, tilvex, pool.get());
    tilvex->CalcIntermediateTiles(pool.get(), parents);
    {
        ModelTransaction txn;
        tilvex->SetHeight(d);
    }
    return true;
}

} // namespace vorn
