#include "TestObjects.h"
#include "vnObject/CSpace.h"
#include "vnObject/CSpaceStack.h"
#include "vnObject/ObjectModule.h"
#include "vnReflection/CoreModule.h"
#include "vnReflection/Records.h"
#include <gtest/gtest.h>
#include <stdexcept>

using namespace vorn;
using namespace vorn::test;

namespace {

class CSpaceTest : public testing::Test {
protected:
    void SetUp() override
    {
        g_counts.Reset();
        m_space = CreateCSpace2(false);
        SetThreadCSpace(m_space);
    }
    void TearDown() override
    {
        SetThreadCSpace(nullptr);
        if (m_space) m_space->Destroy();
        EXPECT_EQ(g_counts.live, 0);
    }
    // A node held by the roots.
    Node* Rooted(int32_t value = 0)
    {
        Node* n = NewNode(m_space, value);
        CSpaceLock lock(m_space);
        m_space->AddGcRoot(n->Any());
        return n;
    }
    CSpace* m_space = nullptr;
};

constexpr ReflectedClass kNodeClass = [] {
    ReflectedClass rc{};
    rc.m_name = "vnObjectTest::Node";
    rc.m_size = int32_t(sizeof(Node));
    rc.m_factory = &NewObjectFactory<Node>;
    return rc;
}();

// Objects made through reflection are registered once with the thread's space and go
// when nothing reaches them; roots keep theirs until removed.
TEST_F(CSpaceTest, CreatedObjectsAreRegisteredOnceAndCollectedWhenUnreachable)
{
    InstallObjectSpaceHooks();
    Node* root = Rooted();
    const AnyInterface kept = kNodeClass.Create();
    const AnyInterface lost = kNodeClass.Create();
    ASSERT_FALSE(kept.IsNull());
    EXPECT_EQ(GetAssociatedCSpace(kept), m_space);
    EXPECT_TRUE(ObjectInThreadCSpace(kept));
    EXPECT_EQ(m_space->GetNumObjects(), 3);
    root->strong.push_back(kept);
    NodeOf(kept)->strong.push_back(kept); // a cycle to itself changes nothing

    m_space->SynchronousGc();
    EXPECT_EQ(g_counts.destroyed, 1);
    EXPECT_EQ(m_space->GetNumObjects(), 2);
    EXPECT_EQ(m_space->GetTotalNumCompletedGcs(), 1u);
    (void)lost;

    // Marks are cleared after a pass: the same objects survive the next one.
    m_space->SynchronousGc();
    EXPECT_EQ(g_counts.destroyed, 1);

    {
        CSpaceLock lock(m_space);
        m_space->RemoveGcRoot(root->Any());
    }
    EXPECT_EQ(m_space->GetNumGcRoots(), 0);
    m_space->SynchronousGc();
    EXPECT_EQ(g_counts.destroyed, 3);
    EXPECT_EQ(m_space->GetNumObjects(), 0);

    // Without a thread space, creation fails and frees the object.
    SetThreadCSpace(nullptr);
    EXPECT_THROW(kNodeClass.Create(), ProgrammingErrorException);
    EXPECT_EQ(g_counts.live, 0);
}

// Unreachable objects get OnGarbageCollect; an inhibited one is then forgotten, not
// destroyed. Destroying the space destroys what is left, except inhibited objects.
TEST_F(CSpaceTest, InhibitedObjectsAreNoticedAndForgotten)
{
    Node* inhibited = NewNode(m_space);
    InhibitDeletion(inhibited->Any());
    Node* nonGc = new Node;
    m_space->RegisterNonGcObject(nonGc->Any());
    NewNode(m_space);
    m_space->SynchronousGc();
    EXPECT_EQ(g_counts.notices, 3);
    EXPECT_EQ(g_counts.destroyed, 1);
    EXPECT_EQ(m_space->GetNumObjects(), 0);

    Rooted();
    NewNode(m_space);
    m_space->RegisterNonGcObject(inhibited->Any());
    m_space->Destroy();
    m_space = nullptr;
    EXPECT_EQ(g_counts.destroyed, 3);
    EXPECT_EQ(g_counts.notices, 3);
    EXPECT_EQ(g_counts.live, 2);
    delete inhibited;
    delete nonGc;
}

// ---- eviction --------------------------------------------------------------------------

// A root holding n weakly referenced nodes of size bytes each, touched in order.
class EvictionTest : public CSpaceTest {
protected:
    Node* HolderOf(int n, int32_t size)
    {
        Node* holder = Rooted();
        for (int i = 0; i < n; ++i) {
            Node* c = NewNode(m_space, i);
            SetEvictableObjectSizeInBytes(c->Any(), size);
            holder->weak.push_back(c->Any());
        }
        return holder;
    }
    static int Held(Node* holder)
    {
        int n = 0;
        for (const AnyInterface& w : holder->weak) n += !w.IsNull();
        return n;
    }
};

TEST_F(EvictionTest, BelowTheThresholdNothingIsEvicted)
{
    m_space->SetEvictionThreshold(1000);
    Node* holder = HolderOf(10, 100); // exactly the threshold
    const uint64_t before = m_space->GetEvictionCutOff();
    m_space->SynchronousGc();
    EXPECT_EQ(Held(holder), 10);
    EXPECT_EQ(m_space->GetEvictionCutOff(), before);
    // The counter has not moved since: the cut-off stays and nothing is cleared.
    m_space->SynchronousGc();
    EXPECT_EQ(Held(holder), 10);
    EXPECT_EQ(g_counts.destroyed, 0);
}

TEST_F(EvictionTest, OldestObjectsGoDownToTheThreshold)
{
    m_space->SetEvictionThreshold(1000);
    Node* holder = HolderOf(100, 100);
    m_space->SynchronousGc();
    // The most recently touched ones stay, about ten of them (bucket granularity).
    const int held = Held(holder);
    EXPECT_GE(held, 8);
    EXPECT_LE(held, 11);
    EXPECT_EQ(g_counts.destroyed, 100 - held);
    for (int i = 0; i < 100; ++i) {
        const AnyInterface& w = holder->weak[size_t(i)];
        if (!w.IsNull()) {
            EXPECT_GE(NodeOf(w)->value, 100 - held); // the newest survived
        }
    }
    // Touching an old survivor and adding new ones evicts the untouched instead.
    Node* keep = nullptr;
    for (const AnyInterface& w : holder->weak)
        if (!w.IsNull()) { keep = NodeOf(w); break; }
    ASSERT_NE(keep, nullptr);
    for (int i = 0; i < 5; ++i) {
        Node* c = NewNode(m_space, 1000 + i);
        SetEvictableObjectSizeInBytes(c->Any(), 100);
        holder->weak.push_back(c->Any());
    }
    SetTouched(keep->Any());
    m_space->SynchronousGc();
    bool keptAlive = false;
    for (const AnyInterface& w : holder->weak) keptAlive |= w.m_object == keep;
    EXPECT_TRUE(keptAlive);
    EXPECT_LE(Held(holder), 11);
}

// Dirty objects (held strongly) and inhibited ones are never evicted, whatever their age.
TEST_F(EvictionTest, StronglyHeldAndInhibitedObjectsStay)
{
    m_space->SetEvictionThreshold(0);
    Node* holder = HolderOf(20, 100);
    Node* dirty = NodeOf(holder->weak[0]);
    holder->strong.push_back(dirty->Any());
    Node* inhibited = NodeOf(holder->weak[1]);
    InhibitDeletion(inhibited->Any());
    m_space->SynchronousGc();
    // Bucket 0 alone is above a threshold of 0: the cut-off becomes the counter and
    // every object held only weakly is evicted. The dirty one, marked through its strong
    // reference first, keeps its weak slot too.
    EXPECT_EQ(m_space->GetEvictionCutOff(), m_space->GetTouchCounter());
    EXPECT_EQ(Held(holder), 1);
    EXPECT_EQ(holder->weak[0].m_object, dirty);
    EXPECT_EQ(g_counts.destroyed, 18);
    EXPECT_EQ(dirty->canary, Node::kCanary);
    EXPECT_EQ(inhibited->canary, Node::kCanary); // forgotten, not destroyed
    delete inhibited;
}

// Above 2 GiB of evictable bytes the histogram must not wrap.
TEST_F(EvictionTest, HistogramSumsInSixtyFourBits)
{
    // Two objects of nearly 2 GiB each, equally old, share the oldest bucket: 32-bit
    // buckets would wrap to a negative sum and never pass the threshold.
    m_space->SetEvictionThreshold(0x7FFFFFFF);
    Node* holder = HolderOf(2, 0x7FFFFFFF);
    for (int i = 0; i < 1000; ++i) NewNode(m_space);
    m_space->SynchronousGc();
    EXPECT_EQ(Held(holder), 0);
}

// ---- faults of a pass ----------------------------------------------------------------------

// A VisitObjects that throws ends the pass with every mark cleared, so the next pass
// still traces (and keeps) everything reachable.
TEST_F(CSpaceTest, AFailedTraceLeavesNoMarks)
{
    Node* root = Rooted();
    Node* a = NewNode(m_space);
    Node* b = NewNode(m_space);
    root->strong.push_back(a->Any());
    a->strong.push_back(b->Any());
    bool fail = true;
    b->onVisit = [&](Node&, IObjectVisitor&) {
        if (fail) throw std::runtime_error("visit failed");
    };
    EXPECT_THROW(m_space->SynchronousGc(), std::runtime_error);
    EXPECT_EQ(LoadObjFlags(a->sys) & OBJ_MARKED, 0);
    EXPECT_EQ(LoadObjFlags(b->sys) & OBJ_MARKED, 0);
    EXPECT_EQ(LoadObjFlags(m_space->GetRoots().m_sys) & OBJ_MARKED, 0);
    fail = false;
    m_space->SynchronousGc();
    EXPECT_EQ(g_counts.destroyed, 0);
    EXPECT_EQ(b->canary, Node::kCanary);
    // The space lock was released by the failed pass.
    EXPECT_EQ(m_space->GetTotalNumCompletedGcs(), 1u);
}

// OnGarbageCollect and Destroy that throw are traced; the sweep goes on.
TEST_F(CSpaceTest, ThrowingNoticesDoNotStopTheSweep)
{
    for (int i = 0; i < 3; ++i) {
        Node* n = NewNode(m_space);
        if (i == 0) n->onGc = [](Node&) { throw std::runtime_error("notice failed"); };
        if (i == 1) n->onDestroyAfter = [] { throw std::runtime_error("destroy failed"); };
    }
    m_space->SynchronousGc();
    EXPECT_EQ(g_counts.notices, 3);
    EXPECT_EQ(g_counts.destroyed, 3);
    EXPECT_EQ(m_space->GetNumObjects(), 0);
}

// A node that the trace marked while it still stood in the pending list (registered and
// linked during the trace) must be traced again by the next pass: its children, linked
// in between, would otherwise be freed while reachable.
TEST_F(CSpaceTest, PendingObjectsLoseStaleMarks)
{
    Node* root = Rooted();
    Node* late = nullptr;
    root->onVisit = [&](Node& self, IObjectVisitor& v) {
        if (late) return;
        late = NewNode(m_space); // registered during the trace: stays pending
        self.strong.push_back(late->Any());
        v.VisitStrong(late->Any());
    };
    m_space->SynchronousGc();
    ASSERT_NE(late, nullptr);
    Node* child = NewNode(m_space);
    late->strong.push_back(child->Any());
    m_space->SynchronousGc();
    EXPECT_EQ(g_counts.destroyed, 0);
    m_space->SynchronousGc();
    EXPECT_EQ(child->canary, Node::kCanary);
    EXPECT_EQ(g_counts.destroyed, 0);
}

// ---- transfer --------------------------------------------------------------------------------

TEST_F(CSpaceTest, TransferKeepsInhibitionAndMovesRoots)
{
    CSpace* source = CreateCSpace2(false);
    Node* root = NewNode(source);
    Node* child = NewNode(source);
    Node* inhibited = NewNode(source);
    InhibitDeletion(inhibited->Any());
    NewNode(source); // unreachable
    root->strong.push_back(child->Any());
    {
        CSpaceLock l1(source);
        source->AddGcRoot(root->Any());
        CSpaceLock l2(m_space);
        TransferCSpace(source, m_space);
    }
    EXPECT_EQ(source->GetNumObjects(), 0);
    EXPECT_EQ(source->GetNumGcRoots(), 0);
    EXPECT_EQ(m_space->GetNumObjects(), 4);
    EXPECT_EQ(m_space->GetNumGcRoots(), 1);
    EXPECT_EQ(GetAssociatedCSpace(child->Any()), m_space);
    EXPECT_NE(LoadObjFlags(inhibited->sys) & OBJ_NO_DELETE, 0);
    source->Destroy();
    EXPECT_EQ(g_counts.destroyed, 0);
    m_space->SynchronousGc();
    EXPECT_EQ(g_counts.destroyed, 1); // only the unreachable one
    EXPECT_EQ(child->canary, Node::kCanary);
    EXPECT_EQ(inhibited->canary, Node::kCanary);
    delete inhibited;
}

// ---- the object stack ------------------------------------------------------------------------

TEST_F(CSpaceTest, ObjectStackPagesAndSpare)
{
    OpenCSpaceStack();
    CSpaceStack* frame = GetThreadCSpaceStack();
    ASSERT_NE(frame, nullptr);
    Node* n = NewNode(m_space);
    for (int i = 0; i < 1025; ++i) CSpaceStack_Push(n->Any());
    EXPECT_EQ(frame->GetNumPages(), 2);
    EXPECT_EQ(frame->Count(), 1025);
    CSpaceStack_Pop(0);
    EXPECT_EQ(frame->Count(), 1025);
    CSpaceStack_Pop(1);
    EXPECT_EQ(frame->GetNumPages(), 1);
    EXPECT_TRUE(frame->HasSparePage());
    CSpaceStack_Pop(1024);
    EXPECT_EQ(frame->Count(), 0);
    EXPECT_EQ(frame->GetNumPages(), 0);
    EXPECT_TRUE(frame->HasSparePage());
    for (int i = 0; i < 3000; ++i) CSpaceStack_Push(n->Any());
    CSpaceStack_Pop(3000);
    EXPECT_EQ(frame->GetNumPages(), 0);
    CloseCSpaceStack();
    m_space->SynchronousGc();
    EXPECT_EQ(g_counts.destroyed, 1);
}

TEST_F(CSpaceTest, PushedObjectsLiveUntilTheFrameCloses)
{
    Node* outer = NewNode(m_space);
    Node* inner = NewNode(m_space);
    {
        OpenCSpaceStack();
        CSpaceStackGuard closeOuter;
        CSpaceStack_Push(outer->Any());
        {
            OpenCSpaceStack();
            CSpaceStackGuard closeInner;
            CSpaceStack_Push(inner->Any());
            for (int i = 0; i < 3; ++i) m_space->SynchronousGc();
            EXPECT_EQ(g_counts.destroyed, 0);
        }
        m_space->SynchronousGc();
        // The inner frame and the object only it held are gone; the outer one holds.
        EXPECT_EQ(g_counts.destroyed, 1);
        EXPECT_EQ(outer->canary, Node::kCanary);
    }
    EXPECT_EQ(GetThreadCSpaceStack(), nullptr);
    m_space->SynchronousGc();
    EXPECT_EQ(g_counts.destroyed, 2);
    EXPECT_EQ(m_space->GetNumObjects(), 0);
}

} // namespace
