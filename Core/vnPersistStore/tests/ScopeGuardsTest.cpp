// The scope guards of a thread's persistent space and of an open store: what they close,
// what they put back, and how they behave when an exception passes or the close fails.
#include "StoreTestUtil.h"
#include "vnPersistStore/PersistStorePtr.h"
#include "vnPersistStore/ThreadPSpaceGuard.h"
#include <gtest/gtest.h>
#include <stdexcept>

using namespace vorn;
using namespace vorn::test;

namespace {

const Seid kRegistrySeid(kRegistryElementLow, kStoreElementsHigh);

// A leaf whose stored form cannot be written.
class PUnwritable : public PLeaf {
public:
    static const ReflectedClass s_class;
    AnyInterface QueryInterface(const ReflectedInterface& ri) { return QueryPersistableInterface(this, ri); }
    const ReflectedClass* GetReflectedClass() const { return &s_class; }
    void OnGarbageCollect() { OnGarbageCollectPersistable(AsAny()); }
    void DestroyObject() { delete this; }
    void Serialise(Archive&) const { throw ProgrammingErrorException("unwritable"); }
    AnyInterface AsAny() { return AnyInterface{this, &kPersistableTableOf<PUnwritable>}; }
};
const ReflectedClass PUnwritable::s_class =
    MakeClassRecord("vorn::test::PUnwritable", sizeof(PUnwritable), &NewPersistableFactory<PUnwritable>);

// The space's registry entry reaches the store only when the space is first written,
// which closing the space does.
bool RegistryNamesASpace(PersistStore* store)
{
    std::vector<uint8_t> b;
    EXPECT_TRUE(ReadElement(store->GetLss(), kRegistrySeid, b));
    return b != Bytes({1, 0});
}

// Adds a root "R" to the thread's space that makes the next write of the space fail.
void AddUnwritableRoot()
{
    Txn txn;
    auto* o = new PUnwritable;
    GetThreadCSpace()->RegisterGcObject(o->AsAny());
    ASSERT_TRUE(AddPSpaceRoot("R", o->AsAny()));
}

struct Failure {};

// The guard makes the space current while it lives; on leaving, normally or by an
// exception, it closes the space and puts the thread's previous spaces back.
TEST(ThreadPSpaceGuard, ClosesTheSpaceAndRestoresBothSlotsOnEveryExit)
{
    auto bytes = std::make_shared<SharedBytes>();
    PersistStore* store = OpenStoreOn(bytes, QuietStoreSettings());
    PSpace* outer = OpenPSpace(store, "Q", nullptr);
    ThreadSpaces previous(outer);

    {
        PSpace* p = OpenPSpace(store, "P", nullptr);
        ThreadPSpaceGuard guard(p);
        EXPECT_EQ(guard.Get(), p);
        EXPECT_EQ(GetThreadPSpace(), p);
        EXPECT_EQ(GetThreadCSpace(), p->GetCSpace());
        EXPECT_FALSE(RegistryNamesASpace(store));
    }
    EXPECT_TRUE(RegistryNamesASpace(store));
    EXPECT_EQ(GetThreadPSpace(), outer);
    EXPECT_EQ(GetThreadCSpace(), outer->GetCSpace());

    try {
        ThreadPSpaceGuard guard(OpenPSpace(store, "S", nullptr));
        EXPECT_NE(GetThreadPSpace(), outer);
        throw Failure{};
    } catch (const Failure&) {
    }
    EXPECT_EQ(GetThreadPSpace(), outer);
    EXPECT_EQ(GetThreadCSpace(), outer->GetCSpace());
    // "S" was closed and so written: the stored registry names "P" and "S", not yet "Q".
    std::vector<uint8_t> registry;
    ASSERT_TRUE(ReadElement(store->GetLss(), kRegistrySeid, registry));
    ASSERT_GE(registry.size(), 2u);
    EXPECT_EQ(registry[1], 2);

    // Closed early, the guard does nothing more when it is left: spaces made current
    // after the close stay current.
    {
        ThreadPSpaceGuard guard(OpenPSpace(store, "T", nullptr));
        guard.Close();
        EXPECT_EQ(GetThreadPSpace(), outer);
        SetThreadPSpace(nullptr);
        SetThreadCSpace(nullptr);
    }
    EXPECT_EQ(GetThreadPSpace(), nullptr);
    EXPECT_EQ(GetThreadCSpace(), nullptr);
    SetThreadPSpace(outer);
    SetThreadCSpace(outer->GetCSpace());
    store->Close();
}

// A close that fails still puts the thread's spaces back: the failure comes out of the
// guard when nothing else is passing, and is dropped when an exception is.
TEST(ThreadPSpaceGuard, RestoresTheSlotsWhenTheCloseThrows)
{
    RegisterTestClasses();
    auto bytes = std::make_shared<SharedBytes>();
    PersistStore* store = OpenStoreOn(bytes, QuietStoreSettings());
    PSpace* outer = OpenPSpace(store, "Q", nullptr);
    ThreadSpaces previous(outer);

    EXPECT_THROW(
        {
            ThreadPSpaceGuard guard(OpenPSpace(store, "P", nullptr));
            AddUnwritableRoot();
        },
        ProgrammingErrorException);
    EXPECT_EQ(GetThreadPSpace(), outer);
    EXPECT_EQ(GetThreadCSpace(), outer->GetCSpace());

    EXPECT_THROW(
        {
            ThreadPSpaceGuard guard(OpenPSpace(store, "S", nullptr));
            AddUnwritableRoot();
            throw Failure{};
        },
        Failure);
    EXPECT_EQ(GetThreadPSpace(), outer);
    EXPECT_EQ(GetThreadCSpace(), outer->GetCSpace());

    // An explicit Close reports the failure; the guard's destructor then does nothing.
    {
        ThreadPSpaceGuard guard(OpenPSpace(store, "T", nullptr));
        AddUnwritableRoot();
        EXPECT_THROW(guard.Close(), ProgrammingErrorException);
        EXPECT_EQ(GetThreadPSpace(), outer);
        EXPECT_EQ(guard.Get(), nullptr);
    }
    store->CloseReporting(nullptr);
}

// The pointer closes the store it holds when the scope is left (which closes the spaces
// still open and writes them), and not one that it gave up.
TEST(PersistStorePtr, ClosesTheStoreItHoldsOnLeaving)
{
    auto bytes = std::make_shared<SharedBytes>();
    {
        PersistStorePtr store(OpenStoreOn(bytes, QuietStoreSettings()));
        ASSERT_TRUE(store);
        OpenPSpace(store.Get(), "P", nullptr);
    }
    PersistStore* reopened = OpenStoreOn(bytes, QuietStoreSettings());
    EXPECT_EQ(reopened->GetNumPSpaces(), 1);

    PersistStore* released = nullptr;
    {
        PersistStorePtr store(reopened);
        released = store.Release();
        EXPECT_FALSE(store);
    }
    EXPECT_EQ(released, reopened);
    OpenPSpace(released, "Q", nullptr); // still open: usable
    {
        // A move leaves the source empty: the store is closed once, by the target.
        PersistStorePtr source(released);
        PersistStorePtr target(std::move(source));
        EXPECT_FALSE(source);
        EXPECT_EQ(target.Get(), released);
        if (source) source.Release();
    }

    try {
        PersistStorePtr store(OpenStoreOn(bytes, QuietStoreSettings()));
        OpenPSpace(store.Get(), "S", nullptr);
        throw Failure{};
    } catch (const Failure&) {
    }
    reopened = OpenStoreOn(bytes, QuietStoreSettings());
    EXPECT_EQ(reopened->GetNumPSpaces(), 3);
    reopened->Close();
}

// A failing close comes out of the pointer unless an exception is already passing, in
// which case that exception goes on; either way the pointer is empty afterwards.
TEST(PersistStorePtr, ReportsAFailingCloseOnlyWhenNothingElseIsPassing)
{
    RegisterTestClasses();
    auto bytes = std::make_shared<SharedBytes>();
    auto openWithUnwritableSpace = [&] {
        PersistStore* store = OpenStoreOn(bytes, QuietStoreSettings());
        PSpace* p = OpenPSpace(store, "P", nullptr);
        ThreadSpaces ts(p);
        AddUnwritableRoot();
        return store;
    };

    PersistStorePtr store(openWithUnwritableSpace());
    EXPECT_THROW(store.Close(), ProgrammingErrorException);
    EXPECT_FALSE(store);
    store.Close(); // nothing held: nothing happens

    EXPECT_THROW({ PersistStorePtr scoped(openWithUnwritableSpace()); }, ProgrammingErrorException);
    EXPECT_THROW(
        {
            PersistStorePtr scoped(openWithUnwritableSpace());
            throw Failure{};
        },
        Failure);
}

} // namespace
