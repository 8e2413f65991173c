// Permanent deletion when binding fails: only an element that the store reports
// damaged leaves its queue undeleted; a passing failure (memory, a class not yet
// registered, the store itself) leaves every OID queued, to be deleted by a later
// batch. On the writer thread a damaged element is reported once, to the next client
// write-back, and a failure of the store stays recorded.
#include "StoreTestUtil.h"
#include "vnLss/tests/Watchdog.h"
#include "vnPersistStore/PersistExceptions.h"
#include "vnPersistStore/StoreTransaction.h"
#include <gtest/gtest.h>
#include <functional>
#include <new>
#include <stdexcept>
#include <thread>

using namespace vorn;
using namespace vorn::test;

namespace {

enum class Fault { None, RuntimeError, BadAlloc, File, Deserialisation, CorruptLss, UnknownClass };

std::atomic<Fault> g_nextLoadFault{Fault::None};

[[noreturn]] void Throw(Fault f)
{
    switch (f) {
    case Fault::RuntimeError: throw std::runtime_error("passing failure");
    case Fault::BadAlloc: throw std::bad_alloc();
    case Fault::File: throw FileException(5, xstring("store"));
    case Fault::Deserialisation: ThrowDeserialisationException("damaged");
    case Fault::CorruptLss: throw CorruptLSSException(xstring("damaged"));
    case Fault::UnknownClass: throw ReflectedClassNotFoundException(xstring("vorn::test::NotYet"));
    case Fault::None: break;
    }
    throw std::logic_error("no fault");
}

// A node whose next load throws the fault asked for.
class PFussyNode : public PNodeOf<PFussyNode> {
public:
    static const ReflectedClass s_class;
    InputArchive Deserialise(InputArchive in)
    {
        const Fault f = g_nextLoadFault.exchange(Fault::None);
        if (f != Fault::None) Throw(f);
        return PNode::Deserialise(in);
    }
};
const ReflectedClass PFussyNode::s_class =
    MakeClassRecord("vorn::test::PFussyNode", sizeof(PFussyNode), &NewPersistableFactory<PFussyNode>);

struct Store {
    Store() : m_bytes(std::make_shared<SharedBytes>())
    {
        RegisterReflectedItem(PFussyNode::s_class.GetName(), GetReflectedClassRegistry(), &PFussyNode::s_class);
        Open();
    }
    ~Store()
    {
        g_nextLoadFault.store(Fault::None);
        if (m_store) {
            std::exception_ptr ignored;
            m_store->CloseReporting(&ignored);
        }
    }
    void Open()
    {
        m_store = OpenStoreOn(m_bytes, QuietStoreSettings());
        m_p = OpenPSpace(m_store, "P", nullptr);
    }
    // Closes and opens the store again: no object is in memory then.
    void Reopen()
    {
        m_store->Close();
        Open();
    }
    DosWriter& Writer() { return m_store->GetWriter(); }
    PendingDeletions& Deletions() { return m_p->GetWriteState().m_deletions; }
    bool Stored(OID oid)
    {
        std::vector<uint8_t> b;
        return ReadElement(m_store->GetLss(), oid.AsSeid(), b);
    }
    bool Pending(OID oid)
    {
        CSpaceLock lock(m_p->GetCSpace());
        for (const OID& o : Deletions().PendingSubTrees())
            if (o == oid) return true;
        return false;
    }
    // A new persistent node of class Node with a child (or none), written.
    template <class Node>
    OID Persistent(uint32_t value, OID child = OID())
    {
        ThreadSpaces ts(m_p);
        Txn txn;
        auto* n = new Node;
        n->m_value = value;
        n->m_child = pref(child);
        m_p->GetCSpace()->RegisterGcObject(n->AsAny());
        m_p->MakeObjectPersist(m_p->GetRoots().GetOwnOid().m_low, n->AsPersistable());
        return n->m_pos.m_oid;
    }
    // Queues subtree roots for deletion and, unless the writer thread is to do it, has
    // a write-back merge them.
    void QueueSubTrees(std::initializer_list<OID> roots, bool writeBack = true)
    {
        {
            ThreadSpaces ts(m_p);
            Txn txn;
            for (OID oid : roots) Deletions().QueueSubTree(oid);
            m_p->GetWriteState().m_dirty.Schedule();
        }
        if (writeBack) WriteDirtyObjectsToLss(*m_p, false);
    }
    OID DamagedElement() { return WriteDamagedElement(m_store); }

