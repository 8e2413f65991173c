// Spaces over their whole life: the registry across reopens, counting stored objects,
// OID placement, the bootstrap root, bindings of deleted objects, a space's own
// collector, transferring one space into another and closing a space while another
// thread opens it. The whole module's tests also run under ThreadSanitizer.
#include "StoreTestUtil.h"
#include "vnLss/tests/Watchdog.h"
#include "vnPersistStore/PersistExceptions.h"
#include "vnPersistStore/StoreTransaction.h"
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>

using namespace vorn;
using namespace vorn::test;

namespace {

const Seid kRegistrySeid(kRegistryElementLow, kStoreElementsHigh);

std::vector<uint8_t> Element(PersistStore* store, Seid seid)
{
    std::vector<uint8_t> b;
    EXPECT_TRUE(ReadElement(store->GetLss(), seid, b));
    return b;
}

// Adds a node under the root name "R" of the space.
PNode* AddRootNode(PSpace* space, uint32_t value, const char* name = "R")
{
    ThreadSpaces ts(space);
    Txn txn;
    PNode* n = NewNodeIn(space->GetCSpace(), value);
    EXPECT_TRUE(space->AddRoot(name, n->AsAny()));
    return n;
}

uint32_t RootValue(PSpace* space, const char* name)
{
    ThreadSpaces ts(space);
    Txn txn;
    const IPersistablePtr p = space->GetRoot(name);
    return p.IsNull() ? 0 : static_cast<PNode*>(p.m_object)->m_value;
}

// Opens the store over bytes with the writer on or off, and in it the space "P" with
// a CSpace of its own.
PSpace* OpenStoreAndSpace(const std::shared_ptr<SharedBytes>& bytes, bool writer, PersistStore*& store)
{
    store = OpenStoreOn(bytes, QuietStoreSettings(writer));
    return OpenPSpace(store, "P", nullptr);
}

void YieldUntil(const std::function<bool()>& done)
{
    while (!done()) std::this_thread::yield();
}

// An object whose next visit by the collector throws a standard exception; every visit
// notes the thread's PSpace.
class FailingVisit {
public:
    static const ReflectedClass s_class;
    AnyInterface QueryInterface(const ReflectedInterface&) { return AnyInterface{nullptr, nullptr}; }
    AnyInterface BindInterface(const ReflectedInterface& ri) { return QueryInterface(ri); }
    const ReflectedClass* GetReflectedClass() const { return &s_class; }
    void VisitObjects(IObjectVisitor&)
    {
        m_seen.store(GetThreadPSpace());
        if (!m_armed.exchange(false)) return;
        m_failed.store(true);
        throw std::runtime_error("visit failed");
    }
    void OnGarbageCollect() {}
    void DestroyObject() { delete this; }
    ObjSysState& GetSysState() { return m_sys; }
    AnyInterface AsAny() { return AnyInterface{this, &kIObjectTableOf<FailingVisit>}; }

