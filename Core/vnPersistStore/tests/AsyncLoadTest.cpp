// The asynchronous loader: loads for observed evaluations, shared and cancelled loads,
// synchronous binds racing the loader, failing loads, merges and the loader's queue.
// The whole module's tests also run under ThreadSanitizer.
#include "PersistTestUtil.h"
#include <gtest/gtest.h>
#include "vnPersistStore/PersistExceptions.h"
#include <thread>

namespace vorn::test {
namespace {

using Bytes = std::vector<uint8_t>;

// A store with n nodes written, re-opened with nothing resident.
struct StoredNodes {
    std::vector<OID> m_oids;
    std::vector<uint8_t> m_classIds;
    explicit StoredNodes(int n, size_t payload = 16)
    {
        SpaceContext ctx;
        CSpaceLock lock(ctx.CS());
        for (int i = 0; i < n; ++i) {
            PNode* node = ctx.NewNode(uint32_t(i), payload);
            ctx.Space().MakeObjectPersistWithGivenOID(node->AsPersistable(), ctx.Space().AllocateOid(), false);
            m_oids.push_back(node->m_pos.m_oid);
            ctx.Write({node->AsPersistable()});
        }
        m_classIds = ctx.StoredClassIds();
    }
};

TEST(AsyncLoad, ObservedEvaluationsShareOneLoadAndRunAgain)
{
    StoredNodes stored(2);
    SpaceContext ctx(false, &stored.m_classIds);
    ResidentObjectTable& table = ctx.Space().GetResidentObjects();
    Asker a(ctx.Space()), b(ctx.Space());
    a.m_oid = b.m_oid = stored.m_oids[0];
    {
        CSpaceLock lock(ctx.CS());
        // Outside an evaluation nothing is queued.
        EXPECT_TRUE(ctx.Space().AsyncBind(stored.m_oids[1]).IsNull());
        EXPECT_EQ(table.GetNumLoads(), 0);
        a.EvaluateIfNeeded();
        b.EvaluateIfNeeded();
        EXPECT_TRUE(a.m_got.IsNull());
        EXPECT_LE(table.GetNumLoads(), 1);
    }
    table.WaitForLoads();
    CSpaceLock lock(ctx.CS());
    const IPersistablePtr p = table.FindResident(stored.m_oids[0]);
    ASSERT_FALSE(p.IsNull());
    EXPECT_EQ(LoadOwner(SysStateOf(p.Any())), ctx.CS());
    EXPECT_EQ(static_cast<PNode*>(p.m_object)->m_pos.m_oid, stored.m_oids[0]);
    // Both evaluations were told; run again they find the object.
    EXPECT_TRUE(a.IsInvalid());
    EXPECT_TRUE(b.IsInvalid());
    a.EvaluateIfNeeded();
    EXPECT_EQ(a.m_got.m_object, p.m_object);
    EXPECT_EQ(a.m_runs, 2);
    // The element was let go: it can be written again.
    ctx.Write({p});
}

TEST(AsyncLoad, CancelledWhenTheLastObserverGoes)
{
    StoredNodes stored(1);
    SpaceContext ctx(false, &stored.m_classIds);
    ResidentObjectTable& table = ctx.Space().GetResidentObjects();
    const int64_t objects = ctx.CS()->GetNumObjects();
    {
        Asker a(ctx.Space());
        a.m_oid = stored.m_oids[0];
        CSpaceLock lock(ctx.CS());
        a.EvaluateIfNeeded();
        // Holding the lock: the loader cannot publish before the interest goes.
        a.LoseInterest();
        EXPECT_TRUE(table.FindResident(stored.m_oids[0]).IsNull());
        EXPECT_EQ(table.GetNumEntries(), 0u);
    }
    table.WaitForLoads();
    {
        CSpaceLock lock(ctx.CS());
        EXPECT_EQ(table.GetNumEntries(), 0u);
        EXPECT_EQ(ctx.CS()->GetNumObjects(), objects); // the loader's copy was dropped
    }
    // A later request starts a new load.
    Asker b(ctx.Space());
    b.m_oid = stored.m_oids[0];
    {
        CSpaceLock lock(ctx.CS());
        b.EvaluateIfNeeded();
    }
    table.WaitForLoads();
    CSpaceLock lock(ctx.CS());
    EXPECT_FALSE(table.FindResident(stored.m_oids[0]).IsNull());
}

TEST(AsyncLoad, ThreadedSynchronousBindsRacingTheLoader)
{
    constexpr int kObjects = 120;
    StoredNodes stored(kObjects, 200);
    SpaceContext ctx(false, &stored.m_classIds);
    ResidentObjectTable& table = ctx.Space().GetResidentObjects();
    const int64_t objects = ctx.CS()->GetNumObjects();
    std::vector<std::unique_ptr<Asker>> askers;
    for (int i = 0; i < kObjects; ++i) {
        askers.push_back(std::make_unique<Asker>(ctx.Space()));
        askers.back()->m_oid = stored.m_oids[size_t(i)];
    }
    // Ask for each object in the background, then bind it at once, letting go of the
    // lock between the two now and then so that the loader gets ahead of some binds.
    for (int i = 0; i < kObjects; ++i) {
        CSpaceLock lock(ctx.CS());
        askers[size_t(i)]->EvaluateIfNeeded();
        if (i % 3 == 0) {
            ctx.CS()->Unlock();
            std::this_thread::yield();
            ctx.CS()->Lock();
        }
        const IPersistablePtr p = ctx.Space().BindObject(stored.m_oids[size_t(i)]);
        ASSERT_FALSE(p.IsNull());
        EXPECT_EQ(static_cast<PNode*>(p.m_object)->m_value, uint32_t(i));
        // Never an object without a space.
        EXPECT_EQ(LoadOwner(SysStateOf(p.Any())), ctx.CS());
        EXPECT_EQ(table.FindResident(stored.m_oids[size_t(i)]).m_object, p.m_object);
        EXPECT_TRUE(askers[size_t(i)]->IsInvalid());
    }
    table.WaitForLoads();
    CSpaceLock lock(ctx.CS());
    // Each object registered once; every entry resident.
    EXPECT_EQ(ctx.CS()->GetNumObjects(), objects + kObjects);
    EXPECT_EQ(table.GetNumEntries(), size_t(kObjects));
    for (const OID& oid : stored.m_oids) EXPECT_FALSE(table.FindResident(oid).IsNull());
}

TEST(AsyncLoad, ThreadedBindersOnOtherThreads)
{
    constexpr int kObjects = 60;
    StoredNodes stored(kObjects);
    SpaceContext ctx(false, &stored.m_classIds);
    ResidentObjectTable& table = ctx.Space().GetResidentObjects();
    std::vector<std::unique_ptr<Asker>> askers;
    for (int i = 0; i < kObjects; ++i) {
        askers.push_back(std::make_unique<Asker>(ctx.Space()));
        askers.back()->m_oid = stored.m_oids[size_t(i)];
    }
    std::atomic<bool> failed{false};
    std::thread binder([&] {
        RestoreThreadCSpace cs(ctx.CS());
        RestoreThreadPSpace ps(&ctx.Space());
        for (int i = kObjects - 1; i >= 0; --i) {
            CSpaceLock lock(ctx.CS());
            const IPersistablePtr p = ctx.Space().BindObject(stored.m_oids[size_t(i)]);
            if (p.IsNull() || LoadOwner(SysStateOf(p.Any())) != ctx.CS()) failed = true;
        }
    });
    for (int i = 0; i < kObjects; ++i) {
        CSpaceLock lock(ctx.CS());
        askers[size_t(i)]->EvaluateIfNeeded();
    }
    binder.join();
    table.WaitForLoads();
    EXPECT_FALSE(failed.load());
    CSpaceLock lock(ctx.CS());
    EXPECT_EQ(table.GetNumEntries(), size_t(kObjects));
}

TEST(AsyncLoad, FailedLoadsAreDroppedAndNeverBlockAClose)
{
    StoredNodes stored(1);
    SpaceContext ctx(false, &stored.m_classIds);
    ResidentObjectTable& table = ctx.Space().GetResidentObjects();
    const OidHigh high = stored.m_oids[0].m_high;
    const OID missing(0x01017777, high);
    const OID damaged(ctx.m_lss->AllocateSeid(high));
    const OID unknownCid(ctx.m_lss->AllocateSeid(high));
    const OID zeroCid(ctx.m_lss->AllocateSeid(high));
    ctx.WriteRaw(damaged, Bytes{0x01, 0x01, 0x05});
    ctx.WriteRaw(unknownCid, Bytes{0x09, 0x01});
    ctx.WriteRaw(zeroCid, Bytes{0x00});
    std::vector<std::unique_ptr<Asker>> askers;
    for (OID oid : {missing, damaged, unknownCid, zeroCid}) {
        askers.push_back(std::make_unique<Asker>(ctx.Space()));
        askers.back()->m_oid = oid;
        CSpaceLock lock(ctx.CS());
        askers.back()->EvaluateIfNeeded();
    }
    table.WaitForLoads();
    CSpaceLock lock(ctx.CS());
    EXPECT_EQ(table.GetNumEntries(), 0u);
    EXPECT_EQ(table.GetNumLoads(), 0);
    // A synchronous bind of a load that is about to fail does not wait for it either.
    Asker again(ctx.Space());
    again.m_oid = damaged;
    again.EvaluateIfNeeded();
    EXPECT_THROW(ctx.Space().BindObject(damaged), DeserialisationException);
    EXPECT_EQ(table.GetNumEntries(), 0u);
    Asker gone(ctx.Space());
    gone.m_oid = missing;
    gone.EvaluateIfNeeded();
    EXPECT_THROW(ctx.Space().BindObject(missing), DerefDanglingOidException);
    ctx.CS()->Unlock();
    table.WaitForLoads();
    ctx.CS()->Lock();
    EXPECT_EQ(table.GetNumLoads(), 0);
}

TEST(AsyncLoad, ThreadedBindTakesOverAnObjectTheLoaderHasRead)
{
    StoredNodes stored(1, 64);
    SpaceContext ctx(false, &stored.m_classIds);
    ResidentObjectTable& table = ctx.Space().GetResidentObjects();
    const OID oid = stored.m_oids[0];
    Asker asker(ctx.Space(), oid);
    CSpaceLock lock(ctx.CS());
    const int64_t objects = ctx.CS()->GetNumObjects();
    asker.EvaluateIfNeeded();
    // The loader reads the object and then waits for the lock this thread holds.
    DGIndepNodeForAsyncPref* node = table.FindLoad(oid);
    ASSERT_NE(node, nullptr);
    while (!node->HasDeserialisedObject()) std::this_thread::yield();
    const IPersistablePtr p = ctx.Space().BindObject(oid);
    // The binder finished the hand-over: registered, resident, evaluations told.
    EXPECT_EQ(LoadOwner(SysStateOf(p.Any())), ctx.CS());
    EXPECT_EQ(ctx.CS()->GetNumObjects(), objects + 1);
    EXPECT_EQ(table.FindResident(oid).m_object, p.m_object);
    EXPECT_EQ(table.FindLoad(oid), nullptr);
    EXPECT_TRUE(asker.IsInvalid());
    // The loader let go of the element once it had read it: it can be written again
    // (the store refuses to write an element that is being read).
    EXPECT_NO_THROW(ctx.Write({p}));
    ctx.CS()->Unlock();
    table.WaitForLoads();
    ctx.CS()->Lock();
    EXPECT_EQ(ctx.CS()->GetNumObjects(), objects + 1);
    EXPECT_EQ(table.FindResident(oid).m_object, p.m_object);
}

TEST(AsyncLoad, BindBeforeTheLoaderReadsReadsItselfAndTheLoaderDropsItsCopy)
{
    StoredNodes stored(2);
    SpaceContext ctx(false, &stored.m_classIds, false); // the loader is not running yet
    ResidentObjectTable& table = ctx.Space().GetResidentObjects();
    Asker a(ctx.Space(), stored.m_oids[0]), b(ctx.Space(), stored.m_oids[1]);
    IPersistablePtr p, q;
    int64_t objects;
    {
        CSpaceLock lock(ctx.CS());
        objects = ctx.CS()->GetNumObjects();
        a.EvaluateIfNeeded();
        b.EvaluateIfNeeded();
        p = ctx.Space().BindObject(stored.m_oids[0]);
        EXPECT_TRUE(a.IsInvalid());
        EXPECT_EQ(table.FindResident(stored.m_oids[0]).m_object, p.m_object);
    }
    // Made memory-resident from a thread without the lock while its load waits.
    std::thread([&] {
        RestoreThreadCSpace cs(ctx.CS());
        RestoreThreadPSpace ps(&ctx.Space());
        q = ctx.Space().MakeMemoryResident(stored.m_oids[1]);
    }).join();
    {
        CSpaceLock lock(ctx.CS());
        EXPECT_EQ(LoadOwner(SysStateOf(q.Any())), ctx.CS());
        EXPECT_EQ(table.FindResident(stored.m_oids[1]).m_object, q.m_object);
        EXPECT_TRUE(b.IsInvalid());
    }
    ctx.m_loader.Start();
    table.WaitForLoads();
    CSpaceLock lock(ctx.CS());
    EXPECT_EQ(ctx.CS()->GetNumObjects(), objects + 2);
    EXPECT_EQ(table.FindResident(stored.m_oids[0]).m_object, p.m_object);
    EXPECT_EQ(table.FindResident(stored.m_oids[1]).m_object, q.m_object);
}

TEST(AsyncLoad, MergeMovesResidentEntriesAndCancelsLoads)
{
    StoredNodes stored(3);
    SpaceContext ctx(false, &stored.m_classIds);
    CSpace* otherCs = CreateCSpace(false, GCThreadFn{});
    auto other = std::make_unique<PSpace>(ctx.m_lss, &ctx.m_schema, &ctx.m_loader, otherCs, xstring("Q"),
                                          OID(0x01016666, stored.m_oids[0].m_high), true);
    IPersistablePtr resident;
    Asker asker(*other);
    asker.m_oid = stored.m_oids[1];
    {
        RestoreThreadCSpace cs(otherCs);
        RestoreThreadPSpace ps(other.get());
        CSpaceLock lock(otherCs);
        resident = other->BindObject(stored.m_oids[0]);
        asker.EvaluateIfNeeded();
        ctx.Space().GetResidentObjects().Merge(other->GetResidentObjects());
        EXPECT_EQ(other->GetResidentObjects().GetNumEntries(), 0u);
        EXPECT_TRUE(asker.IsInvalid()); // told to ask again
    }
    other->GetResidentObjects().WaitForLoads();
    {
        CSpaceLock lock(ctx.CS());
        EXPECT_EQ(ctx.Space().GetResidentObjects().FindResident(stored.m_oids[0]).m_object, resident.m_object);
        EXPECT_TRUE(ctx.Space().GetResidentObjects().FindResident(stored.m_oids[1]).IsNull());
        EXPECT_EQ(ctx.Space().GetResidentObjects().GetNumEntries(), 1u);
        CSpaceLock otherLock(otherCs);
        TransferCSpace(otherCs, ctx.CS());
    }
    other.reset();
    otherCs->Destroy();
}

TEST(AsyncLoad, StopEntryEndsTheLoaderAfterEarlierRequests)
{
    StoredNodes stored(40);
    SpaceContext ctx(false, &stored.m_classIds);
    ResidentObjectTable& table = ctx.Space().GetResidentObjects();
    std::vector<std::unique_ptr<Asker>> askers;
    {
        CSpaceLock lock(ctx.CS());
        for (const OID& oid : stored.m_oids) {
            askers.push_back(std::make_unique<Asker>(ctx.Space()));
            askers.back()->m_oid = oid;
            askers.back()->EvaluateIfNeeded();
        }
    }
    ctx.m_loader.Stop(); // queued behind the requests
    table.WaitForLoads();
    CSpaceLock lock(ctx.CS());
    EXPECT_EQ(table.GetNumEntries(), stored.m_oids.size());
    for (const OID& oid : stored.m_oids) EXPECT_FALSE(table.FindResident(oid).IsNull());
    // Requests after the stop are not served and leave nothing behind once unobserved.
    Asker late(ctx.Space());
    late.m_oid = OID(0x01015555, stored.m_oids[0].m_high);
    late.EvaluateIfNeeded();
    late.LoseInterest();
    EXPECT_EQ(table.GetNumLoads(), 0);
}

// A load that failed is not made again, however often its evaluation asks: the object
// stays missing, the failure is counted once per OID and its text kept for the user.
TEST(AsyncLoad, AFailedLoadIsNotMadeAgain)
{
    StoredNodes stored(1);
    SpaceContext ctx(false, &stored.m_classIds);
    ResidentObjectTable& table = ctx.Space().GetResidentObjects();
    const OidHigh high = stored.m_oids[0].m_high;
    const OID damaged(ctx.m_lss->AllocateSeid(high));
    const OID missing(0x01017777, high);
    ctx.WriteRaw(damaged, Bytes{0x01, 0x01, 0x05});
    for (int round = 0; round < 3; ++round) {
        for (OID oid : {damaged, missing}) {
            Asker asker(ctx.Space());
            asker.m_oid = oid;
            {
                CSpaceLock lock(ctx.CS());
                asker.EvaluateIfNeeded();
                EXPECT_EQ(table.FindLoad(oid) != nullptr, round == 0 && table.GetNumFailedLoads() < 2)
                    << "round " << round;
            }
            table.WaitForLoads();
        }
    }
    CSpaceLock lock(ctx.CS());
    EXPECT_EQ(table.GetNumFailedLoads(), 2);
    EXPECT_FALSE(table.GetFirstLoadFailure().empty());
    EXPECT_EQ(table.GetNumEntries(), 0u);
}

} // namespace
} // namespace vorn::test
