// The reflected methods of PSpace and PersistStoreTxn: found by name with their
// parameter names, and called through their records.
#include "StoreTestUtil.h"
#include "vnPersistStore/PersistModule.h"
#include "vnPersistStore/TypeOpsTable.h"
#include "vnReflection/BasicTypeOps.h"
#include "vnReflection/Registry.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

using namespace vorn;
using namespace vorn::test;

namespace {

const dsTargetConfig kConfigs[] = {{"Release 0.0", 0x180807D8u, nullptr}};
const dsTarget kTarget = {"Vorn/Test/vnPersistStore/methods", 0, nullptr, 1, kConfigs};

const ReflectedClass* RegisteredClass(const char* name)
{
    RegisterPersistModule(CreateProgramModule(kTarget));
    return FindReflectedClass(SubString8(name));
}

// "Name(arg, arg)" per method, in record order.
std::vector<std::string> Signatures(const ReflectedClass* rc)
{
    std::vector<std::string> out;
    for (int32_t i = 0; i < rc->GetNumMethods(); ++i) {
        const ReflectedClassMethod* m = rc->GetMethod(i);
        std::string s = std::string(m->GetName()) + "(";
        for (int32_t a = 0; a < m->GetNumArgs(); ++a) s += std::string(a ? ", " : "") + m->GetArg(a)->GetName();
        out.push_back(s + ")");
        EXPECT_NE(m->m_address, nullptr) << s;
    }
    return out;
}

const ReflectedClassMethod* Method(const ReflectedClass* rc, const char* name)
{
    for (int32_t i = 0; i < rc->GetNumMethods(); ++i)
        if (std::strcmp(rc->GetMethod(i)->GetName(), name) == 0) return rc->GetMethod(i);
    ADD_FAILURE() << "no method " << name;
    return nullptr;
}

TEST(ReflectedSpaceMethods, PSpaceAndTxnMethodsInInterfaceOrderWithTheirParameterNames)
{
    const ReflectedClass* space = RegisteredClass("vorn::PSpace");
    ASSERT_NE(space, nullptr);
    EXPECT_EQ(Signatures(space),
              (std::vector<std::string>{"Close()", "GetCSpace()", "GetPersistStore()", "GetName()",
                                        "WriteDirtyObjectsToLss(flushToDisk)",
                                        "MarkPersistableAsDirtyWithoutTrace(object)", "BindObject(oid)",
                                        "TryBindObject(oid)", "BindObjectIfMemoryResident(oid)",
                                        "MakeMemoryResident(oid)", "AsyncBind(oid)",
                                        "MakeObjectPersist(affiliateOidLow, object)", "GetOidHighForOidAllocations()",
                                        "SetOidHighForOidAllocations(oidHigh, useIncrementalOidAllocations)",
                                        "MakeObjectPersistWithGivenOID(object, oid, trace)",
                                        "DeclareReachable(parent, child, trace)", "MakeReachableObjectsPersist(object)",
                                        "GetRoot(name)", "AddRoot(name, root)", "RemoveRoot(name)",
                                        "AsyncPermanentlyDeleteSubTree(object)", "AsyncPermanentlyDeleteObject(object)",
                                        "SyncPermanentlyDeleteSubTree(object)", "SyncPermanentlyDeleteObject(object)"}));

    const ReflectedClass* txn = RegisteredClass("vorn::PersistStoreTxn");
    ASSERT_NE(txn, nullptr);
    EXPECT_EQ(Signatures(txn), (std::vector<std::string>{"Close()", "GetPersistStore()",
                                                         "OpenPSpace(name, openMode, createdNew, cspace)",
                                                         "TransferPSpace(destination, source)", "DestroyPSpace()"}));
}

// Calls through the records reach the space's and the transaction's own operations.
TEST(ReflectedSpaceMethods, CallsThroughTheRecords)
{
    const ReflectedClass* rs = RegisteredClass("vorn::PSpace");
    const ReflectedClass* rt = RegisteredClass("vorn::PersistStoreTxn");
    ASSERT_NE(rs, nullptr);
    ASSERT_NE(rt, nullptr);
    auto bytes = std::make_shared<SharedBytes>();
    PersistStore* store = OpenStoreOn(bytes, QuietStoreSettings());
    PSpace* space = OpenPSpace(store, "Pictures", nullptr);

    const char* name = nullptr;
    Method(rs, "GetName")->m_address(space, &name, nullptr);
    EXPECT_STREQ(name, "Pictures");
    PersistStore* owner = nullptr;
    Method(rs, "GetPersistStore")->m_address(space, &owner, nullptr);
    EXPECT_EQ(owner, store);

    OidHigh high = 0x01010177u;
    bool incremental = true;
    void* setArgs[] = {&high, &incremental};
    Method(rs, "SetOidHighForOidAllocations")->m_address(space, nullptr, setArgs);
    OidHigh got = 0;
    Method(rs, "GetOidHighForOidAllocations")->m_address(space, &got, nullptr);
    EXPECT_EQ(got, high);
    high = store->GetSeidHigh();
    incremental = false;
    Method(rs, "SetOidHighForOidAllocations")->m_address(space, nullptr, setArgs);

    {
        ThreadSpaces ts(space);
        Txn txn;
        PNode* parent = NewNodeIn(space->GetCSpace(), 1);
        PNode* child = NewNodeIn(space->GetCSpace(), 2);
        OidLow affiliate = 0x01010101u;
        IPersistablePtr p = parent->AsPersistable();
        void* persistArgs[] = {&affiliate, &p};
        Method(rs, "MakeObjectPersist")->m_address(space, nullptr, persistArgs);
        ASSERT_FALSE(parent->m_pos.m_oid.IsNull());

        IPersistablePtr c = child->AsPersistable();
        bool trace = false;
        void* declareArgs[] = {&p, &c, &trace};
        Method(rs, "DeclareReachable")->m_address(space, nullptr, declareArgs);
        EXPECT_FALSE(child->m_pos.m_oid.IsNull());

        child->m_pos.m_flags &= ~uint32_t(POS_DIRTY);
        space->GetWriteState().m_dirty.Take(); // as after a write: the child is clean
        void* objectArgs[] = {&c};
        Method(rs, "MarkPersistableAsDirtyWithoutTrace")->m_address(space, nullptr, objectArgs);
        EXPECT_TRUE(child->m_pos.m_flags & POS_DIRTY);
        Method(rs, "SyncPermanentlyDeleteObject")->m_address(space, nullptr, objectArgs);
        EXPECT_TRUE(child->m_pos.m_flags & POS_DELETED);
    }

    // A transaction opened on the store enters no lock; one it opens a space with is
    // entered by the transaction and left by its Close.
    PersistStoreTxn* t = store->OpenTxn(nullptr, 0);
    owner = nullptr;
    Method(rt, "GetPersistStore")->m_address(t, &owner, nullptr);
    EXPECT_EQ(owner, store);
    const char* qName = "Q";
    EOpenMode mode = OM_OPEN_ALWAYS;
    bool createdNew = false;
    bool* createdOut = &createdNew;
    CSpace* cspace = nullptr;
    void* openArgs[] = {&qName, &mode, &createdOut, &cspace};
    PSpace* q = nullptr;
    Method(rt, "OpenPSpace")->m_address(t, &q, openArgs);
    ASSERT_NE(q, nullptr);
    EXPECT_TRUE(createdNew);
    bool destroyed = true;
    Method(rt, "DestroyPSpace")->m_address(t, &destroyed, nullptr);
    EXPECT_FALSE(destroyed);
    Method(rt, "Close")->m_address(t, nullptr, nullptr);

    // Closing "Q" writes it, so the stored registry names it (and not yet "P").
    Method(rs, "Close")->m_address(q, nullptr, nullptr);
    std::vector<uint8_t> registry;
    ASSERT_TRUE(ReadElement(store->GetLss(), Seid(kRegistryElementLow, kStoreElementsHigh), registry));
    std::vector<uint8_t> expected = Bytes({1, 1});
    AppendName(expected, "Q");
    ASSERT_GE(registry.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), registry.begin()));
    store->Close();
}

