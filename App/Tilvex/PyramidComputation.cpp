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

constexpr int32_t kParentsPerBatch = 64;

// What a thread keeps from one parent to the next: the JPEG library's objects and the
// two bitmaps, so that computing a parent allocates nothing but its result.
struct ParentWorkspace {
    JpegCoder coder;
    ResDIB child;
    ResDIB parent;
};

ParentWorkspace& GetThreadParentWorkspace()
{
    static thread_local ParentWorkspace workspace;
    return workspace;
}

// Computes one parent's tile on a pool thread from the copies of its children's bytes
// it was given, writing only its own members.
class ComputeImageFromChildrenTask final : public IThreadPoolTask {
public:
    void Run() override
    {
        try {
            const uint8_t* bytes[4];
            size_t lengths[4];
            for (int32_t i = 0; i < 4; ++i) {
                bytes[i] = m_has[i] ? m_children[i].data() : nullptr;
                lengths[i] = size_t(m_children[i].size());
            }
            ComputeParentImage(bytes, lengths, m_result);
        } catch (...) {
            m_failure = std::current_exception();
        }
    }

    TilvexNode* m_node = nullptr;
    bool m_has[4] = {};
    xvector<uint8_t> m_children[4];
    JpegImage m_result;
    std::exception_ptr m_failure;
};

// What one CalcIntermediateTiles run shares between its nodes: the pool, the path
// being walked, and the batch of parents of the current level waiting to be computed
// (held on a work stack of their own so that they stay in memory meanwhile).
struct LevelContext {
    IThreadPool* pool = nullptr;
    TilvexWorkStack* work = nullptr;
    TilvexWorkStack* batch = nullptr;
    ComputeImageFromChildrenTask tasks[kParentsPerBatch];
    int32_t used = 0;
    HPTime lastReport;
};

// Drops the parent's cached pointer to a child once the child has its OID, so that
// the child may leave memory; a child without one would be lost.
void ReleaseChild(pref& ref)
{
    if (!ref.GetOid().IsNull()) ref.m_cached = AnyInterface{nullptr, nullptr};
}

void ReportProgress(LevelContext& ctx)
{
    const HPTime now = GetHPTime();
    if (double(now - ctx.lastReport) < kProgressSeconds * kTicksPerSecond) return;
    ctx.lastReport = now;
    TraceStream t;
    t << "  " << static_cast<long long>(ctx.work->m_count) << " tiles so far\n";
}

// Computes the batch's parents on the pool, then hands each its tile in one
// transaction. A failure of any task is thrown here, on the walking thread.
void FlushBatch(LevelContext& ctx)
{
    if (ctx.used == 0) return;
    {
        std::unique_ptr<ITaskExecuter> executer(ctx.pool->CreateTaskExecuter());
        for (int32_t i = 0; i < ctx.used; ++i) executer->AddTask(&ctx.tasks[i]);
    } // waits for the tasks
    const int32_t used = ctx.used;
    ctx.used = 0;
    for (int32_t i = 0; i < used; ++i)
        if (ctx.tasks[i].m_failure) std::rethrow_exception(ctx.tasks[i].m_failure);
    ModelTransaction txn;
    for (int32_t i = 0; i < used; ++i) {
        ComputeImageFromChildrenTask& t = ctx.tasks[i];
        t.m_node->TakeJpegBytes(t.m_result.m_bytes);
        for (pref& c : t.m_node->m_children) ReleaseChild(c);
        t.m_node = nullptr;
        ++ctx.work->m_count;
    }
    ctx.batch->m_work.Clear();
    ReportProgress(ctx);
}

// Queues node for computation from its children: copies of the children's bytes go to
// the next free task (inside a transaction, so no child can leave memory meanwhile).
void ComputeImageFromChildren(LevelContext& ctx, TilvexNode* node)
{
    {
        ModelTransaction txn;
        ComputeImageFromChildrenTask& t = ctx.tasks[ctx.used];
        t.m_node = node;
        t.m_failure = nullptr;
        for (int32_t row = 0; row < 2; ++row) {
            for (int32_t col = 0; col < 2; ++col) {
                const int32_t i = col + 2 * row;
                TilvexNode* child = node->GetChild(col, row);
                t.m_has[i] = child && child->HasImage();
                if (t.m_has[i])
                    t.m_children[i].assign(child->m_jpeg.m_bytes.begin(), child->m_jpeg.m_bytes.end());
                else
                    t.m_children[i].clear();
            }
        }
        ctx.batch->Push(node);
        ++ctx.used;
    }
    if (ctx.used == kParentsPerBatch) FlushBatch(ctx);
}

// On a node at level L: computes the nodes at level L + n - 1 of its subtree.
void CalcLevel(LevelContext& ctx, TilvexNode* node, int32_t n)
{
    TilvexWorkStack* work = ctx.work;
    if (n == 1) {
        ComputeImageFromChildren(ctx, node);
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

void ComputeParentImage(const uint8_t* const children[4], const size_t lengths[4], JpegImage& result)
{
    ParentWorkspace& w = GetThreadParentWorkspace();
    ResDIB& parent = w.parent;
    if (parent.IsEmpty()) parent.Create(kTileBitsPerPixel, kTileSize, kTileSize);
    for (int32_t i = 0; i < 4; ++i) {
        const int32_t x0 = kHalfTile * (i % 2);
        const int32_t y0 = kHalfTile * (i / 2);
        if (!children[i]) {
            for (int32_t y = y0; y < y0 + kHalfTile; ++y)
                std::memset(parent.GetImageRow(y) + 3 * x0, 0, 3 * size_t(kHalfTile));
            continue;
        }
        w.coder.Decode(children[i], lengths[i], w.child);
        if (!IsTileBitmap(w.child)) throw JpegException("A child tile is not a 256 x 256, 24-bit image");
        ResDIB::Average2x2(w.child, parent.GetPixels(), parent.GetStride(), kTileSize,
                           Rect2i(x0, y0, x0 + kHalfTile, y0 + kHalfTile));
    }
    w.coder.Encode(parent, result);
}

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
    m_work = AddWorkStack();
}

TilvexWorkStack* WorkStackScope::AddWorkStack()
{
    CSpace* space = GetThreadCSpace();
    CSpaceLock lock(space);
    auto* work = new TilvexWorkStack();
    space->RegisterGcObject(work->AsObject());
    CSpaceStack_Push(work->AsObject());
    ++m_count;
    return work;
}

WorkStackScope::~WorkStackScope()
{
    CSpaceStack_Pop(m_count);
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
        ctx->batch = scope.AddWorkStack();
        ctx->lastReport = GetHPTime();
        for (int32_t n = height - 1; n >= 1 && !work->m_abort.load(); --n) {
            {
                TraceStream t;
                t << "Calculating intermediate tiles at depth " << n << "\n";
            }
            if (root) CalcLevel(*ctx, root, n);
            FlushBatch(*ctx);
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