    ObjSysState m_sys{};
    std::atomic<bool> m_armed{false};
    std::atomic<bool> m_failed{false};
    std::atomic<PSpace*> m_seen{nullptr};
};
const ReflectedClass FailingVisit::s_class = MakeClassRecord("vorn::test::FailingVisit", sizeof(FailingVisit), nullptr);

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace

TEST(SpaceRegistry, ListsPersistedSpacesOnlyAndReadsBackAcrossAReopen)
{
    auto bytes = std::make_shared<SharedBytes>();
    PersistStore* store = OpenStoreOn(bytes, QuietStoreSettings(false));
    PSpace* a = OpenPSpace(store, "A", nullptr);
    const OID aOid = a->GetRoots().GetOwnOid();
    // A space the writer has not written has no elements yet: nothing to subtract.
    EXPECT_EQ(store->GetNumPersistableObjects(), 0);
    AddRootNode(a, 1);
    PSpace* b = OpenPSpace(store, "B", nullptr);
    const OID bOid = b->GetRoots().GetOwnOid();
    AddRootNode(b, 2);
    store->StartObjectDeletion();
    EXPECT_EQ(store->GetNumPersistableObjects(), 2);
    store->Close();

    store = OpenStoreOn(bytes, QuietStoreSettings(false));
    EXPECT_EQ(store->GetNumPSpaces(), 2);
    PSpace* c = OpenPSpace(store, "C", nullptr);
    const OID cOid = c->GetRoots().GetOwnOid();
    EXPECT_EQ(store->GetNumPSpaces(), 3);
    EXPECT_EQ(store->GetNumPersistableObjects(), 2);
    // A fourth space written on its own is listed; the third, not yet written, is not.
    PSpace* d = OpenPSpace(store, "D", nullptr);
    const OID dOid = d->GetRoots().GetOwnOid();
    AddRootNode(d, 4);
    WriteDirtyObjectsToLss(*d, false);
    std::vector<uint8_t> expected = Bytes({1, 3});
    AppendName(expected, "A");
    AppendOid(expected, aOid);
    AppendName(expected, "B");
    AppendOid(expected, bOid);
    std::vector<uint8_t> tail;
    AppendName(tail, "D");
    AppendOid(tail, dOid);
    EXPECT_EQ(Element(store, kRegistrySeid), expected + tail);
    EXPECT_EQ(store->GetNumPersistableObjects(), 3);
    // Written, the third space is listed too.
    store->StartObjectDeletion();
    store->WriteAllDirtyObjectsToLss(false);
    expected[1] = 4;
    AppendName(expected, "C");
    AppendOid(expected, cOid);
    EXPECT_EQ(Element(store, kRegistrySeid), expected + tail);
    EXPECT_EQ(store->GetNumPersistableObjects(), 3);
    store->Close();

    store = OpenStoreOn(bytes, QuietStoreSettings(false));
    EXPECT_EQ(store->GetNumPSpaces(), 4);
    EXPECT_EQ(RootValue(OpenPSpace(store, "B", nullptr), "R"), 2u);
    store->Close();
}

// A registry that lists spaces whose elements the store lacks (written by hand here):
// the count of stored objects does not go below 0.
TEST(SpaceRegistry, SpacesListedWithoutTheirElementsCountNoNegativeNumberOfObjects)
{
    auto bytes = std::make_shared<SharedBytes>();
    PersistStore* store = OpenStoreOn(bytes, QuietStoreSettings(false));
    std::vector<uint8_t> registry = Bytes({1, 2});
    for (const char* name : {"A", "B"}) {
        AppendName(registry, name);
        AppendOid(registry, OID(store->GetLss()->AllocateSeid(store->GetSeidHigh())));
    }
    RunInStoreTransaction(store->GetLss(), false, [&](ILssTransaction* txn) {
        ICloseableOutputStream* out = txn->WriteSerialElement(kRegistrySeid.m_low, kRegistrySeid.m_high);
        out->WriteStream(registry.data(), ssize_t(registry.size()));
        out->Close();
    });
    store->Close();
    store = OpenStoreOn(bytes, QuietStoreSettings(false));
    EXPECT_EQ(store->GetNumPSpaces(), 2);
    EXPECT_EQ(store->GetNumPersistableObjects(), 0);
    store->Close();
}

TEST(SpaceOids, ObjectsAreAllocatedNearTheirAffiliate)
{
    auto bytes = std::make_shared<SharedBytes>();
    PersistStore* store = nullptr;
    PSpace* space = OpenStoreAndSpace(bytes, false, store);
    CSpace* cs = space->GetCSpace();
    {
        ThreadSpaces ts(space);
        Txn txn;
        auto leaf = [](const PNode* n) { return n->m_pos.m_oid.m_low >> 8; };
        PNode* root = NewNodeIn(cs, 0);
        ASSERT_TRUE(space->AddRoot("R", root->AsAny()));
        // More objects near an affiliate than its map leaf holds spill over into a
        // further leaf; a full leaf's objects spill over into a new one.
        auto persistNear = [&](PNode* affiliate, uint32_t count) {
            std::vector<PNode*> nodes;
            for (uint32_t i = 0; i < count; ++i) {
                nodes.push_back(NewNodeIn(cs, i + 1));
                space->MakeObjectPersist(affiliate->m_pos.m_oid.m_low, nodes.back()->AsPersistable());
            }
            return nodes;
        };
        auto firstOutside = [&](const std::vector<PNode*>& nodes, PNode* of) -> PNode* {
            for (PNode* n : nodes)
                if (leaf(n) != leaf(of)) return n;
            return nullptr;
        };
        const std::vector<PNode*> nearRoot = persistNear(root, 300);
        EXPECT_EQ(leaf(nearRoot.front()), leaf(root));
        PNode* spilled = firstOutside(nearRoot, root);
        ASSERT_NE(spilled, nullptr);
        PNode* parent = firstOutside(persistNear(spilled, 300), spilled);
        ASSERT_NE(parent, nullptr);
        // The last allocation was near the root, elsewhere.
        PNode* elsewhere = persistNear(root, 1).front();
        ASSERT_NE(leaf(elsewhere), leaf(parent));
        // A child declared reachable goes into its parent's leaf, and so does one
        // attached through a pref.
        PNode* child = NewNodeIn(cs, 1000);
        DeclareReachable(*space, parent->AsPersistable(), child->AsPersistable(), false);
        EXPECT_EQ(leaf(child), leaf(parent));
        persistNear(root, 1);
        PNode* grandChild = NewNodeIn(cs, 1001);
        SetChild(child, pref(grandChild->AsPersistable()));
        EXPECT_EQ(leaf(grandChild), leaf(parent));
    }
    store->Close();
}

TEST(SpaceRoots, BootstrapMakesTheRootACollectorRoot)
{
    auto bytes = std::make_shared<SharedBytes>();
    PersistStore* store = nullptr;
    {
        ThreadSpaces ts(OpenStoreAndSpace(bytes, true, store));
        ASSERT_NE(BootstrapPSpaceRoot(&PNode::s_class, "R").m_object, nullptr);
    }
    store->Close();

    PSpace* space = OpenStoreAndSpace(bytes, true, store);
    CSpace* cs = space->GetCSpace();
    cs->StopGc();
    const int32_t roots = cs->GetNumGcRoots();
    AnyInterface r;
    {
        ThreadSpaces ts(space);
        r = BootstrapPSpaceRoot(&PNode::s_class, "R");
    }
    ASSERT_NE(r.m_object, nullptr);
    EXPECT_EQ(cs->GetNumGcRoots(), roots + 1);
    // Read from the store, the root counts for eviction, and a budget of 0 evicts all
    // that only weak references (its name among them) hold.
    cs->SetEvictionThreshold(0);
    cs->SynchronousGc();
    cs->SynchronousGc();
    {
        ThreadSpaces ts(space);
        Txn txn;
        EXPECT_EQ(space->BindObjectIfMemoryResident(GetOid(r)).m_object, r.m_object);
    }
    store->Close();
}

TEST(SpaceBinding, ADeletedObjectIsAbsentToEveryBinding)
{
    auto bytes = std::make_shared<SharedBytes>();
    PersistStore* store = nullptr;
    PSpace* space = OpenStoreAndSpace(bytes, false, store);
    {
        ThreadSpaces ts(space);
        Txn txn;
        PNode* n = NewNodeIn(space->GetCSpace(), 3);
        space->MakeObjectPersist(space->GetRoots().GetOwnOid().m_low, n->AsPersistable());
        const OID oid = n->m_pos.m_oid;
        EXPECT_EQ(space->MakeMemoryResident(oid).m_object, n);
        SyncPermanentlyDeleteObject(*space, n->AsPersistable());
        EXPECT_TRUE(space->MakeMemoryResident(oid).IsNull());
        EXPECT_TRUE(space->TryBindObject(oid).IsNull());
        EXPECT_TRUE(space->BindObjectIfMemoryResident(oid).IsNull());
        EXPECT_TRUE(space->AsyncBind(oid).IsNull());
        EXPECT_THROW(space->BindObject(oid), DerefDanglingOidException);
    }
    store->Close();
}

TEST(SpaceCollector, ASpacesOwnCollectorTracesAFailedPassAndGoesOn)
{
    auto bytes = std::make_shared<SharedBytes>();
    PersistStore* store = nullptr;
    PSpace* space = OpenStoreAndSpace(bytes, false, store);
    CSpace* cs = space->GetCSpace();
    ASSERT_TRUE(cs->IsGcRunning());
    auto* failing = new FailingVisit;
    {
        CSpaceLock lock(cs);
        cs->RegisterGcObject(failing->AsAny());
        cs->AddGcRoot(failing->AsAny());
    }
    failing->m_armed.store(true);
    cs->SetMilliSecsPerGc(0);
    YieldUntil([&] { return failing->m_failed.load(); });
    const uint64_t done = cs->GetTotalNumCompletedGcs();
    YieldUntil([&] { return cs->GetTotalNumCompletedGcs() > done; });
    EXPECT_TRUE(cs->IsGcRunning());
    {
        CSpaceLock lock(cs);
        cs->RemoveGcRoot(failing->AsAny());
    }
    store->Close();
}

// A space's own collector runs with the space as its thread's PSpace (so that what the
// objects do while collected finds their space).
TEST(SpaceCollector, ASpacesOwnCollectorRunsWithTheSpaceAsTheThreadsPSpace)
{
    auto bytes = std::make_shared<SharedBytes>();
    PersistStore* store = nullptr;
    PSpace* space = OpenStoreAndSpace(bytes, false, store);
    CSpace* cs = space->GetCSpace();
    auto* noter = new FailingVisit;
    {
        CSpaceLock lock(cs);
        cs->RegisterGcObject(noter->AsAny());
        cs->AddGcRoot(noter->AsAny());
    }
    cs->SetMilliSecsPerGc(0);
    YieldUntil([&] { return noter->m_seen.load() != nullptr || cs->GetTotalNumCompletedGcs() > 1; });
    EXPECT_EQ(noter->m_seen.load(), space);
    store->Close();
}

TEST(SpaceTransfer, SpacesWithTheirOwnCollectorsTransferAndTheSourceStaysUsable)
{
    auto bytes = std::make_shared<SharedBytes>();
    PersistStore* store = OpenStoreOn(bytes, QuietStoreSettings(true));
    PSpace* a = OpenPSpace(store, "A", nullptr);
    PSpace* b = OpenPSpace(store, "B", nullptr);
    CSpace* ac = a->GetCSpace();
    CSpace* bc = b->GetCSpace();
    ASSERT_TRUE(bc->IsGcRunning());
    PNode* moved = AddRootNode(b, 5, "X");
    const OID movedOid = moved->m_pos.m_oid;
    const int32_t aRoots = ac->GetNumGcRoots();

    // The source's collector runs passes back to back, so that it comes to wait for
    // the lock that the transfer holds.
    bc->SetMilliSecsPerGc(-1);
    const uint64_t started = bc->GetTotalNumCompletedGcs();
    YieldUntil([&] { return bc->GetTotalNumCompletedGcs() > started + 1; });
    {
        OrderedLocks locks(ac, bc);
        uint64_t seen = bc->GetTotalNumCompletedGcs();
        for (int same = 0; same < 2000;) {
            std::this_thread::yield();
            const uint64_t now = bc->GetTotalNumCompletedGcs();
            same = now == seen ? same + 1 : 0;
            seen = now;
        }
        const PSpaceLockPair pairs[] = {{a, PSPACE_LOCK_EXCLUSIVE}, {b, PSPACE_LOCK_EXCLUSIVE}};
        PersistStoreTxn* txn = store->OpenTxn(pairs, 2);
        txn->TransferPSpace(a, b);
        txn->Close();
    }
    // The destination holds its own roots only; the source has a root of its own and
    // collects again.
    EXPECT_EQ(ac->GetNumGcRoots(), aRoots);
    EXPECT_EQ(bc->GetNumGcRoots(), 1);
    EXPECT_TRUE(bc->IsGcRunning());
    EXPECT_EQ(GetAssociatedPSpace(moved->AsAny()), a);
    bc->SetMilliSecsPerGc(2000);

    PNode* later = AddRootNode(b, 9, "Y");
    const OID laterOid = later->m_pos.m_oid;
    ac->StopGc();
    bc->StopGc();
    // The destination's passes reach nothing of the source, and leave it no marks.
    ac->SynchronousGc();
    EXPECT_EQ(LoadObjFlags(later->m_sys) & OBJ_MARKED, 0u);
    // The source's own pass keeps its new, unwritten object.
    bc->SynchronousGc();
    {
        ThreadSpaces ts(b);
        Txn txn;
        EXPECT_EQ(b->BindObjectIfMemoryResident(laterOid).m_object, later);
    }
    // Closing the source leaves the destination's next pass nothing of it to visit.
    store->ClosePSpace(b);
    ac->SynchronousGc();
    store->Close();

    store = OpenStoreOn(bytes, QuietStoreSettings(true));
    b = OpenPSpace(store, "B", nullptr);
    EXPECT_EQ(RootValue(b, "Y"), 9u);
    EXPECT_EQ(RootValue(b, "X"), 0u);
    a = OpenPSpace(store, "A", nullptr);
    {
        ThreadSpaces ts(a);
        Txn txn;
        const IPersistablePtr p = a->BindObject(movedOid);
        EXPECT_EQ(static_cast<PNode*>(p.m_object)->m_value, 5u);
    }
    store->Close();
}

namespace {

std::atomic<int> g_reopenersDestroyed{0};
std::function<void()> g_onFirstWrite;
std::atomic<bool> g_firstWriteDone{false};
std::function<void()> g_onFirstDestroy;

// A node whose first serialisation runs a hook first.
class PReopener : public PNodeOf<PReopener> {
public:
    static const ReflectedClass s_class;
    void DestroyObject()
    {
        if (g_reopenersDestroyed.fetch_add(1) == 0 && g_onFirstDestroy) g_onFirstDestroy();
        delete this;
    }
    void Serialise(Archive& ar) const
    {
        if (!g_firstWriteDone.exchange(true)) g_onFirstWrite();
        PNode::Serialise(ar);
    }
    AnyInterface AsAny() { return AnyInterface{this, &kPersistableTableOf<PReopener>}; }
};
const ReflectedClass PReopener::s_class =
    MakeClassRecord("vorn::test::PReopener", sizeof(PReopener), &NewPersistableFactory<PReopener>);

} // namespace

// A space of 2000 nodes, the first under the root name "R", over a CSpace of its own.
PSpace* OpenReopenerSpace(PersistStore* store)
{
    RegisterTestClasses();
    RegisterReflectedItem(PReopener::s_class.GetName(), GetReflectedClassRegistry(), &PReopener::s_class);
    PSpace* space = OpenPSpace(store, "P", CreateCSpace(false, GCThreadFn{}));
    g_reopenersDestroyed.store(0);
    g_firstWriteDone.store(true);
    ThreadSpaces ts(space);
    Txn txn;
    for (uint32_t i = 0; i < 2000; ++i) {
        auto* node = new PReopener;
        node->m_value = 4 + i;
        space->GetCSpace()->RegisterGcObject(node->AsAny());
        if (i == 0) EXPECT_TRUE(space->AddRoot("R", node->AsAny()));
        else space->MakeObjectPersist(space->GetRoots().GetOwnOid().m_low, node->AsPersistable());
    }
    return space;
}

// An open while the close writes the space takes the space back: the close writes it and
// is given up, destroying nothing; the space stays open.
TEST(SpaceClose, AnOpenDuringTheCloseWriteTakesTheSpaceBack)
{
    Watchdog dog;
    auto bytes = std::make_shared<SharedBytes>();
    PersistStore* store = OpenStoreOn(bytes, QuietStoreSettings(false));
    PSpace* space = OpenReopenerSpace(store);
    PSpace* reopened = nullptr;
    g_firstWriteDone.store(false);
    g_onFirstWrite = [&] {
        std::thread opener([&] {
            bool created = true;
            reopened = store->OpenPSpace("P", OM_OPEN_EXISTING, &created, nullptr);
        });
        opener.join();
    };
    store->ClosePSpace(space);
    g_onFirstWrite = nullptr;
    EXPECT_EQ(reopened, space);
    EXPECT_EQ(g_reopenersDestroyed.load(), 0);
    EXPECT_EQ(RootValue(space, "R"), 4u);
    store->Close();
    EXPECT_EQ(g_reopenersDestroyed.load(), 2000);
    store = OpenStoreOn(bytes, QuietStoreSettings(false));
    EXPECT_EQ(RootValue(OpenPSpace(store, "P", nullptr), "R"), 4u);
    store->Close();
}

// An open once the close is destroying the space waits for the end of the close and
// opens the space anew from what the close wrote.
TEST(SpaceClose, AnOpenWhileTheCloseDestroysTheSpaceWaitsAndOpensItAnew)
{
    Watchdog dog;
    auto bytes = std::make_shared<SharedBytes>();
    PersistStore* store = OpenStoreOn(bytes, QuietStoreSettings(false));
    PSpace* space = OpenReopenerSpace(store);
    std::thread opener;
    PSpace* reopened = nullptr;
    int destroyedWhenOpened = 0;
    g_onFirstDestroy = [&] {
        opener = std::thread([&] {
            bool created = true;
            reopened = store->OpenPSpace("P", OM_OPEN_EXISTING, &created, nullptr);
            destroyedWhenOpened = g_reopenersDestroyed.load();
        });
    };
    store->ClosePSpace(space);
    g_onFirstDestroy = nullptr;
    ASSERT_TRUE(opener.joinable());
    opener.join();
    EXPECT_EQ(destroyedWhenOpened, 2000);
    ASSERT_NE(reopened, nullptr);
    EXPECT_EQ(RootValue(reopened, "R"), 4u);
    store->Close();
}

namespace {

// A store without a writer thread, and in it the spaces "A" and "B"; a hang fails.
struct TwoSpaces {
    Watchdog m_dog;
    std::shared_ptr<SharedBytes> m_bytes = std::make_shared<SharedBytes>();
    PersistStore* m_store = OpenStoreOn(m_bytes, QuietStoreSettings(false));
    PSpace* m_a = OpenPSpace(m_store, "A", nullptr);
    PSpace* m_b = OpenPSpace(m_store, "B", nullptr);
};

// Makes a and b one write group, each with a change to write; takes a's lock, then b's.
void LinkAndChange(PersistStore* store, PSpace* a, PSpace* b)
{
    CSpaceLock lockA(a->GetCSpace());
    CSpaceLock lockB(b->GetCSpace());
    const PSpaceLockPair pairs[] = {{a, PSPACE_LOCK_EXCLUSIVE}, {b, PSPACE_LOCK_EXCLUSIVE}};
    PersistStoreTxn* txn = store->OpenTxn(pairs, 2);
    for (PSpace* s : {a, b}) {
        ThreadSpaces ts(s);
        EXPECT_TRUE(s->AddRoot("R", NewNodeIn(s->GetCSpace(), 1)->AsAny()));
    }
    txn->Close();
}

// Closes a space on a thread of its own; the close may be given up.
class Closer {
public:
    Closer(PersistStore* store, PSpace* space) : m_thread([=] { store->ClosePSpace(space); }) {}
    ~Closer() { m_thread.join(); }
private:
    std::thread m_thread;
};

} // namespace

// S1 and S2 are one write group; S2's CSpace lies below S1's, so a write of the group
// takes S2's lock first. A transaction on S1 opens "S2" while S2 closes: the close's
// write of the group needs S1's lock, so the open takes S2 back instead of waiting, and
// the write holds no S2 lock while it waits for S1.
TEST(SpaceClose, AnOpenInATransactionOnTheWriteGroupTakesBackTheSpaceThatCloses)
{
    TwoSpaces f;
    PersistStore* store = f.m_store;
    const bool aAbove = f.m_a->GetCSpace() > f.m_b->GetCSpace();
    PSpace* s1 = aAbove ? f.m_a : f.m_b;
    PSpace* s2 = aAbove ? f.m_b : f.m_a;
    const char* s2Name = aAbove ? "B" : "A";
    LinkAndChange(store, s1, s2);
    std::atomic<bool> lockLeft{false};
    store->GetWriter().SetWriteStageHookForTests([&](DosWriter::WriteStage stage) {
        if (stage == DosWriter::WriteStage::LockTaken) lockLeft.store(true);
    });
    PSpace* opened = nullptr;
    std::unique_ptr<Closer> closer;
    {
        ThreadSpaces ts(s1);
        Txn txn;
        closer = std::make_unique<Closer>(store, s2);
        // Until the close's write holds S2's lock, or has left it to wait for S1's.
        CSpace* c2 = s2->GetCSpace();
        while (!lockLeft.load() && c2->TryLock()) {
            c2->Unlock();
            std::this_thread::yield();
        }
        bool created = true;
        opened = txn.Get()->OpenPSpace(s2Name, OM_OPEN_EXISTING, &created, nullptr);
        EXPECT_FALSE(created);
    }
    closer.reset();
    store->GetWriter().SetWriteStageHookForTests(nullptr);
    EXPECT_EQ(opened, s2);
    EXPECT_EQ(OpenPSpace(store, s2Name, nullptr), s2);
    store->Close();
}

// No write group: the writer waits for S1's lock, which a transaction holds; S2's close
// waits for the writer; the transaction then opens S2 and takes it back instead of
// waiting for the close.
TEST(SpaceClose, AnOpenInATransactionTakesBackTheSpaceWhoseCloseWaitsForTheWriter)
{
    TwoSpaces f;
    PersistStore* store = f.m_store;
    PSpace* s1 = f.m_a;
    PSpace* s2 = f.m_b;
    AddRootNode(s1, 1);
    AddRootNode(s2, 2);
    std::atomic<bool> writing{false};
    std::atomic<bool> closing{false};
    store->GetWriter().SetWriteStageHookForTests([&](DosWriter::WriteStage stage) {
        if (stage == DosWriter::WriteStage::GroupCollected) writing.store(true);
    });
    store->SetCloseHookForTests([&](PSpace*, PersistStore::CloseStage) { closing.store(true); });
    PSpace* opened = nullptr;
    std::thread writer;
    std::unique_ptr<Closer> closer;
    {
        ThreadSpaces ts(s1);
        Txn txn;
        writer = std::thread([&] { store->GetWriter().WriteGroup(s1, false); });
        YieldUntil([&] { return writing.load(); });
        closer = std::make_unique<Closer>(store, s2);
        YieldUntil([&] { return closing.load(); });
        bool created = true;
        opened = txn.Get()->OpenPSpace("B", OM_OPEN_EXISTING, &created, nullptr);
    }
    writer.join();
    closer.reset();
    store->GetWriter().SetWriteStageHookForTests(nullptr);
    store->SetCloseHookForTests(nullptr);
    EXPECT_EQ(opened, s2);
    EXPECT_EQ(OpenPSpace(store, "B", nullptr), s2);
    EXPECT_EQ(RootValue(s2, "R"), 2u);
    store->Close();
}
