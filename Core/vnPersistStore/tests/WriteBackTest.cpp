// Write-back: failures put everything back, changes without dirty objects still reach
// the store, deletion batches, write groups, the persistence callbacks and the space
// transactions.
#include "StoreTestUtil.h"
#include "vnPersistStore/PersistCallBacks.h"
#include "vnPersistStore/PersistExceptions.h"
#include <gtest/gtest.h>
#include <thread>

using namespace vorn;
using namespace vorn::test;

namespace {

std::atomic<bool> g_serialiseThrows{false};

// A leaf whose Serialise fails on request, after writing a few bytes.
class PFlaky {
public:
    static const ReflectedClass s_class;
    AnyInterface QueryInterface(const ReflectedInterface& ri) { return QueryPersistableInterface(this, ri); }
    AnyInterface BindInterface(const ReflectedInterface& ri) { return QueryInterface(ri); }
    const ReflectedClass* GetReflectedClass() const { return &s_class; }
    void VisitObjects(IObjectVisitor&) {}
    void OnGarbageCollect() { OnGarbageCollectPersistable(AsAny()); }
    void DestroyObject() { delete this; }
    ObjSysState& GetSysState() { return m_sys; }
    PersistObjState& GetPersistObjState() { return m_pos; }
    void VisitPrefs(IPrefVisitor&) {}
    bool RepresentsSubTree() const { return false; }
    void Serialise(Archive& ar) const
    {
        ar.WriteCompressedUInt32(1);
        ar.Write4(m_word);
        if (g_serialiseThrows) throw DeserialisationException(xstring("flaky"));
    }
    InputArchive Deserialise(InputArchive in)
    {
        int schema;
        in = ReadSchema(in, 1, schema);
        return Read4FromBuffer(in, m_word);
    }
    void OnCreate(bool) {}
    AnyInterface AsAny() { return AnyInterface{this, &kPersistableTableOf<PFlaky>}; }
    IPersistablePtr AsPersistable() { return IPersistablePtr{this, &kPersistableTableOf<PFlaky>}; }
    ObjSysState m_sys{};
    PersistObjState m_pos;
    uint32_t m_word = 0;
};
const ReflectedClass PFlaky::s_class = MakeClassRecord("vorn::test::PFlaky", sizeof(PFlaky), &NewPersistableFactory<PFlaky>);

struct Fixture {
    Fixture(bool startWriter = false) : m_bytes(std::make_shared<SharedBytes>())
    {
        RegisterReflectedItem(PFlaky::s_class.GetName(), GetReflectedClassRegistry(), &PFlaky::s_class);
        m_store = OpenStoreOn(m_bytes, QuietStoreSettings(startWriter));
        m_space = OpenPSpace(m_store, "P", nullptr);
    }
    ~Fixture()
    {
        if (m_store) m_store->Close();
    }
    void Reopen()
    {
        m_store->Close();
        m_store = OpenStoreOn(m_bytes, QuietStoreSettings());
        m_space = OpenPSpace(m_store, "P", nullptr);
    }
    bool Stored(OID oid)
    {
        std::vector<uint8_t> b;
        return ReadElement(m_store->GetLss(), oid.AsSeid(), b);
    }
    // A persistent node under the root "R" (created on first use).
    PNode* Persistent(uint32_t value)
    {
        ThreadSpaces ts(m_space);
        Txn txn;
        PNode* n = NewNodeIn(m_space->GetCSpace(), value);
        if (m_space->GetRoot("R").IsNull()) m_space->AddRoot("R", n->AsAny());
        else m_space->MakeObjectPersist(m_space->GetRoots().GetOwnOid().m_low, n->AsPersistable());
        m_space->GetCSpace()->AddGcRoot(n->AsAny());
        return n;
    }
    std::shared_ptr<SharedBytes> m_bytes;
    PersistStore* m_store = nullptr;
    PSpace* m_space = nullptr;
};

} // namespace

