// The persistent store: its stored forms byte for byte, opening and closing spaces in
// every mode, reopening what was written, and the failures of opening.
#include "StoreTestUtil.h"
#include "vnPersistStore/PersistExceptions.h"
#include <gtest/gtest.h>

using namespace vorn;
using namespace vorn::test;

namespace {

const Seid kSchemaSeid(kSchemaElementLow, kStoreElementsHigh);
const Seid kRegistrySeid(kRegistryElementLow, kStoreElementsHigh);

std::vector<uint8_t> Element(PersistStore* store, Seid seid)
{
    std::vector<uint8_t> b;
    EXPECT_TRUE(ReadElement(store->GetLss(), seid, b)) << "missing element " << seid.m_high << "." << seid.m_low;
    return b;
}

// A chain root -> c1 -> c2 -> c3 built as the builder builds: the root added under
// "R", each child attached to a persistent parent through its pref.
void BuildChain(PSpace* space, int length, uint32_t base)
{
    ThreadSpaces ts(space);
    Txn txn;
    PNode* root = NewNodeIn(space->GetCSpace(), base);
    ASSERT_TRUE(space->AddRoot("R", root->AsAny()));
    PNode* parent = root;
    for (int i = 1; i < length; ++i) {
        PNode* child = NewNodeIn(space->GetCSpace(), base + uint32_t(i), size_t(i) * 10);
        SetChild(parent, pref(child->AsPersistable()));
        parent = child;
    }
}

// The values along the chain under "R".
std::vector<uint32_t> ReadChain(PSpace* space)
{
    ThreadSpaces ts(space);
    Txn txn;
    std::vector<uint32_t> values;
    IPersistablePtr p = space->GetRoot("R");
    while (!p.IsNull()) {
        auto* n = static_cast<PNode*>(p.m_object);
        values.push_back(n->m_value);
        EXPECT_EQ(n->m_payload.size(), size_t(values.size() - 1) * 10);
        p = n->m_child.Get();
    }
    return values;
}

} // namespace

TEST(PersistStoreForms, NewStoreHoldsTheSchemaAndAnEmptyRegistry)
{
    auto bytes = std::make_shared<SharedBytes>();
    PersistStore* store = OpenStoreOn(bytes, QuietStoreSettings());
    // Schema 2, an empty class-id map, the store's seid-high raw, an empty table.
    EXPECT_EQ(Element(store, kSchemaSeid), Bytes({2, 1, 0, 1, 1, 1, 1, 1, 0}));
    EXPECT_EQ(Element(store, kRegistrySeid), Bytes({1, 0}));
    EXPECT_EQ(store->GetSeidHigh(), kSeidCounterStart);
    EXPECT_EQ(store->GetNumPSpaces(), 0);
    EXPECT_EQ(store->GetNumPersistableObjects(), 0);
    store->Close();
}

TEST(PersistStoreForms, ElementsAfterABuildLikeWorkloadAndReopen)
{
    auto bytes = std::make_shared<SharedBytes>();
    PersistStore* store = OpenStoreOn(bytes, QuietStoreSettings(true));
    bool created = false;
    PSpace* space = OpenPSpace(store, "P", nullptr);
    (void)created;
    const OID spaceOid = space->GetRoots().GetOwnOid();
    const OID pendingOid = space->GetRoots().GetPendingDeletionsOid();
    // The space's elements lie next to the store's own, the deletions next to the roots.
    EXPECT_EQ(spaceOid, OID(0x01010103u, kSeidCounterStart));
    EXPECT_EQ(pendingOid, OID(0x01010104u, kSeidCounterStart));
    // Not yet written: the registry entry is not persisted.
    EXPECT_EQ(Element(store, kRegistrySeid), Bytes({1, 0}));

    BuildChain(space, 4, 100);
    OID rootOid;
    {
        ThreadSpaces ts(space);
        Txn txn;
        rootOid = GetOid(space->GetRoot("R").Any());
    }
    store->ClosePSpace(space);

    std::vector<uint8_t> registry = Bytes({1, 1});
    AppendName(registry, "P");
    AppendOid(registry, spaceOid);
    EXPECT_EQ(Element(store, kRegistrySeid), registry);
    std::vector<uint8_t> roots = Bytes({1, 1});
    AppendName(roots, "R");
    AppendOid(roots, rootOid);
    AppendOid(roots, pendingOid);
    EXPECT_EQ(Element(store, spaceOid.AsSeid()), roots);
    EXPECT_EQ(Element(store, pendingOid.AsSeid()), Bytes({1, 0, 0}));
    std::vector<uint8_t> schema = Bytes({2, 1, 1});
    AppendName(schema, "vorn::test::PNode");
    for (int b : {1, 1, 1, 1, 1, 0}) schema.push_back(uint8_t(b));
    EXPECT_EQ(Element(store, kSchemaSeid), schema);
    EXPECT_EQ(store->GetNumPersistableObjects(), 4);
    store->Close();

    store = OpenStoreOn(bytes, QuietStoreSettings(true));
    EXPECT_EQ(store->GetNumPSpaces(), 1);
    space = OpenPSpace(store, "P", nullptr);
    EXPECT_EQ(ReadChain(space), (std::vector<uint32_t>{100, 101, 102, 103}));
    store->Close(); // closes the open space too
}

