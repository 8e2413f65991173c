#include "Tilvex/PyramidComputation.h"
#include "Tilvex/ModelTransaction.h"
#include "Tilvex/TileGeometry.h"
#include "vnObject/CSpace.h"
#include "vnObject/CSpaceStack.h"
#include "vnPersistStore/SpaceOperations.h"
#include "vnReflection/CoreModule.h"
#include "vnUtils/ThreadPool.h"
#include "vnUtils/Time.h"
#include "vnUtils/Trace.h"
#include <cstring>
#include <exception>
#include <memory>

namespace vorn {

namespace {

constexpr int32_t kIntermediateThreads = 4;
constexpr int32_t kHalfTile = kTileSize / 2;
// A level that takes longer than this reports how far it is.
constexpr double kProgressSeconds = 2.0;
constexpr double kTicksPerSecond = 1e7; // HPTime counts 100 ns

// Decodes one child's tile and averages it into its quadrant of the parent's bitmap.
// The private bitmap is kept between runs, so its blocks are reused.
class ComputeImageFromChildrenTask final : public IThreadPoolTask {
public:
    void Run() override
    {
        try {
            m_child.ReadJpeg(m_jpeg, m_length);
            if (!IsTileBitmap(m_child)) throw JpegException("A child tile is not a 256 x 256, 24-bit image");
            ResDIB::Average2x2(m_child, m_dst, m_dstStride, kTileSize, Rect2i(m_x0, m_y0, m_x1, m_y1));
        } catch (...) {
            m_failure = std::current_exception();
        }
    }

