// Write-back under pressure: changes that land while a write is under way, deletion
// batches that fail or defer subtrees, the deletion budget of the writer thread,
// requested flushes, the schema after a failed commit, and write groups that grow
// while the writer waits.
#include "StoreTestUtil.h"
#include "vnPersistStore/PersistExceptions.h"
#include "vnPersistStore/StoreTransaction.h"
#include "vnReflection/TypeByteCode.h"
#include <gtest/gtest.h>
#include <functional>
#include <thread>

using namespace vorn;
using namespace vorn::test;

namespace {

// A node that represents a subtree of its own: a deletion walk that meets it leaves it
// to a later batch.
class PSubTreeNode : public PNodeOf<PSubTreeNode> {
public:
    static const ReflectedClass s_class;
    bool RepresentsSubTree() const { return true; }
};
const ReflectedClass PSubTreeNode::s_class =
    MakeClassRecord("vorn::test::PSubTreeNode", sizeof(PSubTreeNode), &NewPersistableFactory<PSubTreeNode>);

using Stage = DosWriter::WriteStage;

struct Store {
    explicit Store(bool startWriter = false) : m_bytes(std::make_shared<SharedBytes>())
    {
        RegisterReflectedItem(PSubTreeNode::s_class.GetName(), GetReflectedClassRegistry(), &PSubTreeNode::s_class);
        m_store = OpenStoreOn(m_bytes, QuietStoreSettings(startWriter));
        m_p = OpenPSpace(m_store, "P", nullptr);
    }
    ~Store()
    {
        if (m_store) {
            std::exception_ptr ignored;
            m_store->CloseReporting(&ignored);
        }
    }
    void Reopen()
    {
        m_store->Close();
        m_store = OpenStoreOn(m_bytes, QuietStoreSettings());
        m_p = OpenPSpace(m_store, "P", nullptr);
    }
    DosWriter& Writer() { return m_store->GetWriter(); }
    bool Stored(OID oid)
    {
        std::vector<uint8_t> b;
        return ReadElement(m_store->GetLss(), oid.AsSeid(), b);
    }
    int64_t NumStoreTransactions() { return test::NumStoreTransactions(m_store->GetLss()); }
    // A new persistent node of space s, kept in memory by its collector.
    template <class Node = PNode>
    Node* Persistent(PSpace* s, uint32_t value)
    {
        ThreadSpaces ts(s);
        Txn txn;
        auto* n = new Node;
        n->m_value = value;
        s->GetCSpace()->RegisterGcObject(n->AsAny());
        s->MakeObjectPersist(s->GetRoots().GetOwnOid().m_low, n->AsPersistable());
        s->GetCSpace()->AddGcRoot(n->AsAny());
        return n;
    }
    // Runs change once when a write reaches stage: in a transaction on space s, or,
    // without s, as it is (taking the locks it needs itself).
    void OnStage(Stage stage, PSpace* s, std::function<void()> change)
    {
        auto done = std::make_shared<bool>(false);
        Writer().SetWriteStageHookForTests([=](Stage reached) {
            if (reached != stage || *done) return;
            *done = true;
            if (s == nullptr) return change();
            ThreadSpaces ts(s);
            Txn txn;
            change();
        });
    }
    PendingDeletions& Deletions(PSpace* s) { return s->GetWriteState().m_deletions; }

    std::shared_ptr<SharedBytes> m_bytes;
    PersistStore* m_store = nullptr;
    PSpace* m_p = nullptr;
};

void MarkDirty(PSpace* s, PNode* n)
{
    ThreadSpaces ts(s);
    Txn txn;
    MarkPersistentAsDirtyWithoutTrace(n->AsAny());
}

// Writes space s with n dirty, so that the write takes a flight.
void WriteWithDirty(PSpace* s, PNode* n, bool flushToDisk = false)
{
    MarkDirty(s, n);
    WriteDirtyObjectsToLss(*s, flushToDisk);
}

// Transfers source into destination in a transaction over both.
void Transfer(PersistStore* store, PSpace* destination, PSpace* source)
{
    OrderedLocks locks(destination->GetCSpace(), source->GetCSpace());
    const PSpaceLockPair pairs[] = {{destination, PSPACE_LOCK_EXCLUSIVE}, {source, PSPACE_LOCK_EXCLUSIVE}};
    PersistStoreTxn* txn = store->OpenTxn(pairs, 2);
    txn->TransferPSpace(destination, source);
    txn->Close();
}

} // namespace

