// Objects that reach a space in the background: B+ tree nodes loaded by the loader
// thread, and a load under way in a space that another space's objects are merged into.
// The whole module's tests also run under ThreadSanitizer.
#include "BPlusTreeTestUtil.h"
#include <gtest/gtest.h>

using namespace vorn;
using namespace vorn::test;

TEST(SpaceLoad, TreeNodesLoadOnTheLoaderThread)
{
    TreeStore ts;
    ts.InTxn([&] {
        BPlusTree* t = ts.NewTree("T", Int32Type(), nullptr);
        for (int32_t k = 0; k < 250; ++k) t->Insert(&k);
    });
    ts.Reopen();
    OID leafOid;
    ts.InTxn([&] {
        BPlusTree* t = ts.Tree("T");
        ASSERT_EQ(t->GetHeight(), 1);
        leafOid = static_cast<InternalNode*>(t->GetRoot().m_object)->ChildAt(0).GetOid();
    });
    ASSERT_FALSE(leafOid.IsNull());
    PSpace* space = ts.m_space;
    {
        Asker asker(*space, leafOid);
        {
            ThreadSpaces s(space);
            CSpaceLock lock(space->GetCSpace());
            asker.EvaluateIfNeeded();
            EXPECT_TRUE(asker.m_got.IsNull());
        }
        space->GetResidentObjects().WaitForLoads();
        ts.InTxn([&] {
            EXPECT_TRUE(asker.IsInvalid());
            const IPersistablePtr p = space->BindObjectIfMemoryResident(leafOid);
            ASSERT_FALSE(p.IsNull());
            auto* leaf = static_cast<LeafNode*>(p.m_object);
            ASSERT_EQ(leaf->GetCount(), 50);
            EXPECT_EQ(*static_cast<const int32_t*>(leaf->KeyAt(0)), 50);
        });
    }
}

namespace {

// A node stored under the root name "N" of the tree store's space A, the store reopened
// (nothing resident), and a second space B.
struct StoredNodeAndTwoSpaces {
    StoredNodeAndTwoSpaces()
    {
        PNode* stored = nullptr;
        ts.InTxn([&] {
            stored = NewNodeIn(ts.m_space->GetCSpace(), 1);
            ASSERT_TRUE(ts.m_space->AddRoot("N", stored->AsAny()));
        });
        oid = stored->m_pos.m_oid;
        ts.Reopen();
        a = ts.m_space;
        b = OpenPSpace(ts.m_store, "Q", nullptr);
    }
    TreeStore ts;
    OID oid;
    PSpace* a = nullptr;
    PSpace* b = nullptr;
};

} // namespace

TEST(SpaceLoad, AMergedObjectEndsALoadOfTheSameOid)
{
    StoredNodeAndTwoSpaces f;
    TreeStore& ts = f.ts;
    const OID oid = f.oid;
    PSpace* a = f.a;
    PSpace* b = f.b;
    IPersistablePtr merged;
    {
        Asker asker(*a, oid);
        {
            ThreadSpaces s(a);
            OrderedLocks locks(a->GetCSpace(), b->GetCSpace());
            // A load of the object under way in the destination...
            asker.EvaluateIfNeeded();
            // ...while the source binds its own copy and is transferred.
            {
                ThreadSpaces sb(b);
                merged = b->BindObject(oid);
            }
            static_cast<PNode*>(merged.m_object)->m_value = 77;
            const PSpaceLockPair pairs[] = {{a, PSPACE_LOCK_EXCLUSIVE}, {b, PSPACE_LOCK_EXCLUSIVE}};
            PersistStoreTxn* txn = ts.m_store->OpenTxn(pairs, 2);
            txn->TransferPSpace(a, b);
            txn->Close();
        }
        a->GetResidentObjects().WaitForLoads();
        ts.InTxn([&] {
            EXPECT_EQ(a->BindObjectIfMemoryResident(oid).m_object, merged.m_object);
            EXPECT_TRUE(asker.IsInvalid());
            asker.EvaluateIfNeeded();
            EXPECT_EQ(asker.m_got.m_object, merged.m_object);
        });
    }
}

// Both spaces hold the object: after the transfer the destination's entry is the one
// that came with the transfer.
TEST(SpaceLoad, AMergedObjectReplacesTheDestinationsResidentOne)
{
    StoredNodeAndTwoSpaces f;
    const OID oid = f.oid;
    PSpace* a = f.a;
    PSpace* b = f.b;
    IPersistablePtr merged;
    {
        ThreadSpaces s(a);
        OrderedLocks locks(a->GetCSpace(), b->GetCSpace());
        const IPersistablePtr resident = a->BindObject(oid);
        {
            ThreadSpaces sb(b);
            merged = b->BindObject(oid);
        }
        ASSERT_NE(resident.m_object, merged.m_object);
        const PSpaceLockPair pairs[] = {{a, PSPACE_LOCK_EXCLUSIVE}, {b, PSPACE_LOCK_EXCLUSIVE}};
        PersistStoreTxn* txn = f.ts.m_store->OpenTxn(pairs, 2);
        txn->TransferPSpace(a, b);
        txn->Close();
    }
    f.ts.InTxn([&] { EXPECT_EQ(a->BindObjectIfMemoryResident(oid).m_object, merged.m_object); });
}
