#include "Tilvex/Model/PyramidComputation.h"
#include "Tilvex/Model/ModelTransaction.h"
#include "Tilvex/Model/TileGeometry.h"
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
#include <vector>

namespace vorn {

// A node's reference to one of its children, held as the node and the child's index:
// whoever keeps a slot to write through it later keeps its owner strongly held until
// then (the owner may have an OID, and only weak references to it otherwise, so the
// collector could evict it meanwhile).
struct TilvexNode::ChildSlot {
    TilvexNode* owner = nullptr;
    int32_t index = 0;
    pref* Get() const { return owner ? &owner->m_children[index] : nullptr; }
};

namespace {

using ChildSlot = TilvexNode::ChildSlot;
using LevelContext = TilvexNode::LevelContext;

constexpr int32_t kHalfTile = kTileSize / 2;
// A level that takes longer than this reports how far it is.
constexpr double kProgressSeconds = 2.0;
constexpr double kTicksPerSecond = 1e7; // HPTime counts 100 ns

constexpr int32_t kParentsPerBatch = 64;

void (*g_batchFinishHook)() = nullptr;

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

} // namespace

void PreparePyramidThread()
{
    GetThreadParentWorkspace();
    GetThreadJpegCoder();
}

namespace {

// Computes one parent's tile on a pool thread from the copies of its children's bytes
// it was given, writing only its own members.
class ComputeImageFromChildrenTask final : public IThreadPoolTask {
public:
    void Run() override
    {
        try {
            m_children.ComputeImage(m_result);
        } catch (...) {
            m_failure = std::current_exception();
        }
    }