    std::shared_ptr<SharedBytes> m_bytes;
    PersistStore* m_store = nullptr;
    PSpace* m_p = nullptr;
};

void YieldUntil(const std::function<bool()>& done)
{
    while (!done()) std::this_thread::yield();
}

} // namespace

// Each fault once, in the load of a queued subtree root or of an object its walk meets.
TEST(DeletionFailures, OnlyAnElementTheStoreReportsDamagedLeavesItsQueueUndeleted)
{
    struct Case {
        Fault fault;
        bool damaged;
    };
    const Case cases[] = {{Fault::RuntimeError, false},   {Fault::BadAlloc, false},  {Fault::File, false},
                          {Fault::UnknownClass, false},   {Fault::Deserialisation, true},
                          {Fault::CorruptLss, true}};
    for (bool inWalk : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(::testing::Message() << "fault " << int(c.fault) << (inWalk ? " in a walk" : " at the root"));
            Store f;
            const OID fussy = f.Persistent<PFussyNode>(1);
            const OID root = inWalk ? f.Persistent<PNode>(2, fussy) : fussy;
            WriteDirtyObjectsToLss(*f.m_p, false);
            f.Reopen();
            f.QueueSubTrees({root});
            g_nextLoadFault.store(c.fault);
            bool dangling = false;
            try {
                f.Writer().DoDeletionStep();
            } catch (const DerefDanglingOidException& e) {
                dangling = true;
                EXPECT_EQ(e.GetOid(), fussy);
            } catch (...) {
            }
            EXPECT_EQ(g_nextLoadFault.load(), Fault::None) << "the load did not run";
            EXPECT_EQ(dangling, c.damaged);
            EXPECT_TRUE(f.Stored(fussy));
            if (c.damaged) {
                // The rest is deleted; the damaged element stays, out of the queue.
                if (inWalk) {
                    EXPECT_FALSE(f.Stored(root));
                }
                EXPECT_FALSE(f.Pending(root));
                EXPECT_FALSE(f.Writer().DoDeletionStep());
                EXPECT_TRUE(f.Stored(fussy));
                continue;
            }
            // Nothing left the queue: the next step deletes it all, reporting nothing,
            // and so would a reopened store.
            EXPECT_TRUE(f.Pending(root));
            EXPECT_TRUE(f.Writer().IsOnDeletionList(f.m_p));
            std::vector<uint8_t> stored;
            ASSERT_TRUE(ReadElement(f.m_store->GetLss(), f.m_p->GetRoots().GetPendingDeletionsOid().AsSeid(), stored));
            EXPECT_GT(stored.size(), 3u);
            EXPECT_TRUE(f.Writer().DoDeletionStep());
            EXPECT_FALSE(f.Stored(fussy));
            EXPECT_FALSE(f.Stored(root));
            EXPECT_FALSE(f.Pending(root));
            EXPECT_FALSE(f.Writer().DoDeletionStep());
        }
    }
}

// A damaged root whose batch fails to commit goes back with the rest of the batch, so
// that the next batch meets it again and reports it.
TEST(DeletionFailures, ADamagedRootOfAFailedBatchIsReportedByTheNextBatch)
{
    Store f;
    const OID alive = f.Persistent<PNode>(1);
    WriteDirtyObjectsToLss(*f.m_p, false);
    const OID damaged = f.DamagedElement();
    // Subtrees are taken from the back: the damaged one first.
    f.QueueSubTrees({alive, damaged});
    // The live root is being read: its deletion, and so the batch's commit, fails.
    IContiguousSerialElement* reading = f.m_store->GetLss()->GetContiguousSerialElement(alive.AsSeid());
    ASSERT_NE(reading, nullptr);
    try {
        f.Writer().DoDeletionStep();
        ADD_FAILURE() << "the commit did not fail";
    } catch (const DerefDanglingOidException&) {
        ADD_FAILURE() << "reported as if the batch had committed";
    } catch (...) {
    }
    reading->Release();
    EXPECT_TRUE(f.Pending(damaged));
    EXPECT_TRUE(f.Pending(alive));
    try {
        f.Writer().DoDeletionStep();
        ADD_FAILURE() << "the damaged element was not reported";
    } catch (const DerefDanglingOidException& e) {
        EXPECT_EQ(e.GetOid(), damaged);
    }
    EXPECT_FALSE(f.Stored(alive));
    EXPECT_TRUE(f.Stored(damaged));
    EXPECT_FALSE(f.Pending(damaged));
    EXPECT_FALSE(f.Writer().DoDeletionStep());
}