TEST(WriteBack, AThrowingSerialiseLosesNothingAndIsReportedAtClose)
{
    Fixture f;
    auto* a = new PFlaky;
    a->m_word = 0x11111111;
    auto* b = new PFlaky;
    b->m_word = 0x22222222;
    OID oa, ob;
    {
        ThreadSpaces ts(f.m_space);
        Txn txn;
        f.m_space->GetCSpace()->RegisterGcObject(a->AsAny());
        f.m_space->GetCSpace()->RegisterGcObject(b->AsAny());
        f.m_space->AddRoot("A", a->AsAny());
        f.m_space->AddRoot("B", b->AsAny());
        oa = a->m_pos.m_oid;
        ob = b->m_pos.m_oid;
    }
    g_serialiseThrows = true;
    EXPECT_THROW(WriteDirtyObjectsToLss(*f.m_space, false), DeserialisationException);
    // Nothing of the group reached the store; both objects are still dirty and queued.
    EXPECT_FALSE(f.Stored(oa));
    EXPECT_FALSE(f.Stored(f.m_space->GetRoots().GetOwnOid()));
    EXPECT_EQ(f.m_space->GetWriteState().m_dirty.Size(), 2);
    EXPECT_TRUE(a->m_pos.m_flags & POS_DIRTY);
    EXPECT_TRUE(f.m_space->GetWriteState().m_dirty.IsScheduled());
    g_serialiseThrows = false;
    WriteDirtyObjectsToLss(*f.m_space, false);
    EXPECT_TRUE(f.Stored(oa));
    EXPECT_TRUE(f.Stored(ob));
    EXPECT_EQ(f.m_space->GetWriteState().m_dirty.Size(), 0);
    EXPECT_FALSE(f.m_space->GetWriteState().m_dirty.IsScheduled());

    // On the writer thread the failure is recorded, and closing reports it.
    {
        ThreadSpaces ts(f.m_space);
        Txn txn;
        MarkPersistentAsDirtyWithoutTrace(a->AsAny());
    }
    g_serialiseThrows = true;
    f.m_store->SetDosPeriod(1);
    f.m_store->StartObjectDeletion();
    while (!f.m_store->GetWriter().GetRecordedFailure()) std::this_thread::yield();
    g_serialiseThrows = false;
    // Closing the space writes it and then throws the recorded failure, and so does the
    // store's close.
    EXPECT_ANY_THROW(f.m_space->Close());
    std::exception_ptr failure;
    EXPECT_FALSE(f.m_store->CloseReporting(&failure));
    f.m_store = nullptr;
    EXPECT_TRUE(failure);
}

TEST(WriteBack, AStorageFailureKeepsTheObjectsDirtyAndIsReportedAtClose)
{
    Fixture f;
    PNode* n = f.Persistent(5);
    f.m_bytes->m_failFrom = 0;
    f.m_bytes->m_failWrites = true;
    EXPECT_ANY_THROW(WriteDirtyObjectsToLss(*f.m_space, true));
    EXPECT_TRUE(n->m_pos.m_flags & POS_DIRTY);
    EXPECT_EQ(f.m_space->GetWriteState().m_dirty.Size(), 1);
    std::exception_ptr failure;
    EXPECT_FALSE(f.m_store->CloseReporting(&failure));
    f.m_store = nullptr;
    EXPECT_TRUE(failure);
}

TEST(WriteBack, ChangesWithoutDirtyObjectsReachTheStore)
{
    Fixture f;
    PNode* n = f.Persistent(1);
    WriteDirtyObjectsToLss(*f.m_space, false);
    const OID oid = n->m_pos.m_oid;
    {
        ThreadSpaces ts(f.m_space);
        Txn txn;
        EXPECT_TRUE(f.m_space->RemoveRoot("R"));
    }
    EXPECT_TRUE(f.m_space->GetWriteState().m_dirty.IsScheduled());
    f.Reopen(); // closing writes the removed root
    {
        ThreadSpaces ts(f.m_space);
        Txn txn;
        EXPECT_TRUE(f.m_space->GetRoot("R").IsNull());
        // A queued permanent deletion alone is written by close as well, and the
        // reopened space resumes it.
        AsyncPermanentlyDeleteObject(*f.m_space, f.m_space->BindObject(oid));
    }
    f.Reopen();
    EXPECT_TRUE(f.m_space->GetWriteState().m_deletions.HasPending());
    EXPECT_TRUE(f.m_store->GetWriter().IsOnDeletionList(f.m_space));
    EXPECT_TRUE(f.Stored(oid));
    EXPECT_TRUE(f.m_store->GetWriter().DoDeletionStep());
    EXPECT_FALSE(f.Stored(oid));
    // The space left the list with its queues empty, and the stored queues are empty.
    EXPECT_FALSE(f.m_store->GetWriter().IsOnDeletionList(f.m_space));
    EXPECT_FALSE(f.m_store->GetWriter().DoDeletionStep());
    std::vector<uint8_t> pd;
    ASSERT_TRUE(ReadElement(f.m_store->GetLss(), f.m_space->GetRoots().GetPendingDeletionsOid().AsSeid(), pd));
    EXPECT_EQ(pd, Bytes({1, 0, 0}));
}

