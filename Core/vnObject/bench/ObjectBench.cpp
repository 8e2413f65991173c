// Figures of the object space: a collection pass per object over 1 million reachable
// objects (beside a plain walk of the same graph), the longest time a pass holds the
// space lock with 100,000 live objects (beside the whole pass), registration (beside a
// bare list append) and a dependency edge added and removed (beside allocating one).
#include "vnObject/CSpace.h"
#include "vnObject/DepGraph.h"
#include <benchmark/benchmark.h>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace vorn;

namespace {

// A lean collectable node with up to four children.
struct BNode {
    ObjSysState sys{};
    BNode* kids[4] = {};
    bool seen = false; // for the baseline walk
    AnyInterface Any() { return AnyInterface{this, &kIObjectTableOf<BNode>}; }
    AnyInterface QueryInterface(const ReflectedInterface&) { return AnyInterface{nullptr, nullptr}; }
    AnyInterface BindInterface(const ReflectedInterface&) { return AnyInterface{nullptr, nullptr}; }
    const ReflectedClass* GetReflectedClass() const { return nullptr; }
    void VisitObjects(IObjectVisitor& v)
    {
        for (BNode* k : kids)
            if (k) v.VisitStrong(k->Any());
    }
    void OnGarbageCollect() {}
    void DestroyObject() { delete this; }
    ObjSysState& GetSysState() { return sys; }
};

// A space holding a tree of n nodes (fan-out 4) under one root.
struct Tree {
    CSpace* space = CreateCSpace2(false);
    std::vector<BNode*> nodes;
    explicit Tree(int n)
    {
        nodes.reserve(size_t(n));
        for (int i = 0; i < n; ++i) {
            BNode* b = new BNode;
            space->RegisterGcObject(b->Any());
            if (i > 0) nodes[size_t((i - 1) / 4)]->kids[(i - 1) % 4] = b;
            nodes.push_back(b);
        }
        CSpaceLock lock(space);
        space->AddGcRoot(nodes[0]->Any());
        space->SynchronousGc(); // take the pending objects over
    }
    ~Tree() { space->Destroy(); }
};

void BM_CollectionPassPerObject(benchmark::State& state)
{
    Tree tree(1000000);
    for (auto _ : state) tree.space->SynchronousGc();
    state.counters["ns/object"] = benchmark::Counter(double(tree.nodes.size()),
                                                     benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}
BENCHMARK(BM_CollectionPassPerObject)->Unit(benchmark::kMillisecond);

// Baseline: the same graph walked through the same visit calls, with a plain flag and a
// vector as the stack, and one pass over the object vector to reset the flags.
class PlainVisitor final : public IObjectVisitor {
public:
    std::vector<BNode*> stack;
    void VisitStrong(AnyInterface r) override
    {
        BNode* b = static_cast<BNode*>(r.m_object);
        if (!b->seen) {
            b->seen = true;
            stack.push_back(b);
        }
    }
    void VisitWeak(AnyInterface& r) override { VisitStrong(r); }
};

void BM_BaselinePlainWalkPerObject(benchmark::State& state)
{
    Tree tree(1000000);
    PlainVisitor v;
    for (auto _ : state) {
        v.VisitStrong(tree.nodes[0]->Any());
        while (!v.stack.empty()) {
            BNode* b = v.stack.back();
            v.stack.pop_back();
            b->VisitObjects(v);
        }
        for (BNode* b : tree.nodes) b->seen = false;
    }
    state.counters["ns/object"] = benchmark::Counter(double(tree.nodes.size()),
                                                     benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}
BENCHMARK(BM_BaselinePlainWalkPerObject)->Unit(benchmark::kMillisecond);

// The space lock's hold time in a pass: from the first visit of the root object (under
// the lock) until a thread blocked on the lock gets it. Reported as the maximum.
void BM_LongestSpaceLockHold(benchmark::State& state)
{
    Tree tree(100000);
    struct Probe {
        BNode node;
        std::atomic<int64_t> firstVisit{0};
    };
    static Probe* probe;
    probe = new Probe;
    static const IObjectTable kProbeTable = [] {
        IObjectTable t = kIObjectTableOf<BNode>;
        t.VisitObjects = [](void* self, IObjectVisitor& v) {
            int64_t expected = 0;
            probe->firstVisit.compare_exchange_strong(
                expected, std::chrono::steady_clock::now().time_since_epoch().count());
            static_cast<BNode*>(self)->VisitObjects(v);
        };
        return t;
    }();
    probe->node.kids[0] = tree.nodes[0];
    {
        CSpaceLock lock(tree.space);
        tree.space->RegisterNonGcObject(AnyInterface{&probe->node, &kProbeTable});
        tree.space->AddGcRoot(AnyInterface{&probe->node, &kProbeTable});
    }
    double longest = 0;
    for (auto _ : state) {
        probe->firstVisit = 0;
        std::atomic<int64_t> acquired{0};
        std::thread waiter([&] {
            while (probe->firstVisit.load() == 0) std::this_thread::yield();
            tree.space->Lock();
            acquired = std::chrono::steady_clock::now().time_since_epoch().count();
            tree.space->Unlock();
        });
        tree.space->SynchronousGc();
        waiter.join();
        const double held = double(acquired.load() - probe->firstVisit.load()) * 1e-9;
        if (held > longest) longest = held;
        state.SetIterationTime(held);
    }
    state.counters["longest_ms"] = longest * 1e3;
    {
        CSpaceLock lock(tree.space);
        tree.space->RemoveGcRoot(AnyInterface{&probe->node, &kProbeTable});
    }
    tree.space->SynchronousGc();
    delete probe;
}
BENCHMARK(BM_LongestSpaceLockHold)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(50);

// Baseline: the whole pass over the same 100,000 objects.
void BM_BaselineWholePass100k(benchmark::State& state)
{
    Tree tree(100000);
    for (auto _ : state) tree.space->SynchronousGc();
}
BENCHMARK(BM_BaselineWholePass100k)->Unit(benchmark::kMicrosecond);

// Registration of one object (an inhibited one, so the passes that empty the pending
// list between batches forget it).
void BM_Registration(benchmark::State& state)
{
    CSpace* space = CreateCSpace2(false);
    BNode node;
    space->RegisterNonGcObject(node.Any());
    int64_t n = 0;
    for (auto _ : state) {
        space->RegisterGcObject(node.Any());
        if (++n % (1 << 20) == 0) {
            state.PauseTiming();
            space->SynchronousGc();
            state.ResumeTiming();
        }
    }
    space->SynchronousGc();
    space->Destroy();
}
BENCHMARK(BM_Registration);

void BM_BaselineListAppend(benchmark::State& state)
{
    ChunkedPtrList list;
    BNode node;
    int64_t n = 0;
    for (auto _ : state) {
        list.Append(node.Any());
        if (++n % (1 << 20) == 0) {
            state.PauseTiming();
            list.Clear();
            state.ResumeTiming();
        }
    }
}
BENCHMARK(BM_BaselineListAppend);

struct BenchDep final : DGDepNode {
    bool Recompute() override { return true; }
    void VisitObjects(IObjectVisitor&) override {}
};
struct BenchIndep final : DGIndepNode {};

// One dependency edge added and removed.
void BM_GraphEdgeAddRemove(benchmark::State& state)
{
    BenchIndep indep;
    BenchDep dep;
    dep.m_flags |= DGBaseNode::DG_OBSERVER | DGBaseNode::DG_OBSERVED; // keeps its edges
    for (auto _ : state) {
        AddDependency(&indep, &dep);
        indep.RemoveEdge(indep.FirstDependent());
    }
}
BENCHMARK(BM_GraphEdgeAddRemove);

void BM_BaselineEdgeAllocation(benchmark::State& state)
{
    for (auto _ : state) {
        DGEdge* e = new DGEdge{};
        benchmark::DoNotOptimize(e);
        delete e;
    }
}
BENCHMARK(BM_BaselineEdgeAllocation);

} // namespace

BENCHMARK_MAIN();