    uint8_t* m_dst = nullptr;
    int32_t m_dstStride = 0;
    int32_t m_x0 = 0, m_y0 = 0, m_x1 = 0, m_y1 = 0;
    const uint8_t* m_jpeg = nullptr;
    size_t m_length = 0;
    std::exception_ptr m_failure;

private:
    ResDIB m_child;
};

// What one CalcIntermediateTiles run shares between its nodes.
struct LevelContext {
    IThreadPool* pool = nullptr;
    TilvexWorkStack* work = nullptr;
    ComputeImageFromChildrenTask tasks[4];
    ResDIB bitmap;
    HPTime lastReport;
};

// Drops the parent's cached pointer to a child once the child has its OID, so that
// the child may leave memory; a child without one would be lost.
void ReleaseChild(pref& ref)
{
    if (!ref.GetOid().IsNull()) ref.m_cached = AnyInterface{nullptr, nullptr};
}

// Called with the transaction held: the held lock keeps the collector from freeing
// the children while the tasks read their bytes.
void ComputeImageFromChildren(LevelContext& ctx, TilvexNode* node)
{
    if (ctx.bitmap.IsEmpty())
        ctx.bitmap.Create(kTileBitsPerPixel, kTileSize, kTileSize);
    else
        std::memset(ctx.bitmap.GetPixels(), 0, size_t(ctx.bitmap.GetStride()) * kTileSize);

    std::unique_ptr<ITaskExecuter> executer(ctx.pool->CreateTaskExecuter());
    int32_t used = 0;
    for (int32_t row = 0; row < 2; ++row) {
        for (int32_t col = 0; col < 2; ++col) {
            TilvexNode* child = node->GetChild(col, row);
            if (!child || !child->HasImage()) continue;
            ComputeImageFromChildrenTask& t = ctx.tasks[used++];
            t.m_dst = ctx.bitmap.GetPixels();
            t.m_dstStride = ctx.bitmap.GetStride();
            t.m_x0 = kHalfTile * col;
            t.m_y0 = kHalfTile * row;
            t.m_x1 = t.m_x0 + kHalfTile;
            t.m_y1 = t.m_y0 + kHalfTile;
            t.m_jpeg = child->m_jpeg.m_bytes.data();
            t.m_length = size_t(child->m_jpeg.m_bytes.size());
            t.m_failure = nullptr;
            executer->AddTask(&t);
        }
    }
    executer.reset(); // waits for the tasks
    for (int32_t i = 0; i < used; ++i)
        if (ctx.tasks[i].m_failure) std::rethrow_exception(ctx.tasks[i].m_failure);
    for (pref& c : node->m_children) ReleaseChild(c);

    EncodeJpegImage(ctx.bitmap, node->m_jpeg);
    node->m_decodeState = TDS_STALE;
}

void ReportProgress(LevelContext& ctx)
{
    const HPTime now = GetHPTime();
    if (double(now - ctx.lastReport) < kProgressSeconds * kTicksPerSecond) return;
    ctx.lastReport = now;
    TraceStream t;
    t << "  " << static_cast<long long>(ctx.work->m_count) << " tiles so far\n";
}

// On a node at level L: computes the nodes at level L + n - 1 of its subtree.
void CalcLevel(LevelContext& ctx, TilvexNode* node, int32_t n)
{
    TilvexWorkStack* work = ctx.work;
    if (n == 1) {
        ModelTransaction txn;
        ComputeImageFromChildren(ctx, node);
        node->MarkDirty();
        ++work->m_count;
        ReportProgress(ctx);
        return;
    }
    for (int32_t row = 0; row < 2; ++row) {
        for (int32_t col = 0; col < 2; ++col) {
            if (work->m_abort.load()) return;
            TilvexNode* child;
            {
                ModelTransaction txn;
                child = node->GetChild(col, row);
                if (!child) continue;
                work->Push(child);
            }
            CalcLevel(ctx, child, n - 1);
            ModelTransaction txn;
            work->Pop();
        }
    }
}

void CreateSubtree(TilvexWorkStack* work, TilvexNode* node, int32_t h)
{
    if (h < 2) return;
    for (int32_t row = 0; row < 2; ++row) {
        for (int32_t col = 0; col < 2; ++col) {
            if (work->m_abort.load()) return;
            TilvexNode* child;
            {
                ModelTransaction txn;
                child = node->GetChild(col, row);
                if (!child) {
                    child = NewTilvexNode();
                    node->SetChild(col, row, child);
                }
                work->Push(child);
                ++work->m_count;
            }
            CreateSubtree(work, child, h - 1);
            ModelTransaction txn;
            work->Pop();
        }
    }
}

} // namespace

int32_t TilvexDepthForSize(int64_t width, int64_t height)
{
    const int64_t side = width > height ? width : height;
    int32_t d = 1;
    while (d < kMaxPyramidHeight && (int64_t(kTileSize) << (d - 1)) < side) ++d;
    return d;
}

// ---- TilvexWorkStack

AnyInterface TilvexWorkStack::QueryInterface(const ReflectedInterface& ri)
{
    if (&ri == &GetIObjectInterfaceRecord()) return AsObject();
    return AnyInterface{nullptr, nullptr};
}

void TilvexWorkStack::VisitObjects(IObjectVisitor& v)
{
    for (auto it = m_work.Begin(); it != m_work.End(); ++it) v.VisitStrong(*it);
}

void TilvexWorkStack::Destroy()
{
    m_work.Clear();
    delete this;
}

AnyInterface TilvexWorkStack::AsObject() { return AnyInterface{this, &kIObjectTableOf<TilvexWorkStack>}; }

WorkStackScope::WorkStackScope()
{
    OpenCSpaceStack();
    CSpace* space = GetThreadCSpace();
    CSpaceLock lock(space);
    m_work = new TilvexWorkStack();
    space->RegisterGcObject(m_work->AsObject());
    CSpaceStack_Push(m_work->AsObject());
}

WorkStackScope::~WorkStackScope()
{
    CSpaceStack_Pop(1);
    CloseCSpaceStack();
}

// ---- the levels

int64_t CalcIntermediateTiles(Tilvex* tilvex)
{
    WorkStackScope scope;
    TilvexWorkStack* work = scope.Get();
    TilvexNode* root = nullptr;
    int32_t height = 0;
    if (!work->m_abort.load()) {
        ModelTransaction txn;
        root = tilvex->GetRootNode();
        height = tilvex->GetHeight();
        if (root) work->Push(root);
    }
    {
        auto ctx = std::make_unique<LevelContext>();
        std::unique_ptr<IThreadPool> pool(CreateThreadPool(kIntermediateThreads));
        ctx->pool = pool.get();
        ctx->work = work;
        ctx->lastReport = GetHPTime();
        for (int32_t n = height - 1; n >= 1 && !work->m_abort.load(); --n) {
            {
                TraceStream t;
                t << "Calculating intermediate tiles at depth " << n << "\n";
            }
            if (root) CalcLevel(*ctx, root, n);
        }
    }
    if (root) {
        ModelTransaction txn;
        work->Pop();
    }
    TraceStream t;
    t << "Calculated " << static_cast<long long>(work->m_count) << " tiles\n";
    return work->m_count;
}

void CreateFullTree(Tilvex* tilvex, int32_t h)
{
    WorkStackScope scope;
    TilvexWorkStack* work = scope.Get();
    if (!work->m_abort.load()) {
        TilvexNode* root;
        {
            ModelTransaction txn;
            root = tilvex->GetRootNode();
            if (!root) {
                root = NewTilvexNode();
                tilvex->SetRootNode(root);
            }
            work->Push(root);
            ++work->m_count;
        }
        CreateSubtree(work, root, h);
        ModelTransaction txn;
        work->Pop();
    }
    TraceStream t;
    t << "Created " << static_cast<long long>(work->m_count) << " tiles\n";
}

} // namespace vorn