TEST(WriteBack, DeletionBatchesSubtreesAndMissingElements)
{
    Fixture f;
    // Twelve single objects and a chain of three under one subtree root.
    std::vector<PNode*> singles;
    for (uint32_t i = 0; i < 12; ++i) singles.push_back(f.Persistent(i));
    PNode* top = f.Persistent(100);
    {
        ThreadSpaces ts(f.m_space);
        Txn txn;
        PNode* mid = NewNodeIn(f.m_space->GetCSpace(), 101);
        SetChild(top, pref(mid->AsPersistable()));
        PNode* low = NewNodeIn(f.m_space->GetCSpace(), 102);
        SetChild(mid, pref(low->AsPersistable()));
    }
    WriteDirtyObjectsToLss(*f.m_space, false);
    const OID midOid = top->m_child.GetOid();
    const OID lowOid = static_cast<PNode*>(top->m_child.GetCached().m_object)->m_child.GetOid();
    ASSERT_TRUE(f.Stored(lowOid));
    // One single's element is gone already: the batch treats it as deleted.
    {
        ILssTransaction* t = f.m_store->GetLss()->OpenTransaction();
        t->DeleteSerialElement(singles[3]->m_pos.m_oid.m_low, singles[3]->m_pos.m_oid.m_high);
        t->Close();
    }
    {
        ThreadSpaces ts(f.m_space);
        Txn txn;
        for (PNode* s : singles) AsyncPermanentlyDeleteObject(*f.m_space, s->AsPersistable());
        AsyncPermanentlyDeleteSubTree(*f.m_space, top->AsPersistable());
        // A subtree root that names nothing any more is skipped, not fatal.
        f.m_space->GetWriteState().m_deletions.QueueSubTree(OID(0x0A0A0A0Au, kSeidCounterStart));
    }
    WriteDirtyObjectsToLss(*f.m_space, false);
    DosWriter& w = f.m_store->GetWriter();
    EXPECT_TRUE(w.IsOnDeletionList(f.m_space));
    // The first batch takes the twelve singles and no subtree.
    EXPECT_TRUE(w.DoDeletionStep());
    for (PNode* s : singles) EXPECT_FALSE(f.Stored(s->m_pos.m_oid));
    EXPECT_TRUE(f.Stored(top->m_pos.m_oid));
    EXPECT_EQ(f.m_space->GetWriteState().m_deletions.PendingSubTrees().Size(), 2);
    while (w.DoDeletionStep()) {
    }
    for (OID o : {top->m_pos.m_oid, midOid, lowOid}) EXPECT_FALSE(f.Stored(o));
    EXPECT_FALSE(w.IsOnDeletionList(f.m_space));
    EXPECT_FALSE(f.m_space->GetWriteState().m_deletions.HasPending());
}

TEST(WriteBack, WriteGroupsLinkDissolveAndAreWrittenTogether)
{
    Fixture f;
    PSpace* a = f.m_space;
    PSpace* b = OpenPSpace(f.m_store, "Q", nullptr);
    PSpace* c = OpenPSpace(f.m_store, "S", nullptr);
    DosWriter& w = f.m_store->GetWriter();
    EXPECT_FALSE(w.LinkWriteGroup(a, a));
    EXPECT_TRUE(w.LinkWriteGroup(a, b));
    EXPECT_FALSE(w.LinkWriteGroup(b, a));
    EXPECT_TRUE(w.LinkWriteGroup(c, b));
    std::vector<PSpace*> group{b};
    w.CollectWriteGroups(group);
    EXPECT_EQ(group.size(), 3u);
    for (PSpace* s : {a, b, c}) EXPECT_EQ(s->GetWriteState().m_groupNext, s);
    WriteDirtyObjectsToLss(*a, false);
    WriteDirtyObjectsToLss(*b, false);
    WriteDirtyObjectsToLss(*c, false);

    // An exclusive transaction over two spaces links them: writing one writes both.
    PNode* na = nullptr;
    PNode* nb = nullptr;
    {
        const PSpaceLockPair pairs[] = {{a, PSPACE_LOCK_EXCLUSIVE}, {b, PSPACE_LOCK_SHARED_READ}};
        OrderedLocks locks(a->GetCSpace(), b->GetCSpace());
        PersistStoreTxn* txn = f.m_store->OpenTxn(pairs, 2);
        for (auto [space, out] : {std::pair{a, &na}, std::pair{b, &nb}}) {
            ThreadSpaces ts(space);
            *out = NewNodeIn(space->GetCSpace(), 1);
            space->AddRoot("X", (*out)->AsAny());
        }
        txn->Close();
    }
    WriteDirtyObjectsToLss(*a, false);
    EXPECT_TRUE(f.Stored(na->m_pos.m_oid));
    EXPECT_TRUE(f.Stored(nb->m_pos.m_oid));
    EXPECT_EQ(a->GetWriteState().m_groupNext, a);
    EXPECT_EQ(b->GetWriteState().m_groupNext, b);
    // A group with nothing scheduled writes nothing: no store transaction.
    const int64_t before = NumStoreTransactions(f.m_store->GetLss());
    WriteDirtyObjectsToLss(*a, false);
    EXPECT_EQ(NumStoreTransactions(f.m_store->GetLss()), before);
}