// The pair a type-operations id stands for is a registered struct that copies as a
// plain pair.
TEST(ReflectedSpaceMethods, BcTypeOpsIsARegisteredPlainPair)
{
    const ReflectedClass* rc = RegisteredClass("vorn::BcTypeOps");
    ASSERT_NE(rc, nullptr);
    EXPECT_EQ(rc->m_typeOps.m_size, int32_t(sizeof(BcTypeOps)));
    ASSERT_NE(rc->m_typeOps.m_copyConstructN, nullptr);

    TypeOpsTable table;
    const uint8_t int32Code[] = {FT_INT32};
    const TypeOpsId id = table.GetTypeOpsId(ReflectionByteCodeValue(ReflectionByteCode(int32Code, nullptr))).m_id;
    const BcTypeOps got = table.GetTypeOps(id);
    ASSERT_NE(got.m_type, nullptr);
    EXPECT_EQ(got.m_ops, GetBasicTypeOps(ReflectionByteCode(int32Code, nullptr)));
    BcTypeOps copy{};
    rc->m_typeOps.m_copyConstructN(&copy, sizeof copy, &got, sizeof got, 1);
    EXPECT_EQ(copy.m_type, got.m_type);
    EXPECT_EQ(copy.m_ops, got.m_ops);
}

} // namespace