TEST(PersistStore, OpenModesRepeatedOpensAndClosingWithSpacesOpen)
{
    auto bytes = std::make_shared<SharedBytes>();
    PersistStore* store = OpenStoreOn(bytes, QuietStoreSettings());
    bool created = false;
    EXPECT_THROW(store->OpenPSpace("A", OM_OPEN_EXISTING, &created, nullptr), OpenPSpaceException);
    EXPECT_THROW(store->OpenPSpace("A", OM_DELETE_EXISTING, &created, nullptr), OpenPSpaceException);
    EXPECT_EQ(store->GetNumPSpaces(), 0);
    PSpace* a = store->OpenPSpace("A", OM_CREATE_NEW, &created, nullptr);
    EXPECT_TRUE(created);
    EXPECT_THROW(store->OpenPSpace("A", OM_CREATE_NEW, &created, nullptr), OpenPSpaceException);
    // An open space is returned as it is, never a second copy over its elements.
    EXPECT_EQ(store->OpenPSpace("A", OM_OPEN_ALWAYS, &created, nullptr), a);
    EXPECT_FALSE(created);
    PSpace* b = store->OpenPSpace("B", OM_OPEN_ALWAYS, &created, nullptr);
    EXPECT_NE(a->GetRoots().GetOwnOid(), b->GetRoots().GetOwnOid());
    EXPECT_EQ(store->GetNumPSpaces(), 2);
    BuildChain(a, 2, 7);
    BuildChain(b, 3, 9);
    // Closing the store writes and closes both spaces.
    store->Close();

    store = OpenStoreOn(bytes, QuietStoreSettings());
    EXPECT_THROW(store->OpenPSpace("A", OM_CREATE_NEW, &created, nullptr), OpenPSpaceException);
    a = store->OpenPSpace("A", OM_OPEN_EXISTING, &created, nullptr);
    EXPECT_FALSE(created);
    b = store->OpenPSpace("B", OM_CREATE_ALWAYS, &created, nullptr);
    EXPECT_FALSE(created);
    EXPECT_EQ(ReadChain(a), (std::vector<uint32_t>{7, 8}));
    EXPECT_EQ(ReadChain(b), (std::vector<uint32_t>{9, 10, 11}));
    store->ClosePSpace(a);
    // A closed space opens again from its elements.
    a = store->OpenPSpace("A", OM_OPEN_EXISTING, &created, nullptr);
    EXPECT_EQ(ReadChain(a), (std::vector<uint32_t>{7, 8}));
    store->Close();
}

TEST(PersistStore, MissingStoreElementsAreCorruptAndAFailedOpenStopsItsThreads)
{
    for (const Seid victim : {kSchemaSeid, kRegistrySeid}) {
        auto bytes = std::make_shared<SharedBytes>();
        OpenStoreOn(bytes, QuietStoreSettings())->Close();
        ILogStructuredStore* lss = OpenSharedStore(bytes, SmallSettings(0x4000));
        ILssTransaction* t = lss->OpenTransaction();
        ASSERT_TRUE(t->DeleteSerialElement(victim.m_low, victim.m_high));
        t->Close();
        lss->Close();
        EXPECT_THROW(OpenStoreOn(bytes, QuietStoreSettings(true)), CorruptLSSException);
        // The failed open closed its store: the file opens again (no lock held).
        ILogStructuredStore* again = OpenSharedStore(bytes, SmallSettings(0x4000));
        again->Close();
    }
}

TEST(PersistStore, DamagedRegistryFailsToOpen)
{
    auto bytes = std::make_shared<SharedBytes>();
    OpenStoreOn(bytes, QuietStoreSettings())->Close();
    for (const std::vector<uint8_t>& bad :
         {Bytes({2, 0}), Bytes({1, 5, 1, 'P'}), Bytes({1, 0x7F}), Bytes({1, 1, 9, 'P', 3, 1}), Bytes({1, 2, 1, 'P', 3, 1, 1, 'P', 4, 1})}) {
        ILogStructuredStore* lss = OpenSharedStore(bytes, SmallSettings(0x4000));
        WriteElement(lss, kRegistrySeid, bad);
        lss->Close();
        EXPECT_THROW(OpenStoreOn(bytes, QuietStoreSettings()), DeserialisationException);
    }
}