TEST(Callbacks, PrefAssignmentRemovalAndUnpersistedObjects)
{
    Fixture f;
    PNode* parent = f.Persistent(10);
    WriteDirtyObjectsToLss(*f.m_space, false); // no space lock may be held for this
    ThreadSpaces ts(f.m_space);
    Txn txn;
    PendingDeletions& d = f.m_space->GetWriteState().m_deletions;
    // An object that was never made persistent: nothing is queued or dirtied.
    PNode* loose = NewNodeIn(f.m_space->GetCSpace(), 1);
    PNode* other = NewNodeIn(f.m_space->GetCSpace(), 2);
    SetChild(loose, pref(other->AsPersistable()));
    SetValue(loose, 3);
    EXPECT_TRUE(loose->m_pos.m_oid.IsNull());
    EXPECT_TRUE(other->m_pos.m_oid.IsNull());
    EXPECT_EQ(loose->m_child.GetCached().m_object, other);

    PNode* first = NewNodeIn(f.m_space->GetCSpace(), 11);
    SetChild(parent, pref(first->AsPersistable())); // old value null: nothing queued
    EXPECT_FALSE(d.HasIncoming());
    EXPECT_FALSE(first->m_pos.m_oid.IsNull());
    const OID firstOid = first->m_pos.m_oid;
    // The same object again queues no deletion; through its OID alone neither.
    SetChild(parent, pref(first->AsPersistable()));
    SetChild(parent, pref(firstOid));
    EXPECT_FALSE(d.HasIncoming());
    // A second object replaces the first: the first's subtree is queued, the second
    // gets an OID near the parent's, the parent is dirty once.
    PNode* second = NewNodeIn(f.m_space->GetCSpace(), 12);
    SetChild(parent, pref(second->AsPersistable()));
    EXPECT_FALSE(second->m_pos.m_oid.IsNull());
    EXPECT_EQ(second->m_pos.m_oid.m_high, parent->m_pos.m_oid.m_high);
    EXPECT_EQ(f.m_space->GetWriteState().m_dirty.Size(), 3); // parent, first, second
    f.m_space->GetWriteState().m_deletions.MergeIncomingDeletions();
    ASSERT_EQ(d.PendingSubTrees().Size(), 1);
    EXPECT_EQ(d.PendingSubTrees().Back(), firstOid);

    // Replacing a dangling reference queues its OID without binding it.
    const OID dangling(0x0B0B0B0Bu, kSeidCounterStart);
    parent->m_child = pref(dangling);
    EXPECT_NO_THROW(SetChild(parent, pref()));
    f.m_space->GetWriteState().m_deletions.MergeIncomingDeletions();
    EXPECT_EQ(d.PendingSubTrees().Back(), dangling);

    // Removing prefs: a null one is skipped, a dangling one queued unbound.
    pref arr[3] = {pref(), pref(dangling), pref(second->AsPersistable())};
    PrefArrayRecord rec;
    rec.m_object = parent->AsAny();
    rec.m_prefs = arr;
    rec.m_first = 0;
    rec.m_count = 3;
    EXPECT_NO_THROW(GetPersistOperationCallbacks()->OnPrefsRemoved(rec));
    f.m_space->GetWriteState().m_deletions.MergeIncomingDeletions();
    EXPECT_EQ(d.PendingSubTrees().Size(), 4);
    // Adding prefs: null and OID-only entries are skipped before OnCreate.
    PNode* third = NewNodeIn(f.m_space->GetCSpace(), 13);
    pref added[3] = {pref(), pref(dangling), pref(third->AsPersistable())};
    rec.m_prefs = added;
    EXPECT_NO_THROW(GetPersistOperationCallbacks()->OnPrefsAdded(rec));
    EXPECT_FALSE(third->m_pos.m_oid.IsNull());
}

