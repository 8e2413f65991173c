// Transactions on several threads racing the background writer, the collector and
// explicit write-backs; what each thread wrote last is there after a reopen.
#include "StoreTestUtil.h"
#include <gtest/gtest.h>
#include <string>
#include <thread>

using namespace vorn;
using namespace vorn::test;

TEST(PersistThreaded, TransactionsRaceTheWriterAndTheCollector)
{
    constexpr int kThreads = 4;
    const int rounds = kUnderThreadSanitizer ? 60 : 300;
    auto bytes = std::make_shared<SharedBytes>();
    PersistStore* store = OpenStoreOn(bytes, QuietStoreSettings(true));
    store->SetDosPeriod(0); // the writer writes continuously
    PSpace* p = OpenPSpace(store, "P", nullptr);
    PSpace* q = OpenPSpace(store, "Q", nullptr);
    p->GetCSpace()->SetMilliSecsPerGc(1);
    q->GetCSpace()->SetMilliSecsPerGc(1);
    {
        ThreadSpaces ts(p);
        Txn txn;
        for (int t = 0; t < kThreads; ++t) p->AddRoot(("T" + std::to_string(t)).c_str(), NewNodeIn(p->GetCSpace(), 0)->AsAny());
    }
    {
        ThreadSpaces ts(q);
        Txn txn;
        q->AddRoot("Q", NewNodeIn(q->GetCSpace(), 0)->AsAny());
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string name = "T" + std::to_string(t);
            for (int i = 1; i <= rounds; ++i) {
                {
                    ThreadSpaces ts(p);
                    Txn txn;
                    auto* root = static_cast<PNode*>(p->GetRoot(name.c_str()).m_object);
                    SetValue(root, uint32_t(i));
                    // A new child each round: the old one is queued for deletion.
                    SetChild(root, pref(NewNodeIn(p->GetCSpace(), uint32_t(i), size_t(i % 3) * 200)->AsPersistable()));
                }
                if (t == 0 && i % 10 == 0) {
                    // Both spaces in one exclusive transaction: one write group.
                    OrderedLocks locks(p->GetCSpace(), q->GetCSpace());
                    const PSpaceLockPair pairs[] = {{p, PSPACE_LOCK_EXCLUSIVE}, {q, PSPACE_LOCK_EXCLUSIVE}};
                    PersistStoreTxn* txn = store->OpenTxn(pairs, 2);
                    {
                        ThreadSpaces ts(q);
                        SetValue(static_cast<PNode*>(q->GetRoot("Q").m_object), uint32_t(i));
                    }
                    txn->Close();
                }
                if (i % 25 == 0) WriteDirtyObjectsToLss(t % 2 ? *p : *q, false);
            }
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_FALSE(store->GetWriter().GetRecordedFailure());
    store->Close();

    store = OpenStoreOn(bytes, QuietStoreSettings(true));
    p = OpenPSpace(store, "P", nullptr);
    q = OpenPSpace(store, "Q", nullptr);
    {
        ThreadSpaces ts(p);
        Txn txn;
        for (int t = 0; t < kThreads; ++t) {
            auto* root = static_cast<PNode*>(p->GetRoot(("T" + std::to_string(t)).c_str()).m_object);
            EXPECT_EQ(root->m_value, uint32_t(rounds));
            EXPECT_EQ(static_cast<PNode*>(root->m_child.Get().m_object)->m_value, uint32_t(rounds));
        }
    }
    {
        ThreadSpaces ts(q);
        Txn txn;
        EXPECT_EQ(static_cast<PNode*>(q->GetRoot("Q").m_object)->m_value, uint32_t(rounds / 10 * 10));
    }
    // The replaced children were deleted in the background, or are still queued.
    while (store->GetWriter().DoDeletionStep()) {
    }
    EXPECT_LE(store->GetNumPersistableObjects(), 2 * kThreads + 1);
    store->Close();
}