// The writer thread meets a damaged element: the next client write-back reports it
// after writing, later ones do not, and closing the store reports no failure. A passing
// failure on the thread is tried again and reported to no one.
TEST(DeletionFailures, TheWriterThreadReportsADamagedElementOnceToTheNextWriteBack)
{
    Watchdog dog;
    Store f;
    const OID node = f.Persistent<PNode>(1);
    const OID fussy = f.Persistent<PFussyNode>(2);
    WriteDirtyObjectsToLss(*f.m_p, false);
    f.Reopen();
    f.m_store->SetDosPeriod(1);

    // A passing failure: the OID stays queued and the thread deletes it later.
    f.QueueSubTrees({fussy});
    g_nextLoadFault.store(Fault::RuntimeError);
    f.m_store->StartObjectDeletion();
    YieldUntil([&] { return !f.Stored(fussy); });
    EXPECT_EQ(g_nextLoadFault.load(), Fault::None);
    EXPECT_FALSE(f.Writer().HasUnreportedDamage());
    EXPECT_FALSE(f.Writer().GetRecordedFailure());

    auto change = [&](uint32_t value) {
        ThreadSpaces ts(f.m_p);
        Txn txn;
        auto* n = static_cast<PNode*>(f.m_p->BindObject(node).m_object);
        SetValue(n, value);
        MarkPersistentAsDirtyWithoutTrace(n->AsAny());
    };
    auto storedValue = [&] {
        std::vector<uint8_t> b;
        EXPECT_TRUE(ReadElement(f.m_store->GetLss(), node.AsSeid(), b));
        IPersistablePtr p;
        ReadPersistentObject(InputOf(b), f.m_p->GetSchema(), false, p);
        const uint32_t v = static_cast<PNode*>(p.m_object)->m_value;
        p.Object().Destroy(p.m_object);
        return v;
    };
    // Damaged elements, each reported to one caller: a space's write-back, the store's.
    const std::function<void()> writeBacks[] = {[&] { WriteDirtyObjectsToLss(*f.m_p, false); },
                                                [&] { f.m_store->WriteAllDirtyObjectsToLss(false); }};
    uint32_t value = 10;
    for (const std::function<void()>& writeBack : writeBacks) {
        const OID damaged = f.DamagedElement();
        f.QueueSubTrees({damaged}, false);
        YieldUntil([&] { return f.Writer().HasUnreportedDamage(); });
        change(++value);
        try {
            writeBack();
            ADD_FAILURE() << "not reported";
        } catch (const DerefDanglingOidException& e) {
            EXPECT_EQ(e.GetOid(), damaged);
        }
        EXPECT_EQ(storedValue(), value);
        for (int i = 0; i < 5; ++i) {
            change(++value);
            EXPECT_NO_THROW(writeBack());
            EXPECT_EQ(storedValue(), value);
        }
        EXPECT_TRUE(f.Stored(damaged));
        EXPECT_FALSE(f.Pending(damaged));
    }
    // Damaged elements met before a write-back, two in two batches and then two in one:
    // each is reported once, in the order met, to one write-back of its own.
    std::vector<OID> met;
    for (int batch = 0; batch < 2; ++batch) {
        met.push_back(f.DamagedElement());
        f.QueueSubTrees({met.back()}, false);
        YieldUntil([&] { return f.Writer().GetNumUnreportedDamage() == int32_t(met.size()); });
    }
    const OID third = f.DamagedElement();
    const OID fourth = f.DamagedElement();
    f.QueueSubTrees({third, fourth}, false);
    YieldUntil([&] { return f.Writer().GetNumUnreportedDamage() == 4; });
    // Subtrees are taken from the back.
    met.push_back(fourth);
    met.push_back(third);
    for (const OID& damaged : met) {
        try {
            f.m_store->WriteAllDirtyObjectsToLss(false);
            ADD_FAILURE() << "not reported";
        } catch (const DerefDanglingOidException& e) {
            EXPECT_EQ(e.GetOid(), damaged);
        }
    }
    EXPECT_NO_THROW(f.m_store->WriteAllDirtyObjectsToLss(false));

    // One more, never taken by a write-back: closing does not report it either.
    f.QueueSubTrees({f.DamagedElement()}, false);
    YieldUntil([&] { return f.Writer().HasUnreportedDamage(); });
    EXPECT_FALSE(f.Writer().GetRecordedFailure());
    std::exception_ptr failure;
    EXPECT_TRUE(f.m_store->CloseReporting(&failure));
    EXPECT_FALSE(failure);
    f.m_store = nullptr;
}
