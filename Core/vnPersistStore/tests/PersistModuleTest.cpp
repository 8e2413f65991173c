#include "vnPersistStore/PSpace.h"
#include "vnPersistStore/PersistModule.h"
#include "vnPersistStore/PersistStore.h"
#include "vnReflection/NameSpace.h"
#include "vnReflection/Registry.h"
#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include <vector>

using namespace vorn;

namespace {

const dsTargetConfig kConfigs[] = {{"Release 0.0", 0x180807D8u, nullptr}};
const dsTarget kTarget = {"Vorn/Test/vnPersistStore", 0, nullptr, 1, kConfigs};

XTarget& RegisteredModule()
{
    XTarget& module = CreateProgramModule(kTarget);
    RegisterPersistModule(module);
    return module;
}

int32_t IndexInModule(const XTarget& module, ENSType kind, const void* record)
{
    for (int32_t i = 0; i < module.GetNumRegistered(kind); ++i)
        if (module.GetRegistered(kind, i) == record) return i;
    return -1;
}

std::vector<ReflectedItemEntry> AllItems()
{
    std::vector<ReflectedItemEntry> all;
    for (const ReflectedItemTable& t : {GetBPlusTreeItems(), GetPersistModuleItems()})
        all.insert(all.end(), t.m_items, t.m_items + t.m_count);
    return all;
}

// Every item is in the root name space, the registry of its kind and the module's list,
// after the core items and in the module's order; a second run adds nothing.
TEST(PersistModule, RegistersEveryItemOnceInOrder)
{
    XTarget& module = RegisteredModule();
    int32_t counts[NST_GlobalFunction + 1] = {};
    for (int32_t k = NST_Interface; k <= NST_GlobalFunction; ++k) counts[k] = module.GetNumRegistered(ENSType(k));
    RegisterPersistModule(module);
    for (int32_t k = NST_Interface; k <= NST_GlobalFunction; ++k)
        EXPECT_EQ(module.GetNumRegistered(ENSType(k)), counts[k]) << "kind " << k;

    const std::vector<ReflectedItemEntry> all = AllItems();
    EXPECT_STREQ(all.front().GetName(), "vorn::BPlusTree");
    EXPECT_STREQ(all.back().GetName(), "vorn::TypeOpsId");

    // The core group (with the object-space items) came first.
    const int32_t cspace = IndexInModule(module, NST_Class, FindReflectedClass("vorn::CSpace"));
    ASSERT_GE(cspace, 0);
    int32_t last[NST_GlobalFunction + 1];
    for (int32_t& l : last) l = -1;
    last[NST_Class] = cspace;

    NameSpace* root = GetTheRootNameSpace();
    ASSERT_NE(root, nullptr);
    for (const ReflectedItemEntry& e : all) {
        SCOPED_TRACE(e.GetName());
        NameSpaceElement found;
        ASSERT_EQ(root->FindElementWithRelativePath(SubString8(e.GetName()), found), NSE_OK);
        EXPECT_EQ(found.m_type, e.m_kind);
        EXPECT_EQ(found.m_record, e.GetRecord());
        EXPECT_EQ(FindReflectedItem(SubString8(e.GetName()), GetReflectedItemRegistry(e.m_kind)), e.GetRecord());
        const int32_t at = IndexInModule(module, e.m_kind, e.GetRecord());
        EXPECT_GT(at, last[e.m_kind]);
        last[e.m_kind] = at;
    }
}

// The kinds the persistence module gives its items, and the parameter names its records
// carry.
TEST(PersistModule, ItemsHaveTheirKindsAndParameterNames)
{
    RegisteredModule();
    for (const char* name : {"vorn::PSpace", "vorn::PersistStore", "vorn::PersistStoreTxn", "vorn::OID", "vorn::Goid",
                             "vorn::OidSpaceMap", "vorn::PersistStoreSettings", "vorn::LssSettings",
                             "vorn::PersistObjState", "vorn::LeafNode"})
        EXPECT_NE(FindReflectedClass(SubString8(name)), nullptr) << name;
    for (const char* name : {"vorn::OidHigh", "vorn::OidLow", "vorn::SeidHigh", "vorn::SeidLow", "vorn::OidSpaceGuid",
                             "vorn::TypeOpsId"})
        EXPECT_NE(FindReflectedItem(SubString8(name), GetReflectedItemRegistry(NST_Typedef)), nullptr) << name;
    for (const char* name : {"vorn::EOpenMode", "vorn::PSpaceLockMode"})
        EXPECT_NE(FindReflectedItem(SubString8(name), GetReflectedItemRegistry(NST_Enum)), nullptr) << name;
    for (const char* name : {"vorn::IPersistable", "vorn::IPrefVisitor"})
        EXPECT_NE(FindReflectedItem(SubString8(name), GetReflectedItemRegistry(NST_Interface)), nullptr) << name;

    const ReflectedGlobalFunction* open = FindReflectedGlobalFunction("vorn::OpenPersistStore");
    ASSERT_NE(open, nullptr);
    ASSERT_EQ(open->GetNumArgs(), 3);
    EXPECT_STREQ(open->GetArg(0)->GetName(), "lssPath");
    EXPECT_STREQ(open->GetArg(1)->GetName(), "openMode");

    const ReflectedClass* store = FindReflectedClass("vorn::PersistStore");
    ASSERT_NE(store, nullptr);
    std::vector<std::string> argNames;
    for (int32_t i = 0; i < store->GetNumMethods(); ++i) {
        const ReflectedClassMethod* m = store->GetMethod(i);
        for (int32_t a = 0; a < m->m_numArgs; ++a)
            if (m->m_args[a].m_name[0] != '\0') argNames.push_back(m->m_args[a].m_name);
    }
    EXPECT_EQ(argNames, (std::vector<std::string>{"flushToDisk", "time", "rbcv", "typeOps"}));

    const ReflectedClass* settings = FindReflectedClass("vorn::PersistStoreSettings");
    ASSERT_NE(settings, nullptr);
    ASSERT_EQ(settings->GetNumFields(), 4);
    EXPECT_STREQ(settings->GetField(3)->GetName(), "startObjectDeletion");
    EXPECT_EQ(settings->GetField(3)->GetOffset(), int32_t(offsetof(PersistStoreSettings, startObjectDeletion)));
}

// The records call the functions they name.
TEST(PersistModule, GlobalFunctionsReachTheirFunctions)
{
    RegisteredModule();
    const ReflectedGlobalFunction* set = FindReflectedGlobalFunction("vorn::SetThreadPSpace");
    const ReflectedGlobalFunction* get = FindReflectedGlobalFunction("vorn::GetThreadPSpace");
    ASSERT_NE(set, nullptr);
    ASSERT_NE(get, nullptr);
    alignas(PSpace) unsigned char storage[sizeof(PSpace)];
    PSpace* marker = reinterpret_cast<PSpace*>(storage);
    RestoreThreadPSpace restore;
    void* args[] = {&marker};
    set->m_address(nullptr, args);
    PSpace* got = nullptr;
    get->m_address(&got, nullptr);
    EXPECT_EQ(got, marker);
    EXPECT_EQ(GetThreadPSpace(), marker);
}

} // namespace
