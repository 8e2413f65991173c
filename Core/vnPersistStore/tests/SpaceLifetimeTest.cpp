// When a space dies: every open is given back by one close and only the last one
// writes and frees the space; a close under way, an open and a transaction each keep
// the space alive; a close given up leaves the space as it found it; an open of a space
// being destroyed waits for the end of the destruction and is woken by it.
#include "StoreTestUtil.h"
#include "vnLss/tests/Watchdog.h"
#include <gtest/gtest.h>
#include <thread>

using namespace vorn;
using namespace vorn::test;

namespace {

using Stage = PersistStore::CloseStage;

// Sets the root "R" of the space to a new node of the value.
OID SetRootNode(PSpace* space, uint32_t value)
{
    ThreadSpaces ts(space);
    Txn txn;
    space->RemoveRoot("R");
    PNode* n = NewNodeIn(space->GetCSpace(), value);
    EXPECT_TRUE(space->AddRoot("R", n->AsAny()));
    return n->m_pos.m_oid;
}

uint32_t RootValue(PSpace* space)
{
    ThreadSpaces ts(space);
    Txn txn;
    const IPersistablePtr p = space->GetRoot("R");
    return p.IsNull() ? 0 : static_cast<PNode*>(p.m_object)->m_value;
}

// The root value of the space name in the store that bytes hold, read after a reopen.
uint32_t StoredRootValue(const std::shared_ptr<SharedBytes>& bytes, const char* name)
{
    PersistStore* store = OpenStoreOn(bytes, QuietStoreSettings(false));
    const uint32_t v = RootValue(OpenPSpace(store, name, nullptr));
    store->Close();
    return v;
}

} // namespace

TEST(SpaceOpens, EveryOpenIsGivenBackByOneCloseAndOnlyTheLastWritesAndFrees)
{
    auto bytes = std::make_shared<SharedBytes>();
    PersistStore* store = OpenStoreOn(bytes, QuietStoreSettings(false));
    PSpace* first = OpenPSpace(store, "S", nullptr);
    PSpace* second = OpenPSpace(store, "S", nullptr);
    ASSERT_EQ(first, second);
    EXPECT_EQ(store->GetNumPSpaceReferences("S"), 2);
    SetRootNode(first, 7);
    const int64_t before = NumStoreTransactions(store->GetLss());
    first->Close();
    // The other opener still has the space, untouched and unwritten.
    EXPECT_EQ(store->GetNumPSpaceReferences("S"), 1);
    EXPECT_EQ(NumStoreTransactions(store->GetLss()), before);
    EXPECT_EQ(RootValue(second), 7u);
    SetRootNode(second, 8);
    second->Close();
    EXPECT_EQ(store->GetNumPSpaceReferences("S"), 0);
    EXPECT_GT(NumStoreTransactions(store->GetLss()), before);
    // The space is gone: closing it again is refused without reading it.
    EXPECT_THROW(store->ClosePSpace(second), ProgrammingErrorException);
    // A close beyond the opens takes nothing from a transaction's hold.
    PSpace* third = OpenPSpace(store, "S", nullptr);
    {
        ThreadSpaces ts(third);
        Txn txn;
        third->Close();
        EXPECT_THROW(third->Close(), ProgrammingErrorException);
        EXPECT_EQ(store->GetNumPSpaceReferences("S"), 1);
        SetRootNode(third, 9);
    }
    EXPECT_EQ(store->GetNumPSpaceReferences("S"), 0);
    store->Close();
    EXPECT_EQ(StoredRootValue(bytes, "S"), 9u);
}

