#include "TestObjects.h"
#include "vnObject/CSpace.h"
#include "vnObject/DepGraph.h"
#include "vnObject/ObjectModule.h"
#include "vnReflection/OperationCallBacks.h"
#include <gtest/gtest.h>
#include <atomic>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace vorn;
using namespace vorn::test;

namespace {

// A computation whose body the test supplies.
struct Calc : DGDepNode {
    std::function<bool()> body = [] { return true; };
    int evals = 0;
    int invalidations = 0;
    int observedCalls = 0;
    int unobservedCalls = 0;
    Node* keeps = nullptr; // an object the node keeps alive
    bool Recompute() override
    {
        ++evals;
        return body();
    }
    void OnInvalidate() override { ++invalidations; }
    void OnObserved() override { ++observedCalls; }
    void OnUnobserved() override { ++unobservedCalls; }
    void VisitObjects(IObjectVisitor& v) override
    {
        if (keeps) v.VisitStrong(keeps->Any());
    }
};

// A collectable object owning an observer agent, as a window owns its display agent.
struct AgentOwner {
    ObjSysState sys{};
    Calc agent;
    ObserverListExit exit;
    ~AgentOwner() { exit.OnDestroyed(sys, {&agent}); }
    AnyInterface Any() { return AnyInterface{this, &kIObjectTableOf<AgentOwner>}; }
    AnyInterface QueryInterface(const ReflectedInterface&) { return AnyInterface{nullptr, nullptr}; }
    AnyInterface BindInterface(const ReflectedInterface&) { return AnyInterface{nullptr, nullptr}; }
    const ReflectedClass* GetReflectedClass() const { return nullptr; }
    void VisitObjects(IObjectVisitor&) {}
    void OnGarbageCollect() { exit.OnCollected(sys, {&agent}); }
    void DestroyObject() { delete this; }
    ObjSysState& GetSysState() { return sys; }
};

class DepGraphTest : public testing::Test {
protected:
    void SetUp() override
    {
        g_counts.Reset();
        InstallObjectSpaceHooks();
        m_space = CreateCSpace2(false);
        SetThreadCSpace(m_space);
        m_space->Lock();
        m_model = NewNode(m_space);
        m_space->AddGcRoot(m_model->Any());
    }
    void TearDown() override
    {
        m_space->Unlock();
        SetThreadCSpace(nullptr);
        m_space->Destroy();
    }
    DGState& State() { return m_space->GetDGState(); }
    // The read barrier and the write notice of the model's field.
    int32_t ReadField()
    {
        DGReadDataModelField(&m_model->value, m_model->Any());
        return m_model->value;
    }
    void WriteField(int32_t v)
    {
        OperationRecord op;
        op.m_object = m_model->Any();
        op.m_fieldAddress = &m_model->value;
        NotifyOperationCallBacks(op);
        m_model->value = v;
    }
    static void Observe(DGState& st, Calc& agent)
    {
        agent.m_flags |= DGBaseNode::DG_OBSERVER;
        if (!(agent.m_flags & DGBaseNode::DG_OBSERVED)) PropagateObserved(&agent);
        st.AddObserver(&agent);
    }
    static void Unobserve(DGState& st, Calc& agent)
    {
        agent.m_flags &= ~DGBaseNode::DG_OBSERVER;
        st.RemoveObserver(&agent);
        ClearDependencies(&agent);
    }
    CSpace* m_space = nullptr;
    Node* m_model = nullptr;
};

// An observer reading a computation that reads a field: written field, invalidated
// chain, recomputation only of what changed.
TEST_F(DepGraphTest, EvaluationAndInvalidationThroughTheFieldWriteHook)
{
    Calc derived, agent;
    int32_t derivedValue = 0;
    derived.body = [&] {
        const int32_t old = derivedValue;
        derivedValue = ReadField() / 10;
        return derivedValue != old;
    };
    agent.body = [&] {
        derived.EvaluateIfNeeded();
        return true;
    };
    Observe(State(), agent);
    agent.EvaluateIfNeeded();
    EXPECT_EQ(derived.evals, 1);
    EXPECT_EQ(agent.evals, 1);
    EXPECT_EQ(State().GetNumFieldNodes(), 1u);
    EXPECT_EQ(agent.GetFlags() & (DGBaseNode::DG_INVALID | DGBaseNode::DG_MUST_RECOMPUTE), 0u);
    EXPECT_TRUE(derived.IsObserved());
    agent.EvaluateIfNeeded(); // valid: nothing runs
    EXPECT_EQ(agent.evals, 1);

    // A write invalidates the chain and marks it must-recompute: both recompute.
    WriteField(25);
    EXPECT_EQ(agent.invalidations, 1);
    EXPECT_EQ(derived.invalidations, 1);
    EXPECT_NE(agent.GetFlags() & DGBaseNode::DG_MUST_RECOMPUTE, 0u);
    agent.EvaluateIfNeeded();
    EXPECT_EQ(derived.evals, 2);
    EXPECT_EQ(agent.evals, 2);

    // An agent that is only invalid recomputes when a dependency changed, not otherwise.
    derived.m_flags |= DGBaseNode::DG_INVALID | DGBaseNode::DG_MUST_RECOMPUTE;
    agent.m_flags |= DGBaseNode::DG_INVALID;
    agent.EvaluateIfNeeded(); // derived value still 2: unchanged
    EXPECT_EQ(derived.evals, 3);
    EXPECT_EQ(agent.evals, 2);
    m_model->value = 35;
    derived.m_flags |= DGBaseNode::DG_INVALID | DGBaseNode::DG_MUST_RECOMPUTE;
    agent.m_flags |= DGBaseNode::DG_INVALID;
    agent.EvaluateIfNeeded();
    EXPECT_EQ(derived.evals, 4);
    EXPECT_EQ(agent.evals, 3);
    EXPECT_EQ(State().GetNumFieldNodes(), 1u);

    // Writing a field nobody read changes nothing.
    Node* other = NewNode(m_space);
    OperationRecord op;
    op.m_object = other->Any();
    op.m_fieldAddress = &other->value;
    NotifyOperationCallBacks(op);
    EXPECT_EQ(State().GetNumFieldNodes(), 1u);

    // Detaching the agent drops the whole chain and the field's entry.
    Unobserve(State(), agent);
    EXPECT_EQ(State().GetNumFieldNodes(), 0u);
    EXPECT_EQ(derived.FirstDependency(), nullptr);
    EXPECT_EQ(derived.unobservedCalls, 1);
}

// An unobserved computation keeps nothing between evaluations; reading itself adds no
// edge; a node read twice gets two edges and only the newest survive a recomputation.
TEST_F(DepGraphTest, EdgesOfOneRecomputation)
{
    Calc lone;
    lone.body = [&] {
        ReadField();
        lone.EvaluateIfNeeded(); // reading itself: no edge, but a cycle
        return true;
    };
    EXPECT_THROW(lone.EvaluateIfNeeded(), CycleException);
    EXPECT_EQ(lone.FirstDependent(), nullptr);
    EXPECT_EQ(lone.FirstDependency(), nullptr);
    EXPECT_EQ(State().GetNumFieldNodes(), 0u);
    EXPECT_NE(lone.GetFlags() & DGBaseNode::DG_INVALID, 0u);

    Calc agent;
    agent.body = [&] {
        ReadField();
        ReadField();
        return true;
    };
    Observe(State(), agent);
    agent.EvaluateIfNeeded();
    auto count = [&] {
        int n = 0;
        for (DGEdge* e = agent.FirstDependency(); e; e = e->m_nextDependency) ++n;
        return n;
    };
    EXPECT_EQ(count(), 2);
    agent.Invalidate(true);
    EXPECT_EQ(agent.invalidations, 1);
    agent.EvaluateIfNeeded();
    EXPECT_EQ(count(), 2);
    EXPECT_EQ(agent.evals, 2);
    Unobserve(State(), agent);
}

// Two nodes reading each other: a cycle surfaces, leaves 0x10 on both, neither counts
// as observed by the other; the next successful evaluation counts as a change.
TEST_F(DepGraphTest, CyclesAreReportedAndRecoverable)
{
    Calc a, b;
    bool cyclic = true;
    a.body = [&] {
        b.EvaluateIfNeeded();
        return false;
    };
    b.body = [&] {
        if (cyclic) a.EvaluateIfNeeded();
        return false;
    };
    EXPECT_THROW(a.EvaluateIfNeeded(), CycleException);
    EXPECT_NE(a.GetFlags() & DGBaseNode::DG_CYCLE, 0u);
    EXPECT_NE(b.GetFlags() & DGBaseNode::DG_CYCLE, 0u);
    EXPECT_EQ(State().GetCurrentNode(), nullptr);
    // Neither is observed by the other alone: both dropped their edges.
    EXPECT_EQ(a.FirstDependency(), nullptr);
    EXPECT_EQ(b.FirstDependency(), nullptr);
    EXPECT_FALSE(a.IsObserved());

    Calc agent;
    agent.body = [&] {
        try {
            a.EvaluateIfNeeded();
        } catch (const CycleException&) {
        }
        return false;
    };
    Observe(State(), agent);
    agent.EvaluateIfNeeded();
    EXPECT_TRUE(a.IsObserved()); // the agent reads it
    EXPECT_NE(b.GetFlags() & DGBaseNode::DG_CYCLE, 0u);
    cyclic = false;
    a.Invalidate(false);
    b.Invalidate(false);
    const int before = agent.evals;
    agent.EvaluateIfNeeded();
    EXPECT_EQ(a.GetFlags() & DGBaseNode::DG_CYCLE, 0u);
    EXPECT_EQ(b.GetFlags() & DGBaseNode::DG_CYCLE, 0u);
    EXPECT_EQ(agent.evals, before + 1); // recovery counts as a change
    Unobserve(State(), agent);
}

// A failing recomputation leaves the node invalid without the edges it added, the space
// without a current node, and the graph usable.
TEST_F(DepGraphTest, ExceptionOutOfARecomputation)
{
    Calc agent, inner;
    bool fail = true;
    inner.body = [&] {
        ReadField();
        if (fail) throw std::runtime_error("recompute failed");
        return true;
    };
    agent.body = [&] {
        inner.EvaluateIfNeeded();
        return true;
    };
    Observe(State(), agent);
    EXPECT_THROW(agent.EvaluateIfNeeded(), std::runtime_error);
    EXPECT_EQ(State().GetCurrentNode(), nullptr);
    for (Calc* n : {&agent, &inner}) {
        EXPECT_EQ(n->GetFlags() & DGBaseNode::DG_EVALUATING, 0u);
        EXPECT_NE(n->GetFlags() & DGBaseNode::DG_INVALID, 0u);
        EXPECT_EQ(n->FirstDependency(), nullptr);
    }
    EXPECT_EQ(State().GetNumFieldNodes(), 0u);
    fail = false;
    agent.EvaluateIfNeeded();
    EXPECT_EQ(agent.GetFlags() & DGBaseNode::DG_INVALID, 0u);
    WriteField(3);
    EXPECT_EQ(agent.invalidations, 1);
    Unobserve(State(), agent);
}

// An old edge that disappears during the recomputation (its value arrived and detached
// its dependents) is not touched again when the old edges are dropped.
TEST_F(DepGraphTest, OldEdgeRemovedDuringRecomputation)
{
    struct Loaded final : DGIndepNode {} value;
    Calc agent;
    bool arrive = false;
    agent.body = [&] {
        if (arrive) value.SignalAndDetach();
        AddDependency(&value, State().GetCurrentNode());
        return true;
    };
    Observe(State(), agent);
    agent.EvaluateIfNeeded();
    arrive = true;
    agent.Invalidate(false);
    agent.EvaluateIfNeeded();
    ASSERT_NE(agent.FirstDependency(), nullptr);
    EXPECT_EQ(agent.FirstDependency()->m_nextDependency, nullptr);
    EXPECT_EQ(agent.FirstDependency()->m_dependency, &value);
    Unobserve(State(), agent);
}

// An observer registered after its dependencies exist propagates 0x20 to each once.
TEST_F(DepGraphTest, LateObserverPropagatesOnce)
{
    Calc leaf, mid, agent;
    leaf.body = [&] {
        ReadField();
        return true;
    };
    mid.body = [&] {
        leaf.EvaluateIfNeeded();
        leaf.EvaluateIfNeeded();
        return true;
    };
    agent.body = [&] {
        mid.EvaluateIfNeeded();
        leaf.EvaluateIfNeeded();
        return true;
    };
    agent.m_flags |= DGBaseNode::DG_OBSERVER; // observer, not yet propagated
    agent.EvaluateIfNeeded();
    EXPECT_EQ(leaf.observedCalls, 0);
    Observe(State(), agent);
    EXPECT_EQ(agent.observedCalls, 1);
    EXPECT_EQ(mid.observedCalls, 1);
    EXPECT_EQ(leaf.observedCalls, 1);
    EXPECT_NE(State().FindFieldNode(&m_model->value)->GetFlags() & DGBaseNode::DG_OBSERVED, 0u);
    Unobserve(State(), agent);
    EXPECT_EQ(leaf.unobservedCalls, 1);
    EXPECT_EQ(State().GetNumFieldNodes(), 0u);
}

// The collector reaches objects through observers' nodes and read fields.
TEST_F(DepGraphTest, CollectorWalksObserversAndFields)
{
    Node* kept = NewNode(m_space);
    Node* model = NewNode(m_space);
    Calc agent;
    agent.keeps = kept;
    agent.body = [&] {
        DGReadDataModelField(&model->value, model->Any());
        return true;
    };
    Observe(State(), agent);
    agent.EvaluateIfNeeded();
    m_space->Unlock();
    m_space->SynchronousGc();
    m_space->Lock();
    EXPECT_EQ(g_counts.destroyed, 0);
    Unobserve(State(), agent);
    m_space->Unlock();
    m_space->SynchronousGc();
    m_space->Lock();
    EXPECT_EQ(g_counts.destroyed, 2);
}

// Other threads write the field and invalidate the agent under the space lock while
// this one re-evaluates it.
TEST_F(DepGraphTest, AgentsInvalidatedFromOtherThreads)
{
    Calc agent;
    std::atomic<int> seen{0};
    agent.body = [&] {
        seen = ReadField();
        return true;
    };
    Observe(State(), agent);
    agent.EvaluateIfNeeded();
    m_space->Unlock();
    std::atomic<bool> done{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t) {
        writers.emplace_back([&, t] {
            RestoreThreadCSpace restore(m_space);
            for (int i = 1; i <= 500; ++i) {
                CSpaceLock lock(m_space);
                if (t == 0)
                    agent.Invalidate(true);
                else
                    WriteField(i);
            }
        });
    }
    std::thread reader([&] {
        RestoreThreadCSpace restore(m_space);
        while (!done) {
            CSpaceLock lock(m_space);
            agent.EvaluateIfNeeded();
        }
    });
    for (auto& w : writers) w.join();
    done = true;
    reader.join();
    m_space->Lock();
    agent.EvaluateIfNeeded();
    EXPECT_EQ(seen, m_model->value);
    EXPECT_GT(agent.invalidations, 0);
    Unobserve(State(), agent);
}

// Owners found garbage leave the observer list while the pass holds the space lock, so
// the deletions after it never touch the list that other threads change meanwhile.
TEST_F(DepGraphTest, CollectedAgentOwnersLeaveTheObserverListUnderTheSpaceLock)
{
    constexpr int kOwners = 200;
    for (int i = 0; i < kOwners; ++i) {
        auto* o = new AgentOwner;
        m_space->RegisterGcObject(o->Any());
        Observe(State(), o->agent);
    }
    AgentOwner* never = new AgentOwner; // never registered: leaves the thread's list itself
    Observe(State(), never->agent);
    m_space->Unlock();
    std::atomic<bool> done{false};
    std::thread collector([&] {
        m_space->SynchronousGc();
        done = true;
    });
    Calc churn;
    while (!done) {
        CSpaceLock lock(m_space);
        Observe(State(), churn);
        Unobserve(State(), churn);
    }
    collector.join();
    m_space->Lock();
    EXPECT_EQ(State().GetObservers().size(), 1);
    delete never;
    EXPECT_EQ(State().GetObservers().size(), 0);
}

} // namespace