TEST(WriteBackFaults, ChangesMadeWhileAWriteIsUnderWayAreNotDropped)
{
    Store f;
    PNode* root = f.Persistent(f.m_p, 1);
    const OID keptOid = f.Persistent(f.m_p, 2)->m_pos.m_oid;
    const OID doomedOid = f.Persistent(f.m_p, 3)->m_pos.m_oid;
    {
        ThreadSpaces ts(f.m_p);
        Txn txn;
        f.m_p->AddRoot("R", root->AsAny());
    }
    // Binds a stored node of P and keeps it in memory.
    auto bind = [&](OID oid) {
        ThreadSpaces ts(f.m_p);
        Txn txn;
        const IPersistablePtr p = f.m_p->BindObject(oid);
        f.m_p->GetCSpace()->AddGcRoot(p.Any());
        return static_cast<PNode*>(p.m_object);
    };
    auto rootOf = [&](const char* name) {
        ThreadSpaces ts(f.m_p);
        Txn txn;
        return f.m_p->GetRoot(name);
    };

    // Each change lands after the writer has left the space locks and before the end
    // of its write: the space stays scheduled, and closing writes the change.
    struct Case {
        const char* what;
        std::function<void()> change;
        std::function<void()> check;
    };
    const Case cases[] = {
        {"an object changed again",
         [&] {
             auto* n = static_cast<PNode*>(f.m_p->BindObject(keptOid).m_object);
             n->m_value = 77;
             MarkPersistentAsDirtyWithoutTrace(n->AsAny());
         },
         [&] { EXPECT_EQ(bind(keptOid)->m_value, 77u); }},
        {"a removed root", [&] { EXPECT_TRUE(f.m_p->RemoveRoot("R")); }, [&] { EXPECT_TRUE(rootOf("R").IsNull()); }},
        {"a root added for a persistent object", [&] { EXPECT_TRUE(f.m_p->AddRoot("S", f.m_p->BindObject(keptOid).Any())); },
         [&] { EXPECT_FALSE(rootOf("S").IsNull()); }},
        {"a queued deletion", [&] { AsyncPermanentlyDeleteObject(*f.m_p, f.m_p->BindObject(doomedOid)); },
         [&] {
             EXPECT_TRUE(f.Deletions(f.m_p).HasPending());
             while (f.Writer().DoDeletionStep()) {
             }
             EXPECT_FALSE(f.Stored(doomedOid));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PNode* kept = bind(keptOid);
        f.OnStage(Stage::LocksLeft, f.m_p, c.change);
        WriteWithDirty(f.m_p, kept);
        EXPECT_TRUE(f.m_p->GetWriteState().m_dirty.IsScheduled());
        f.Reopen();
        c.check();
    }

    // The source of a transfer: its emptied roots.
    PSpace* q = OpenPSpace(f.m_store, "Q", nullptr);
    PNode* inQ = f.Persistent(q, 4);
    {
        ThreadSpaces ts(q);
        Txn txn;
        q->AddRoot("X", inQ->AsAny());
    }
    WriteDirtyObjectsToLss(*q, false);
    f.OnStage(Stage::LocksLeft, nullptr, [&] {
        Transfer(f.m_store, f.m_p, q);
    });
    WriteWithDirty(q, inQ);
    EXPECT_TRUE(q->GetWriteState().m_dirty.IsScheduled());
    f.Reopen();
    bool created = false;
    PSpace* reopenedQ = f.m_store->OpenPSpace("Q", OM_OPEN_EXISTING, &created, nullptr);
    EXPECT_TRUE(reopenedQ->GetRoots().GetMap().empty());
}

TEST(WriteBackFaults, AFailedDeletionBatchPutsEveryOidBack)
{
    Store f;
    // Two single objects and a chain top -> mid -> low deleted as one subtree.
    PNode* single1 = f.Persistent(f.m_p, 1);
    PNode* single2 = f.Persistent(f.m_p, 2);
    PNode* top = f.Persistent(f.m_p, 10);
    {
        ThreadSpaces ts(f.m_p);
        Txn txn;
        PNode* mid = NewNodeIn(f.m_p->GetCSpace(), 11);
        SetChild(top, pref(mid->AsPersistable()));
        PNode* low = NewNodeIn(f.m_p->GetCSpace(), 12);
        SetChild(mid, pref(low->AsPersistable()));
    }
    WriteDirtyObjectsToLss(*f.m_p, false);
    PNode* mid = static_cast<PNode*>(top->m_child.GetCached().m_object);
    const std::vector<OID> all = {single1->m_pos.m_oid, single2->m_pos.m_oid, top->m_pos.m_oid, mid->m_pos.m_oid,
                                  mid->m_child.GetOid()};
    {
        ThreadSpaces ts(f.m_p);
        Txn txn;
        AsyncPermanentlyDeleteObject(*f.m_p, single1->AsPersistable());
        AsyncPermanentlyDeleteObject(*f.m_p, single2->AsPersistable());
        AsyncPermanentlyDeleteSubTree(*f.m_p, top->AsPersistable());
    }
    WriteDirtyObjectsToLss(*f.m_p, false);

    // The last object of the batch is being read: its deletion fails, after the
    // others of the batch went.
    IContiguousSerialElement* reading = f.m_store->GetLss()->GetContiguousSerialElement(all.back().AsSeid());
    ASSERT_NE(reading, nullptr);
    EXPECT_ANY_THROW(f.Writer().DoDeletionStep());
    reading->Release();
    EXPECT_EQ(f.Deletions(f.m_p).PendingObjects().Size(), 2);
    ASSERT_EQ(f.Deletions(f.m_p).PendingSubTrees().Size(), 1);
    EXPECT_EQ(f.Deletions(f.m_p).PendingSubTrees().Back(), top->m_pos.m_oid);
    EXPECT_TRUE(f.Writer().IsOnDeletionList(f.m_p));

    // The next batch deletes all of it, the walk reaching the same objects again.
    while (f.Writer().DoDeletionStep()) {
    }
    for (const OID& oid : all) EXPECT_FALSE(f.Stored(oid));
    std::vector<uint8_t> stored;
    ASSERT_TRUE(ReadElement(f.m_store->GetLss(), f.m_p->GetRoots().GetPendingDeletionsOid().AsSeid(), stored));
    EXPECT_EQ(stored, Bytes({1, 0, 0}));
}

// A chain top -> a -> b in which a and b represent subtrees of their own, queued for
// deletion and merged by a write-back; n is dirty and outside the chain.
struct DeferringChain {
    DeferringChain(Store& f) : n(f.Persistent(f.m_p, 1))
    {
        top = f.Persistent(f.m_p, 10);
        ThreadSpaces ts(f.m_p);
        Txn txn;
        auto* sa = new PSubTreeNode;
        auto* sb = new PSubTreeNode;
        f.m_p->GetCSpace()->RegisterGcObject(sa->AsAny());
        f.m_p->GetCSpace()->RegisterGcObject(sb->AsAny());
        SetChild(top, pref(sa->AsPersistable()));
        SetChild(sa, pref(sb->AsPersistable()));
        a = sa;
        b = sb;
        AsyncPermanentlyDeleteSubTree(*f.m_p, top->AsPersistable());
        MarkPersistentAsDirtyWithoutTrace(n->AsAny());
    }
    PNode* n;
    PNode* top = nullptr;
    PNode* a = nullptr;
    PNode* b = nullptr;
};

TEST(WriteBackFaults, AWalkDefersAnObjectThatRepresentsASubtreeToALaterBatch)
{
    Store f;
    DeferringChain c(f);
    WriteDirtyObjectsToLss(*f.m_p, false);
    for (PNode* o : {c.top, c.a, c.b}) ASSERT_TRUE(f.Stored(o->m_pos.m_oid));
    EXPECT_TRUE(f.Writer().DoDeletionStep());
    EXPECT_FALSE(f.Stored(c.top->m_pos.m_oid));
    EXPECT_TRUE(f.Stored(c.a->m_pos.m_oid));
    EXPECT_TRUE(f.Stored(c.b->m_pos.m_oid));
    EXPECT_TRUE(f.Writer().DoDeletionStep());
    EXPECT_FALSE(f.Stored(c.a->m_pos.m_oid));
    EXPECT_TRUE(f.Stored(c.b->m_pos.m_oid));
    EXPECT_TRUE(f.Writer().DoDeletionStep());
    EXPECT_FALSE(f.Stored(c.b->m_pos.m_oid));
    EXPECT_FALSE(f.Writer().DoDeletionStep());
}

// A batch whose walk deferred a subtree and whose commit then fails queues the subtree
// once: the batch's root goes back, the deferred subtree with it only through the root.
TEST(WriteBackFaults, AFailedBatchThatDeferredASubtreeQueuesItOnce)
{
    Store f;
    DeferringChain c(f);
    WriteDirtyObjectsToLss(*f.m_p, false);
    IContiguousSerialElement* reading = f.m_store->GetLss()->GetContiguousSerialElement(c.top->m_pos.m_oid.AsSeid());
    ASSERT_NE(reading, nullptr);
    EXPECT_ANY_THROW(f.Writer().DoDeletionStep());
    reading->Release();
    ASSERT_EQ(f.Deletions(f.m_p).PendingSubTrees().Size(), 1);
    EXPECT_EQ(f.Deletions(f.m_p).PendingSubTrees().Back(), c.top->m_pos.m_oid);
    while (f.Writer().DoDeletionStep()) {
    }
    for (PNode* o : {c.top, c.a, c.b}) EXPECT_FALSE(f.Stored(o->m_pos.m_oid));
}

TEST(WriteBackFaults, TheWriterThreadWritesBetweenDeletionStepsWhenThePeriodIsUsedUp)
{
    Store f;
    DeferringChain c(f);
    WriteDirtyObjectsToLss(*f.m_p, false);
    MarkDirty(f.m_p, c.n);
    // With a period of 0 every cycle takes one deletion step, then writes.
    std::atomic<int> pendingAtFirstWrite{-1};
    f.Writer().SetWriteStageHookForTests([&](Stage stage) {
        if (stage != Stage::LocksLeft || pendingAtFirstWrite.load() >= 0) return;
        CSpaceLock lock(f.m_p->GetCSpace());
        pendingAtFirstWrite = f.Deletions(f.m_p).PendingSubTrees().Size();
    });
    f.m_store->SetDosPeriod(0);
    f.m_store->StartObjectDeletion();
    while (pendingAtFirstWrite.load() < 0) std::this_thread::yield();
    f.m_store->Close();
    f.m_store = nullptr;
    EXPECT_EQ(pendingAtFirstWrite.load(), 1);
}

TEST(WriteBackFaults, ARequestedFlushReachesTheDiskWhenNothingIsLeftToWrite)
{
    Store f(true);
    PNode* n = f.Persistent(f.m_p, 1);
    f.m_store->WriteAllDirtyObjectsToLss(false);
    ASSERT_FALSE(f.m_p->GetWriteState().m_dirty.IsScheduled());
    ASSERT_FALSE(n->m_pos.m_flags & POS_DIRTY);
    const int syncs = f.m_bytes->m_syncs.load();
    f.m_store->WriteAllDirtyObjectsToLss(true);
    EXPECT_GT(f.m_bytes->m_syncs.load(), syncs);
}

TEST(WriteBackFaults, AFailedCommitLeavesTheSchemaDirtyWhenItGainedAnEntryDuringTheWrite)
{
    Store f;
    PNode* n = f.Persistent(f.m_p, 1);
    WriteDirtyObjectsToLss(*f.m_p, false);
    PersistSchema& schema = f.m_store->GetSchema();
    ASSERT_FALSE(schema.m_dirty.load());
    const uint8_t int32Code[] = {FT_INT32};
    f.OnStage(Stage::LocksLeft, f.m_p, [&] {
        f.m_store->GetTypeOpsId(ReflectionByteCodeValue(ReflectionByteCode(int32Code, nullptr)));
        f.m_bytes->m_failFrom = 0;
        f.m_bytes->m_failWrites = true;
    });
    EXPECT_ANY_THROW(WriteWithDirty(f.m_p, n, true));
    EXPECT_TRUE(schema.m_dirty.load());
}

TEST(WriteBackFaults, TheWriterCollectsTheGroupAgainOnceItHoldsTheLocks)
{
    Store f;
    PSpace* q = OpenPSpace(f.m_store, "Q", nullptr);
    PNode* n = f.Persistent(f.m_p, 1);
    WriteDirtyObjectsToLss(*f.m_p, false);
    WriteDirtyObjectsToLss(*q, false);
    // After the writer collected P's group, a transaction links Q to it and changes Q.
    PNode* inQ = nullptr;
    f.OnStage(Stage::GroupCollected, nullptr, [&] {
        OrderedLocks locks(f.m_p->GetCSpace(), q->GetCSpace());
        const PSpaceLockPair pairs[] = {{f.m_p, PSPACE_LOCK_EXCLUSIVE}, {q, PSPACE_LOCK_EXCLUSIVE}};
        PersistStoreTxn* txn = f.m_store->OpenTxn(pairs, 2);
        ThreadSpaces ts(q);
        inQ = NewNodeIn(q->GetCSpace(), 2);
        q->AddRoot("X", inQ->AsAny());
        txn->Close();
    });
    const int64_t before = f.NumStoreTransactions();
    WriteWithDirty(f.m_p, n);
    ASSERT_NE(inQ, nullptr);
    EXPECT_TRUE(f.Stored(inQ->m_pos.m_oid));
    EXPECT_FALSE(q->GetWriteState().m_dirty.IsScheduled());
    EXPECT_EQ(f.NumStoreTransactions() - before, 1);
}

namespace {

// A node that runs a hook when it is serialised.
std::function<void()> g_onSerialise;
class PProbe : public PNodeOf<PProbe> {
public:
    static const ReflectedClass s_class;
    void Serialise(Archive& ar) const
    {
        if (g_onSerialise) g_onSerialise();
        PNode::Serialise(ar);
    }
};
const ReflectedClass PProbe::s_class = MakeClassRecord("vorn::test::PProbe", sizeof(PProbe), &NewPersistableFactory<PProbe>);

// Whether another thread finds the CSpace's lock taken.
bool LockedElsewhere(CSpace* c)
{
    bool taken = false;
    std::thread probe([&] {
        taken = !c->TryLock();
        if (!taken) c->Unlock();
    });
    probe.join();
    return taken;
}

} // namespace

// The group grows again while the writer takes the locks of the grown group: it takes
// them once more, so that the newest member too is written under its lock.
TEST(WriteBackFaults, TheWriterCollectsTheGroupUntilItStopsGrowing)
{
    Store f;
    RegisterReflectedItem(PProbe::s_class.GetName(), GetReflectedClassRegistry(), &PProbe::s_class);
    PSpace* q = OpenPSpace(f.m_store, "Q", nullptr);
    PSpace* r = OpenPSpace(f.m_store, "R", nullptr);
    PNode* n = f.Persistent(f.m_p, 1);
    PProbe* inR = f.Persistent<PProbe>(r, 2);
    for (PSpace* s : {f.m_p, q, r}) WriteDirtyObjectsToLss(*s, false);
    // Links two spaces in a transaction over both; the second gets a change.
    auto link = [&](PSpace* first, PSpace* second, std::function<void()> change) {
        OrderedLocks locks(first->GetCSpace(), second->GetCSpace());
        const PSpaceLockPair pairs[] = {{first, PSPACE_LOCK_EXCLUSIVE}, {second, PSPACE_LOCK_EXCLUSIVE}};
        PersistStoreTxn* txn = f.m_store->OpenTxn(pairs, 2);
        ThreadSpaces ts(second);
        change();
        txn->Close();
    };
    // Q joins P's group before the writer locks it, R joins Q's after.
    bool regrouped = false;
    f.Writer().SetWriteStageHookForTests([&](Stage stage) {
        if (stage == Stage::GroupCollected)
            link(f.m_p, q, [&] { q->AddRoot("X", NewNodeIn(q->GetCSpace(), 3)->AsAny()); });
        if (stage == Stage::Regrouped && !regrouped) {
            regrouped = true;
            link(q, r, [&] { MarkPersistentAsDirtyWithoutTrace(inR->AsAny()); });
        }
    });
    bool rLockedWhenWritten = false;
    g_onSerialise = [&] { rLockedWhenWritten = LockedElsewhere(r->GetCSpace()); };
    WriteWithDirty(f.m_p, n);
    g_onSerialise = nullptr;
    f.Writer().SetWriteStageHookForTests(nullptr);
    EXPECT_TRUE(regrouped);
    EXPECT_TRUE(rLockedWhenWritten);
    EXPECT_FALSE(r->GetWriteState().m_dirty.IsScheduled());
}

TEST(WriteBackFaults, ASpaceOpenedInATransactionJoinsItsWriteGroup)
{
    Store f;
    // Adds a new root object to the space, which the transaction has entered.
    int roots = 0;
    auto addRoot = [&](PSpace* s) {
        ThreadSpaces ts(s);
        PNode* n = NewNodeIn(s->GetCSpace(), 7);
        const std::string name = "X" + std::to_string(++roots);
        EXPECT_TRUE(s->AddRoot(name.c_str(), n->AsAny()));
        return n;
    };
    // Writing the first space writes the second too.
    auto writtenTogether = [&](PSpace* first, PNode* inFirst, PNode* inSecond) {
        WriteDirtyObjectsToLss(*first, false);
        EXPECT_TRUE(f.Stored(inFirst->m_pos.m_oid));
        EXPECT_TRUE(f.Stored(inSecond->m_pos.m_oid));
    };
    for (PSpaceLockMode mode : {PSPACE_LOCK_EXCLUSIVE, PSPACE_LOCK_SHARED_READ}) {
        SCOPED_TRACE(mode);
        const char* name = mode == PSPACE_LOCK_EXCLUSIVE ? "Q" : "S";
        PNode* inP = nullptr;
        PNode* inOpened = nullptr;
        {
            ThreadSpaces ts(f.m_p);
            PersistStoreTxn* txn = OpenPSpaceTxn(mode);
            inP = addRoot(f.m_p);
            inOpened = addRoot(txn->OpenPSpace(name, OM_OPEN_ALWAYS, nullptr, nullptr));
            ClosePSpaceTxn(txn);
        }
        writtenTogether(f.m_p, inP, inOpened);
    }
    // Two spaces opened in one transaction over no space.
    PersistStoreTxn* txn = f.m_store->OpenTxn(nullptr, 0);
    PSpace* t = txn->OpenPSpace("T", OM_OPEN_ALWAYS, nullptr, nullptr);
    PSpace* u = txn->OpenPSpace("U", OM_OPEN_ALWAYS, nullptr, nullptr);
    PNode* inT = addRoot(t);
    PNode* inU = addRoot(u);
    txn->Close();
    writtenTogether(t, inT, inU);
}

namespace {

// Counts what a visitor is shown.
struct CountingVisitor final : IObjectVisitor {
    void VisitStrong(AnyInterface) override { ++m_count; }
    void VisitWeak(AnyInterface&) override { ++m_count; }
    int m_count = 0;
};

int VisibleFromDirtySet(PSpace* s)
{
    CountingVisitor v;
    s->GetWriteState().m_dirty.VisitDirtyObjects(v);
    return v.m_count;
}

} // namespace

// A transfer of Q into P while a write of Q is under way: the objects in flight go to P,
// dirty, whether the write then commits or fails; Q's dirty set (and with it Q's
// collector) reaches none of them, during the flight or after it.
TEST(WriteBackFaults, ATransferDuringTheSourcesWriteTakesItsObjectsInFlightAlong)
{
    for (bool commitFails : {false, true}) {
        SCOPED_TRACE(commitFails ? "the write fails" : "the write commits");
        Store f;
        PSpace* q = OpenPSpace(f.m_store, "Q", nullptr);
        PNode* inQ = f.Persistent(q, 4);
        const OID inQOid = inQ->m_pos.m_oid;
        WriteDirtyObjectsToLss(*q, false);
        {
            ThreadSpaces ts(q);
            Txn txn;
            inQ->m_value = 5;
            MarkPersistentAsDirtyWithoutTrace(inQ->AsAny());
        }
        int visibleFromQ = -1;
        f.OnStage(Stage::LocksLeft, nullptr, [&] {
            Transfer(f.m_store, f.m_p, q);
            visibleFromQ = VisibleFromDirtySet(q);
            if (commitFails) {
                f.m_bytes->m_failFrom = 0;
                f.m_bytes->m_failWrites = true;
            }
        });
        if (commitFails) EXPECT_ANY_THROW(WriteDirtyObjectsToLss(*q, true));
        else WriteDirtyObjectsToLss(*q, false);
        f.m_bytes->m_failWrites = false;
        EXPECT_EQ(visibleFromQ, 0);
        EXPECT_EQ(VisibleFromDirtySet(q), 0);
        EXPECT_EQ(q->GetWriteState().m_dirty.Size(), 0);
        EXPECT_EQ(f.m_p->GetWriteState().m_dirty.Size(), 1);
        EXPECT_TRUE(inQ->m_pos.m_flags & POS_DIRTY);
        EXPECT_TRUE(f.m_p->GetWriteState().m_dirty.IsScheduled());
        if (commitFails) continue; // the store keeps the failure
        // P's collector may now free what it does not reach; Q's next write reads nothing.
        {
            ThreadSpaces ts(f.m_p);
            Txn txn;
            f.m_p->GetCSpace()->RemoveGcRoot(inQ->AsAny());
        }
        WriteDirtyObjectsToLss(*f.m_p, false);
        f.m_p->GetCSpace()->SynchronousGc();
        WriteDirtyObjectsToLss(*q, false);
        f.Reopen();
        ThreadSpaces ts(f.m_p);
        Txn txn;
        EXPECT_EQ(static_cast<PNode*>(f.m_p->BindObject(inQOid).m_object)->m_value, 5u);
    }
}

namespace {

// Queues the deletion of objects of space s, alone, and of subtrees, and has a write-back
// merge them.
void QueueDeletions(Store& f, PSpace* s, std::initializer_list<PNode*> objects, std::initializer_list<OID> subTrees)
{
    {
        ThreadSpaces ts(s);
        Txn txn;
        for (PNode* o : objects) AsyncPermanentlyDeleteObject(*s, o->AsPersistable());
        for (OID oid : subTrees) f.Deletions(s).QueueSubTree(oid);
        s->GetWriteState().m_dirty.Schedule();
    }
    WriteDirtyObjectsToLss(*s, false);
}

} // namespace

// A subtree whose root cannot be bound: its OID leaves the queue, undeleted, the rest of
// the batch is deleted, and the step reports it; Q's deletions go on.
TEST(WriteBackFaults, AnElementThatCannotBeBoundStopsOnlyItsOwnDeletion)
{
    Store f;
    PSpace* q = OpenPSpace(f.m_store, "Q", nullptr);
    PNode* single = f.Persistent(f.m_p, 1);
    PNode* top = f.Persistent(f.m_p, 2);
    PNode* inQ = f.Persistent(q, 3);
    WriteDirtyObjectsToLss(*q, false);
    const OID damaged = WriteDamagedElement(f.m_store);
    // Subtrees are taken from the back: the damaged one first.
    QueueDeletions(f, f.m_p, {single}, {top->m_pos.m_oid, damaged});
    QueueDeletions(f, q, {inQ}, {});
    try {
        f.Writer().DoDeletionStep();
        ADD_FAILURE() << "no failure reported";
    } catch (const DerefDanglingOidException& e) {
        EXPECT_EQ(e.GetOid(), damaged);
    }
    EXPECT_FALSE(f.Stored(single->m_pos.m_oid));
    EXPECT_FALSE(f.Stored(top->m_pos.m_oid));
    EXPECT_TRUE(f.Stored(damaged));
    EXPECT_FALSE(f.Deletions(f.m_p).HasPending());
    EXPECT_FALSE(f.Writer().IsOnDeletionList(f.m_p));
    std::vector<uint8_t> stored;
    ASSERT_TRUE(ReadElement(f.m_store->GetLss(), f.m_p->GetRoots().GetPendingDeletionsOid().AsSeid(), stored));
    EXPECT_EQ(stored, Bytes({1, 0, 0}));
    EXPECT_TRUE(f.Writer().DoDeletionStep());
    EXPECT_FALSE(f.Stored(inQ->m_pos.m_oid));
    EXPECT_FALSE(f.Writer().DoDeletionStep());

    // Met by a walk: the damaged element is skipped and reported, the rest deleted.
    PNode* parent = f.Persistent(f.m_p, 4);
    {
        ThreadSpaces ts(f.m_p);
        Txn txn;
        parent->m_child = pref(damaged);
        MarkPersistentAsDirtyWithoutTrace(parent->AsAny());
    }
    QueueDeletions(f, f.m_p, {}, {parent->m_pos.m_oid});
    EXPECT_THROW(f.Writer().DoDeletionStep(), DerefDanglingOidException);
    EXPECT_FALSE(f.Stored(parent->m_pos.m_oid));
    EXPECT_TRUE(f.Stored(damaged));
    EXPECT_FALSE(f.Writer().IsOnDeletionList(f.m_p));
}

// A batch that fails as a whole goes back, and the space to the back of the list: the
// next step serves the next space. The failure wakes nobody.
TEST(WriteBackFaults, ASpaceWhoseBatchFailsKeepsNoOtherSpaceWaiting)
{
    Store f;
    PSpace* q = OpenPSpace(f.m_store, "Q", nullptr);
    PNode* inP = f.Persistent(f.m_p, 1);
    PNode* inQ = f.Persistent(q, 2);
    WriteDirtyObjectsToLss(*q, false);
    QueueDeletions(f, f.m_p, {inP}, {});
    QueueDeletions(f, q, {inQ}, {});
    // P's object is being read: its deletion, and so P's batch, fails.
    IContiguousSerialElement* reading = f.m_store->GetLss()->GetContiguousSerialElement(inP->m_pos.m_oid.AsSeid());
    ASSERT_NE(reading, nullptr);
    f.Writer().TakeWakeForTests();
    EXPECT_ANY_THROW(f.Writer().DoDeletionStep());
    EXPECT_TRUE(f.Writer().IsOnDeletionList(f.m_p));
    // The writer thread would try it again in the next period, not at once.
    EXPECT_FALSE(f.Writer().TakeWakeForTests());
    EXPECT_TRUE(f.Writer().DoDeletionStep());
    EXPECT_FALSE(f.Stored(inQ->m_pos.m_oid));
    EXPECT_TRUE(f.Stored(inP->m_pos.m_oid));
    reading->Release();
    EXPECT_TRUE(f.Writer().DoDeletionStep());
    EXPECT_FALSE(f.Stored(inP->m_pos.m_oid));
    EXPECT_FALSE(f.Writer().DoDeletionStep());
}