// T1's last close is under way when T2 opens the space (taking it back) and closes it
// in full. T2's close is then not the last to end: T1's close, which still uses the
// space, destroys it, once.
TEST(SpaceClose, AnOpenAndACloseDuringTheLastCloseLeaveTheSpaceToTheCloseThatEndsLast)
{
    Watchdog dog;
    auto bytes = std::make_shared<SharedBytes>();
    PersistStore* store = OpenStoreOn(bytes, QuietStoreSettings(false));
    PSpace* space = OpenPSpace(store, "Q", nullptr);
    SetRootNode(space, 3);
    std::atomic<int> writes{0};
    std::vector<std::thread::id> destroyers;
    store->SetCloseHookForTests([&](PSpace*, Stage stage) {
        if (stage == Stage::Destroying) {
            destroyers.push_back(std::this_thread::get_id());
            return;
        }
        if (writes.fetch_add(1) != 0) return;
        std::thread t2([&] {
            PSpace* again = OpenPSpace(store, "Q", nullptr);
            EXPECT_EQ(again, space);
            SetRootNode(again, 5);
            again->Close();
        });
        t2.join();
    });
    store->ClosePSpace(space);
    store->SetCloseHookForTests(nullptr);
    EXPECT_EQ(writes.load(), 2);
    ASSERT_EQ(destroyers.size(), 1u);
    EXPECT_EQ(destroyers[0], std::this_thread::get_id());
    EXPECT_EQ(store->GetNumPSpaceReferences("Q"), 0);
    store->Close();
    EXPECT_EQ(StoredRootValue(bytes, "Q"), 5u);
}

// A close given up (the space was opened again during its write) leaves the space on
// the writer's lists: its queued deletion is still carried out.
TEST(SpaceClose, AGivenUpCloseLeavesTheSpaceOnTheWritersLists)
{
    Watchdog dog;
    auto bytes = std::make_shared<SharedBytes>();
    PersistStore* store = OpenStoreOn(bytes, QuietStoreSettings(false));
    PSpace* space = OpenPSpace(store, "S", nullptr);
    const OID doomed = SetRootNode(space, 4);
    WriteDirtyObjectsToLss(*space, false);
    {
        ThreadSpaces ts(space);
        Txn txn;
        const IPersistablePtr p = space->GetRoot("R");
        ASSERT_TRUE(space->RemoveRoot("R"));
        space->AsyncPermanentlyDeleteSubTree(p);
    }
    store->SetCloseHookForTests([&](PSpace*, Stage stage) {
        if (stage == Stage::Writing) {
            EXPECT_EQ(OpenPSpace(store, "S", nullptr), space);
        }
    });
    store->ClosePSpace(space);
    store->SetCloseHookForTests(nullptr);
    EXPECT_EQ(store->GetNumPSpaceReferences("S"), 1);
    EXPECT_TRUE(store->GetWriter().IsOnDeletionList(space));
    EXPECT_TRUE(store->GetLss()->SerialElementExists(doomed.AsSeid()));
    EXPECT_TRUE(store->GetWriter().DoDeletionStep());
    EXPECT_FALSE(store->GetLss()->SerialElementExists(doomed.AsSeid()));
    store->Close();
}

// An open of a space whose close destroys it waits (the entry is busy) and is woken
// when the destruction ends; it opens the space anew from what the close wrote.
TEST(SpaceClose, AnOpenWhileTheSpaceIsDestroyedWaitsAndIsWokenByTheEndOfTheClose)
{
    Watchdog dog;
    auto bytes = std::make_shared<SharedBytes>();
    PersistStore* store = OpenStoreOn(bytes, QuietStoreSettings(false));
    PSpace* space = OpenPSpace(store, "S", nullptr);
    SetRootNode(space, 6);
    std::thread opener;
    std::atomic<PSpace*> reopened{nullptr};
    std::atomic<bool> opened{false};
    bool waited = false;
    store->SetCloseHookForTests([&](PSpace*, Stage stage) {
        if (stage != Stage::Destroying) return;
        opener = std::thread([&] {
            bool created = true;
            reopened.store(store->OpenPSpace("S", OM_OPEN_EXISTING, &created, nullptr));
            opened.store(true);
        });
        // Until the open either returned or waits for this close.
        while (!opened.load() && store->GetNumWaitingOpensForTests() == 0) std::this_thread::yield();
        waited = !opened.load();
    });
    store->ClosePSpace(space);
    store->SetCloseHookForTests(nullptr);
    ASSERT_TRUE(opener.joinable());
    opener.join();
    EXPECT_TRUE(waited);
    ASSERT_NE(reopened.load(), nullptr);
    EXPECT_EQ(RootValue(reopened.load()), 6u);
    EXPECT_EQ(store->GetNumPSpaceReferences("S"), 1);
    store->Close();
}