    TilvexNode* m_node = nullptr;
    ChildSlot m_slot; // the node's reference in its parent (no owner for the root)
    ParentChildren m_children;
    JpegImage m_result;
    std::exception_ptr m_failure;
};

// Parents of one level handed to the pool together: each task is added as soon as it
// is filled, and the parents, and the nodes whose references to them are written when
// the batch finishes, are held on a work stack of their own so that they stay in
// memory meanwhile.
struct ParentBatch {
    ComputeImageFromChildrenTask tasks[kParentsPerBatch];
    TilvexWorkStack* held = nullptr;
    std::unique_ptr<ITaskExecuter> executer; // after the tasks: waits for them before they go
    int32_t used = 0;
};

} // namespace

// What one CalcIntermediateTiles run shares between its nodes: the pool, the path
// being walked, and two batches: while the pool computes one, the walk fills the other
// (loading the children from the store as needed), so neither waits for the other.
struct TilvexNode::LevelContext {
    std::unique_ptr<IThreadPool> ownPool; // first: outlives the executers
    IThreadPool* pool = nullptr;
    TilvexWorkStack* work = nullptr;
    ParentBatch batches[2];
    int32_t filling = 0;
    bool keepComputed = false; // parents with an image are left (see CalcIntermediateTiles)
    // References to computed nodes that had no OID yet when their tile was handed over;
    // their owners are held by unreleasedOwners until the level is finished.
    std::vector<ChildSlot> unreleased;
    TilvexWorkStack* unreleasedOwners = nullptr;
    HPTime lastReport;
};

namespace {

// Releases the computed node at slot from its parent, or, while it has no OID yet,
// remembers the slot (holding its owner) to try again at the next batch. Inside a
// transaction.
void KeepUnlessReleased(LevelContext& ctx, const ChildSlot& slot)
{
    if (!slot.owner || ReleaseWrittenChild(*slot.Get())) return;
    ctx.unreleased.push_back(slot);
    ctx.unreleasedOwners->Push(slot.owner);
}

void ReportProgress(LevelContext& ctx)
{
    const HPTime now = GetHPTime();
    if (double(now - ctx.lastReport) < kProgressSeconds * kTicksPerSecond) return;
    ctx.lastReport = now;
    TraceStream t;
    t << "  " << static_cast<long long>(ctx.work->m_count) << " tiles so far\n";
}

// Waits for the batch's parents, then hands each its tile in one transaction and
// releases it and its children from the references that hold them in memory, once
// they have their OIDs, so that a level's computed nodes do not pile up in memory
// either. A failure of any task is thrown here, on the walking thread.
void FinishBatch(LevelContext& ctx, ParentBatch& b)
{
    if (b.used == 0) return;
    b.executer->WaitForAllTasks();
    const int32_t used = b.used;
    b.used = 0;
    for (int32_t i = 0; i < used; ++i)
        if (b.tasks[i].m_failure) std::rethrow_exception(b.tasks[i].m_failure);
    if (g_batchFinishHook) g_batchFinishHook();
    ModelTransaction txn;
    std::erase_if(ctx.unreleased, [](const ChildSlot& slot) { return ReleaseWrittenChild(*slot.Get()); });
    for (int32_t i = 0; i < used; ++i) {
        ComputeImageFromChildrenTask& t = b.tasks[i];
        t.m_node->TakeJpegBytes(t.m_result.m_bytes);
        for (pref& c : t.m_node->m_children) ReleaseWrittenChild(c);
        KeepUnlessReleased(ctx, t.m_slot);
        t.m_node = nullptr;
        ++ctx.work->m_count;
    }
    b.held->m_work.Clear();
    ReportProgress(ctx);
}

// Finishes both batches, the one started first first. The references still waiting
// for their OIDs are forgotten: their parents may leave memory in the next level.
void FinishLevel(LevelContext& ctx)
{
    FinishBatch(ctx, ctx.batches[1 - ctx.filling]);
    FinishBatch(ctx, ctx.batches[ctx.filling]);
    ModelTransaction txn;
    ctx.unreleased.clear();
    ctx.unreleasedOwners->m_work.Clear();
}

// The step of every walk down the tree: for row 0, 1 and, within each, col 0, 1, until
// the work stack is aborted: in a transaction, child(col, row) gives the node's child to
// go down to (null: none, skipped) and it is pushed on the work stack, which keeps it in
// memory; then visit(child, col, row) runs outside any transaction, and the child is
// popped in a new one.
template <class Child, class Visit>
void WalkChildren(TilvexWorkStack* work, Child&& child, Visit&& visit)
{
    for (int32_t row = 0; row < 2; ++row) {
        for (int32_t col = 0; col < 2; ++col) {
            if (work->m_abort.load()) return;
            TilvexNode* next;
            {
                ModelTransaction txn;
                next = child(col, row);
                if (!next) continue;
                work->Push(next);
            }
            visit(next, col, row);
            ModelTransaction txn;
            work->Pop();
        }
    }
}

} // namespace

bool ReleaseWrittenChild(pref& ref)
{
    if (ref.GetOid().IsNull()) return false;
    ref.m_cached = AnyInterface{nullptr, nullptr};
    return true;
}

void SetLevelBatchFinishHook(void (*hook)()) { g_batchFinishHook = hook; }

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

void ParentChildren::ComputeImage(JpegImage& result) const
{
    const uint8_t* children[4];
    size_t lengths[4];
    for (int32_t i = 0; i < 4; ++i) {
        children[i] = has[i] ? bytes[i].data() : nullptr;
        lengths[i] = size_t(bytes[i].size());
    }
    ComputeParentImage(children, lengths, result);
}

int32_t TilvexDepthForSize(int64_t width, int64_t height)
{
    const int64_t side = width > height ? width : height;
    int32_t d = 1;
    while (d < kMaxPyramidHeight && (int64_t(kTileSize) << (d - 1)) < side) ++d;
    return d;
}

// ---- TilvexWorkStack

void TilvexWorkStack::VisitObjects(IObjectVisitor& v)
{
    for (auto it = m_work.Begin(); it != m_work.End(); ++it) v.VisitStrong(*it);
}

void TilvexWorkStack::DestroyObject()
{
    m_work.Clear();
    delete this;
}

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

// Copies of the children's bytes go to the next free task (inside a transaction, so no
// child can leave memory meanwhile), which starts at once. A full batch waits for the
// other one to finish and then lets the walk fill that.
void TilvexNode::ComputeImageFromChildren(LevelContext& ctx, TilvexNode* node, const ChildSlot& slot)
{
    if (ctx.keepComputed) {
        ModelTransaction txn;
        if (node->HasImage()) {
            for (pref& c : node->m_children) ReleaseWrittenChild(c);
            KeepUnlessReleased(ctx, slot);
            return;
        }
    }
    ParentBatch& b = ctx.batches[ctx.filling];
    ComputeImageFromChildrenTask& t = b.tasks[b.used];
    {
        ModelTransaction txn;
        t.m_node = node;
        t.m_slot = slot;
        t.m_failure = nullptr;
        for (int32_t row = 0; row < 2; ++row) {
            for (int32_t col = 0; col < 2; ++col) {
                const int32_t i = col + 2 * row;
                TilvexNode* child = node->GetChild(col, row);
                t.m_children.has[i] = child && child->HasImage();
                if (t.m_children.has[i])
                    t.m_children.bytes[i].assign(child->m_jpeg.m_bytes.begin(), child->m_jpeg.m_bytes.end());
                else
                    t.m_children.bytes[i].clear();
            }
        }
        b.held->Push(node);
        if (slot.owner) b.held->Push(slot.owner);
    }
    if (!b.executer) b.executer.reset(ctx.pool->CreateTaskExecuter());
    b.executer->AddTask(&t);
    if (++b.used == kParentsPerBatch) {
        ctx.filling = 1 - ctx.filling;
        FinishBatch(ctx, ctx.batches[ctx.filling]);
    }
}

void TilvexNode::CalcLevel(LevelContext& ctx, const ChildSlot& slot, int32_t n)
{
    if (n == 1) {
        ComputeImageFromChildren(ctx, this, slot);
        return;
    }
    WalkChildren(
        ctx.work, [this](int32_t col, int32_t row) { return GetChild(col, row); },
        [&](TilvexNode* child, int32_t col, int32_t row) { child->CalcLevel(ctx, ChildSlot{this, col + 2 * row}, n - 1); });
}

int64_t Tilvex::CalcIntermediateTiles(IThreadPool* pool, int64_t computedAlready)
{
    WorkStackScope scope;
    TilvexWorkStack* work = scope.Get();
    TilvexNode* root = nullptr;
    int32_t height = 0;
    if (!work->m_abort.load()) {
        ModelTransaction txn;
        root = GetRootNode();
        height = GetHeight();
        if (root) work->Push(root);
    }
    {
        auto ctx = std::make_unique<LevelContext>();
        if (!pool) {
            ctx->ownPool.reset(CreateThreadPool(kIntermediateThreads, &PreparePyramidThread));
            pool = ctx->ownPool.get();
        }
        ctx->pool = pool;
        ctx->work = work;
        if (root && computedAlready > 0) work->m_count += computedAlready;
        for (ParentBatch& b : ctx->batches) b.held = scope.AddWorkStack();
        ctx->unreleasedOwners = scope.AddWorkStack();
        ctx->lastReport = GetHPTime();
        for (int32_t n = height - 1; n >= 1 && !work->m_abort.load(); --n) {
            {
                TraceStream t;
                t << "Calculating intermediate tiles at depth " << n << "\n";
            }
            ctx->keepComputed = computedAlready >= 0 && n == height - 1;
            if (root) root->CalcLevel(*ctx, ChildSlot{}, n);
            FinishLevel(*ctx);
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

// ---- the full tree

void Tilvex::CreateFullTree(int32_t h)
{
    WorkStackScope scope;
    TilvexWorkStack* work = scope.Get();
    if (!work->m_abort.load()) {
        TilvexNode* root;
        {
            ModelTransaction txn;
            root = GetRootNode();
            if (!root) {
                root = NewTilvexNode();
                SetRootNode(root);
            }
            work->Push(root);
            ++work->m_count;
        }
        root->CreateFullTree(work, h);
        ModelTransaction txn;
        work->Pop();
    }
    TraceStream t;
    t << "Created " << static_cast<long long>(work->m_count) << " tiles\n";
}

void TilvexNode::CreateFullTree(TilvexWorkStack* work, int32_t h)
{
    if (h < 2) return;
    WalkChildren(
        work,
        [work, this](int32_t col, int32_t row) {
            TilvexNode* child = GetChild(col, row);
            if (!child) {
                child = NewTilvexNode();
                SetChild(col, row, child);
            }
            ++work->m_count;
            return child;
        },
        [work, h](TilvexNode* child, int32_t, int32_t) { child->CreateFullTree(work, h - 1); });
}

} // namespace vorn