TEST(SpaceTxn, ClosingLeavesTheLockItTookEvenWhenTheThreadSpaceChanged)
{
    Fixture f;
    PSpace* other = OpenPSpace(f.m_store, "Q", nullptr);
    auto lockedElsewhere = [](CSpace* c) {
        bool free = false;
        std::thread t([&] {
            free = c->m_lock.TryEnter();
            if (free) c->m_lock.Leave();
        });
        t.join();
        return !free;
    };
    {
        ThreadSpaces ts(f.m_space);
        PersistStoreTxn* txn = OpenPSpaceTxn(PSPACE_LOCK_EXCLUSIVE);
        ASSERT_NE(txn, nullptr);
        EXPECT_EQ(GetThreadIOperationCallBacks(), GetPersistOperationCallbacks());
        EXPECT_TRUE(lockedElsewhere(f.m_space->GetCSpace()));
        SetThreadPSpace(other);
        SetThreadCSpace(other->GetCSpace());
        ClosePSpaceTxn(txn);
        EXPECT_EQ(GetThreadIOperationCallBacks(), nullptr);
        EXPECT_FALSE(lockedElsewhere(f.m_space->GetCSpace()));
    }
    // Without a thread space the thread CSpace's lock is taken and left the same way.
    {
        RestoreThreadPSpace noSpace(nullptr);
        RestoreThreadCSpace cs(f.m_space->GetCSpace());
        PersistStoreTxn* txn = OpenPSpaceTxn(PSPACE_LOCK_EXCLUSIVE);
        EXPECT_EQ(txn, nullptr);
        SetThreadCSpace(other->GetCSpace());
        ClosePSpaceTxn(txn);
        EXPECT_FALSE(lockedElsewhere(f.m_space->GetCSpace()));
    }
}

TEST(WriteBack, AFlushAskedForHappensEvenWhenTheThreadWroteTheGroupAlready)
{
    Fixture f(true);
    f.m_store->SetDosPeriod(0);
    PNode* n = f.Persistent(1);
    // Wait until the writer thread has written the change (unflushed).
    auto written = [&] {
        CSpaceLock lock(f.m_space->GetCSpace());
        return !f.m_space->GetWriteState().m_dirty.IsScheduled() && !(n->m_pos.m_flags & POS_DIRTY);
    };
    while (!written()) std::this_thread::yield();
    const int syncs = f.m_bytes->m_syncs.load();
    WriteDirtyObjectsToLss(*f.m_space, true);
    EXPECT_GT(f.m_bytes->m_syncs.load(), syncs);
}

TEST(WriteBack, TransferMovesObjectsDirtySetAndDeletionsAndEmptiesTheSourceRoots)
{
    Fixture f;
    PSpace* a = f.m_space;
    PSpace* b = OpenPSpace(f.m_store, "Q", nullptr);
    PNode* n = nullptr;
    OID doomed;
    {
        ThreadSpaces ts(b);
        Txn txn;
        n = NewNodeIn(b->GetCSpace(), 42);
        b->AddRoot("X", n->AsAny());
        PNode* gone = NewNodeIn(b->GetCSpace(), 43);
        b->MakeObjectPersist(b->GetRoots().GetOwnOid().m_low, gone->AsPersistable());
        doomed = gone->m_pos.m_oid;
        AsyncPermanentlyDeleteObject(*b, gone->AsPersistable());
    }
    const OID oid = n->m_pos.m_oid;
    {
        OrderedLocks locks(a->GetCSpace(), b->GetCSpace());
        const PSpaceLockPair pairs[] = {{a, PSPACE_LOCK_EXCLUSIVE}, {b, PSPACE_LOCK_EXCLUSIVE}};
        PersistStoreTxn* txn = f.m_store->OpenTxn(pairs, 2);
        txn->TransferPSpace(a, b);
        txn->Close();
    }
    EXPECT_TRUE(b->GetRoots().GetMap().empty());
    EXPECT_TRUE(b->GetRoots().IsDirty());
    EXPECT_EQ(b->GetWriteState().m_dirty.Size(), 0);
    EXPECT_EQ(a->GetWriteState().m_dirty.Size(), 2);
    EXPECT_TRUE(a->GetWriteState().m_deletions.HasIncoming());
    EXPECT_EQ(GetAssociatedPSpace(n->AsAny()), a);
    {
        ThreadSpaces ts(a);
        Txn txn;
        EXPECT_EQ(a->BindObjectIfMemoryResident(oid).m_object, n);
    }
    f.Reopen();
    EXPECT_TRUE(f.Stored(oid));
    while (f.m_store->GetWriter().DoDeletionStep()) {
    }
    EXPECT_FALSE(f.Stored(doomed));
    bool created = false;
    PSpace* q = f.m_store->OpenPSpace("Q", OM_OPEN_EXISTING, &created, nullptr);
    EXPECT_TRUE(q->GetRoots().GetMap().empty());
}