// A space opened inside a transaction and closed before the transaction ends is held
// by the transaction (whose lock it is): the transaction's end finishes the close.
TEST(SpaceClose, ASpaceClosedInsideATransactionLivesUntilTheTransactionEnds)
{
    Watchdog dog;
    auto bytes = std::make_shared<SharedBytes>();
    PersistStore* store = OpenStoreOn(bytes, QuietStoreSettings(false));
    PSpace* a = OpenPSpace(store, "A", nullptr);
    {
        ThreadSpaces ts(a);
        Txn txn;
        bool created = false;
        PSpace* b = txn.Get()->OpenPSpace("B", OM_OPEN_ALWAYS, &created, nullptr);
        EXPECT_TRUE(created);
        EXPECT_EQ(store->GetNumPSpaceReferences("B"), 2);
        {
            ThreadSpaces tb(b);
            PNode* n = NewNodeIn(b->GetCSpace(), 9);
            EXPECT_TRUE(b->AddRoot("R", n->AsAny()));
        }
        b->Close();
        EXPECT_EQ(store->GetNumPSpaceReferences("B"), 1);
        EXPECT_EQ(b->GetName(), xstring("B"));
    }
    EXPECT_EQ(store->GetNumPSpaceReferences("B"), 0);
    // So does a space closed inside a transaction on it.
    {
        ThreadSpaces ts(a);
        Txn txn;
        a->Close();
        EXPECT_EQ(store->GetNumPSpaceReferences("A"), 1);
    }
    EXPECT_EQ(store->GetNumPSpaceReferences("A"), 0);
    store->Close();
    EXPECT_EQ(StoredRootValue(bytes, "B"), 9u);
}

// A space is published counted and registered with the writer: another thread that
// opens and closes it in full right after the publication leaves it open, and it is on
// the writer's deletion list with its stored deletions from the start.
TEST(SpaceOpens, APublishedSpaceIsCountedAndRegisteredAlready)
{
    Watchdog dog;
    auto bytes = std::make_shared<SharedBytes>();
    PersistStore* store = OpenStoreOn(bytes, QuietStoreSettings(false));
    PSpace* space = OpenPSpace(store, "S", nullptr);
    SetRootNode(space, 1);
    WriteDirtyObjectsToLss(*space, false);
    {
        ThreadSpaces ts(space);
        Txn txn;
        const IPersistablePtr p = space->GetRoot("R");
        ASSERT_TRUE(space->RemoveRoot("R"));
        space->AsyncPermanentlyDeleteSubTree(p);
    }
    SetRootNode(space, 2);
    store->Close();

    store = OpenStoreOn(bytes, QuietStoreSettings(false));
    bool registered = false;
    store->SetOpenHookForTests([&](PSpace* published) {
        registered = store->GetWriter().IsOnDeletionList(published);
        std::thread other([&] { OpenPSpace(store, "S", nullptr)->Close(); });
        other.join();
    });
    PSpace* opened = OpenPSpace(store, "S", nullptr);
    store->SetOpenHookForTests(nullptr);
    EXPECT_TRUE(registered);
    EXPECT_EQ(store->GetNumPSpaceReferences("S"), 1);
    EXPECT_EQ(RootValue(opened), 2u);
    EXPECT_TRUE(store->GetWriter().IsOnDeletionList(opened));
    store->Close();
}