TEST(PersistStore, TranslationTableRewritesTheSchemaAtOpen)
{
    auto bytes = std::make_shared<SharedBytes>();
    {
        PersistStore* store = OpenStoreOn(bytes, QuietStoreSettings());
        BuildChain(OpenPSpace(store, "P", nullptr), 1, 1);
        store->Close();
    }
    // Rename the stored class, then open with a translation back to the live name.
    ILogStructuredStore* lss = OpenSharedStore(bytes, SmallSettings(0x4000));
    std::vector<uint8_t> schema = Bytes({2, 1, 1});
    AppendName(schema, "old::PNode");
    for (int b : {1, 1, 1, 1, 1, 0}) schema.push_back(uint8_t(b));
    WriteElement(lss, kSchemaSeid, schema);
    lss->Close();

    const ClassNameTranslation tr[] = {{"old::PNode", "vorn::test::PNode"}};
    const ClassNameTranslationTable table{tr, 1};
    PersistStoreSettings s = QuietStoreSettings();
    s.translationTable = &table;
    PersistStore* store = OpenStoreOn(bytes, s);
    std::vector<uint8_t> expected = Bytes({2, 1, 1});
    AppendName(expected, "vorn::test::PNode");
    for (int b : {1, 1, 1, 1, 1, 0}) expected.push_back(uint8_t(b));
    EXPECT_EQ(Element(store, kSchemaSeid), expected);
    EXPECT_EQ(ReadChain(OpenPSpace(store, "P", nullptr)), (std::vector<uint32_t>{1}));
    store->Close();
}

TEST(PersistStore, BootstrapFindsOrCreatesTheRootAndWritingWaitsForTheWriter)
{
    auto bytes = std::make_shared<SharedBytes>();
    PersistStore* store = OpenStoreOn(bytes, QuietStoreSettings(false));
    PSpace* space = OpenPSpace(store, "P", nullptr);
    {
        ThreadSpaces ts(space);
        const AnyInterface r = BootstrapPSpaceRoot(&PNode::s_class, "R");
        ASSERT_NE(r.m_object, nullptr);
        EXPECT_FALSE(GetOid(r).IsNull());
        EXPECT_EQ(BootstrapPSpaceRoot(&PNode::s_class, "R").m_object, r.m_object);
        // A stored root of another class gives null.
        EXPECT_EQ(BootstrapPSpaceRoot(&PLeaf::s_class, "R").m_object, nullptr);
    }
    // Without a running writer, writing all does nothing.
    store->WriteAllDirtyObjectsToLss(true);
    std::vector<uint8_t> b;
    EXPECT_FALSE(ReadElement(store->GetLss(), space->GetRoots().GetOwnOid().AsSeid(), b));
    store->StartObjectDeletion();
    store->WriteAllDirtyObjectsToLss(true);
    EXPECT_TRUE(ReadElement(store->GetLss(), space->GetRoots().GetOwnOid().AsSeid(), b));
    store->Close();
}

TEST(PersistStore, DamagedOrMissingPendingDeletionsFailTheSpaceOpen)
{
    auto bytes = std::make_shared<SharedBytes>();
    PersistStore* store = OpenStoreOn(bytes, QuietStoreSettings());
    PSpace* space = OpenPSpace(store, "P", nullptr);
    const OID pending = space->GetRoots().GetPendingDeletionsOid();
    store->Close();
    for (const std::vector<uint8_t>& bad : {Bytes({2, 0, 0}), Bytes({1, 0x7F, 1}), Bytes({1, 1, 0x00, 1}), Bytes({1, 0, 1, 0}), Bytes({1, 0}), Bytes({})}) {
        ILogStructuredStore* lss = OpenSharedStore(bytes, SmallSettings(0x4000));
        WriteElement(lss, pending.AsSeid(), bad);
        lss->Close();
        store = OpenStoreOn(bytes, QuietStoreSettings());
        bool created = false;
        EXPECT_THROW(store->OpenPSpace("P", OM_OPEN_EXISTING, &created, nullptr), DeserialisationException);
        // The failed open left no half-open space behind: the name opens again later.
        EXPECT_EQ(store->GetNumPSpaces(), 1);
        store->Close();
    }
    ILogStructuredStore* lss = OpenSharedStore(bytes, SmallSettings(0x4000));
    ILssTransaction* t = lss->OpenTransaction();
    t->DeleteSerialElement(pending.m_low, pending.m_high);
    t->Close();
    lss->Close();
    store = OpenStoreOn(bytes, QuietStoreSettings());
    bool created = false;
    EXPECT_THROW(store->OpenPSpace("P", OM_OPEN_EXISTING, &created, nullptr), DerefDanglingOidException);
    store->Close();
}
