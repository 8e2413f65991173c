#include "vnReflection/CoreModule.h"
#include "vnReflection/XTarget.h"
#include "TestModule.h"
#include <gtest/gtest.h>
#include "vnUtils/Trace.h"
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

using namespace vorn;

namespace {

// Unregisters a module record at the end of a test.
struct ModuleGuard {
    XTarget* t;
    explicit ModuleGuard(const dsTarget& d) : t(XTarget::Create(d)) {}
    ~ModuleGuard() { t->Unregister(); }
    XTarget* operator->() const { return t; }
    XTarget& operator*() const { return *t; }
};

const dsTarget kEmptyTarget = {"vnReflectionTest/Empty", 0, nullptr, 0, nullptr};

constexpr ReflectedClass ClassNamed(const char* name)
{
    ReflectedClass rc{};
    rc.m_name = name;
    return rc;
}

TEST(XTarget, AModuleWithNoItemsHasEightEmptyLists)
{
    ModuleGuard m(kEmptyTarget);
    for (int k = NST_Interface; k <= NST_GlobalVariable; ++k) EXPECT_EQ(m->GetNumRegistered(ENSType(k)), 0);
    EXPECT_TRUE(m->GetClassRegistry()->empty());
    EXPECT_EQ(static_cast<const void*>(m->GetClassRegistry()), static_cast<const void*>(m->GetClassRegistry()));
    // The list lives inside the record.
    const char* rec = reinterpret_cast<const char*>(m.t);
    const char* list = reinterpret_cast<const char*>(m->GetClassRegistry());
    EXPECT_GE(list, rec);
    EXPECT_LT(list, rec + sizeof(XTarget));
    EXPECT_STREQ(m->GetdsTarget().m_pathName, "vnReflectionTest/Empty");
}

constexpr ReflectedClass kOrderA = ClassNamed("vnReflectionTest::Order::A");
constexpr ReflectedClass kOrderC = ClassNamed("vnReflectionTest::Order::C");
constexpr ReflectedClass kOrderB = ClassNamed("vnReflectionTest::Order::B");
constexpr ReflectedTypedef kOrderT{"vnReflectionTest::Order::T", nullptr, nullptr};

TEST(XTarget, ModuleListsKeepRegistrationOrderWithoutDuplicates)
{
    ModuleGuard m(kEmptyTarget);
    EXPECT_EQ(m->RegisterItem(NST_Class, &kOrderA), NSE_OK);
    EXPECT_EQ(m->RegisterItem(NST_Class, &kOrderC), NSE_OK);
    EXPECT_EQ(m->RegisterItem(NST_Typedef, &kOrderT), NSE_OK);
    EXPECT_EQ(m->RegisterItem(NST_Class, &kOrderB), NSE_OK);
    // The same record again is a quiet no-op.
    EXPECT_EQ(m->RegisterItem(NST_Class, &kOrderC), NSE_NAME_ALREADY_IN_USE);

    const xvector<const ReflectedClass*>& classes = *m->GetClassRegistry();
    ASSERT_EQ(classes.size(), 3);
    EXPECT_EQ(classes[0], &kOrderA);
    EXPECT_EQ(classes[1], &kOrderC);
    EXPECT_EQ(classes[2], &kOrderB);
    ASSERT_EQ(m->GetNumRegistered(NST_Typedef), 1);
    EXPECT_EQ(m->GetRegistered(NST_Typedef, 0), &kOrderT);
    EXPECT_EQ(m->GetNumRegistered(NST_Enum), 0);

    // One registry entry under the name, in the registry of the kind only.
    EXPECT_EQ(FindReflectedClass("vnReflectionTest::Order::C"), &kOrderC);
    EXPECT_EQ(FindReflectedTypedef("vnReflectionTest::Order::T"), &kOrderT);
    EXPECT_EQ(FindReflectedClass("vnReflectionTest::Order::T"), nullptr);
    EXPECT_FALSE(RegisterReflectedItem("vnReflectionTest::Order::C", GetReflectedClassRegistry(), &kOrderA));
    EXPECT_EQ(FindReflectedClass("vnReflectionTest::Order::C"), &kOrderC);
}

constexpr ReflectedClass kBadName1 = ClassNamed("vnReflectionTest::bad name");
constexpr ReflectedClass kBadName2 = ClassNamed("vnReflectionTest::");
constexpr ReflectedClass kTakenFirst = ClassNamed("vnReflectionTest::Taken");
constexpr ReflectedClass kTakenSecond = ClassNamed("vnReflectionTest::Taken");

std::string ReadFile(const std::string& path)
{
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
        std::fclose(f);
    }
    return text;
}

// Registers the record with the trace going to path; returns the registration's code.
ENameSpaceError RegisterTraced(XTarget& m, const ReflectedClass* record, const std::string& path)
{
    GetLogSink()->Open(xstring(path.c_str()));
    const ENameSpaceError e = m.RegisterItem(NST_Class, record);
    CloseLogSink();
    return e;
}

TEST(XTargetDeathTest, AFailedRegistrationIsTracedAndAsserted)
{
    // The forking style: the child writes the trace file this process then reads.
    GTEST_FLAG_SET(death_test_style, "fast");
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("vnReflectionTest." + std::to_string(std::random_device{}()));
    ASSERT_TRUE(fs::create_directory(dir));
    const std::string path = (dir / "trace.txt").string();
    ModuleGuard m(kEmptyTarget);
    ASSERT_EQ(m->RegisterItem(NST_Class, &kTakenFirst), NSE_OK);

    EXPECT_DEBUG_DEATH(EXPECT_EQ(RegisterTraced(*m, &kBadName1, path), NSE_COLON_EXPECTED),
                       "");
    EXPECT_NE(ReadFile(path).find("Registration of reflected item \"vnReflectionTest::bad name\" (kind 2) failed : "
                                  "NSE_COLON_EXPECTED"),
              std::string::npos);
    EXPECT_DEBUG_DEATH(EXPECT_EQ(RegisterTraced(*m, &kBadName2, path), NSE_IDENTIFIER_EXPECTED),
                       "");
    EXPECT_NE(ReadFile(path).find("NSE_IDENTIFIER_EXPECTED"), std::string::npos);
#ifndef NDEBUG
    EXPECT_NE(ReadFile(path).find("Assertion failure : vnAssert(e == NSE_OK)"), std::string::npos);
#endif
    EXPECT_DEBUG_DEATH(EXPECT_EQ(RegisterTraced(*m, &kTakenSecond, path), NSE_NAME_ALREADY_IN_USE),
                       "");
    EXPECT_NE(ReadFile(path).find("\"vnReflectionTest::Taken\" (kind 2) failed : NSE_NAME_ALREADY_IN_USE"),
              std::string::npos);

    // Whatever the build, the failed items went nowhere.
    EXPECT_EQ(FindReflectedClass("vnReflectionTest::Taken"), &kTakenFirst);
    EXPECT_EQ(FindReflectedClass("vnReflectionTest::bad name"), nullptr);
    ASSERT_EQ(m->GetNumRegistered(NST_Class), 1);
    fs::remove_all(dir);
}

// Every item of every table is found under its name, kind and record: in the root name
// space, in the registry of its kind and in the module's list.
TEST(XTarget, EveryTableItemIsRegisteredUnderItsNameKindAndRecord)
{
    XTarget& module = test::TestModule();
    ReflectedItemEntry coord = CoordTypedefEntry();
    module.RegisterItem(coord.m_kind, coord.GetRecord());
    const ReflectedItemTable tables[] = {GetCoreModuleItems(), GetGeometryItems(), GetAmbientResourceItems(),
                                         ReflectedItemTable{&coord, 1}};
    int total = 0;
    for (const ReflectedItemTable& table : tables) {
        for (int32_t i = 0; i < table.m_count; ++i, ++total) {
            const ReflectedItemEntry& item = table.m_items[i];
            const char* name = item.GetName();
            ASSERT_NE(name, nullptr);
            SCOPED_TRACE(name);
            NameSpaceElement e{};
            ASSERT_EQ(GetTheRootNameSpace()->FindElementWithRelativePath(name, e), NSE_OK);
            EXPECT_EQ(e.GetType(), item.m_kind);
            EXPECT_EQ(e.m_record, item.GetRecord());
            EXPECT_EQ(FindReflectedItem(name, GetReflectedItemRegistry(item.m_kind)), item.GetRecord());
            int found = 0;
            for (int32_t j = 0; j < module.GetNumRegistered(item.m_kind); ++j)
                found += module.GetRegistered(item.m_kind, j) == item.GetRecord();
            EXPECT_EQ(found, 1);
        }
    }
    EXPECT_GT(total, 50);
    // The core items open the module's class list, in table order.
    const ReflectedItemTable core = GetCoreModuleItems();
    int32_t next = 0;
    for (int32_t i = 0; i < core.m_count; ++i) {
        if (core.m_items[i].m_kind != NST_Class) continue;
        ASSERT_LT(next, module.GetClassRegistry()->size());
        EXPECT_EQ((*module.GetClassRegistry())[next++], core.m_items[i].GetRecord());
    }
}

TEST(XTarget, GroupsRunOnce)
{
    XTarget& module = test::TestModule();
    const int32_t classes = module.GetNumRegistered(NST_Class);
    RegisterCoreModuleReflection(module);
    RegisterGeometryReflection(module);
    RegisterAmbientResourceReflection(module);
    EXPECT_EQ(module.GetNumRegistered(NST_Class), classes);
    EXPECT_EQ(&CreateProgramModule(test::kTestTarget), &module);
    EXPECT_EQ(GetProgramModule(), &module);
}

// ---- the registry of modules -------------------------------------------------------

TEST(XTargetRegistry, SlotsAndLookups)
{
    XTargetRegistry* reg = GetXTargetRegistry();
    ASSERT_NE(reg, nullptr);
    const dsTarget d1 = {"vnReflectionTest/One", 0, nullptr, 0, nullptr};
    const dsTarget d2 = {"vnReflectionTest/Two", 0, nullptr, 0, nullptr};
    XTarget* one = XTarget::Create(d1);
    XTarget* two = XTarget::Create(d2);
    EXPECT_EQ(two->GetTin(), one->GetTin() + 1);
    EXPECT_EQ(reg->GetNumSlots(), two->GetTin() + 1);
    EXPECT_EQ(reg->Get(one->GetTin()), one);
    EXPECT_EQ(reg->Find("vnReflectionTest/One"), one);
    EXPECT_EQ(reg->Find("vnReflectionTest/Two"), two);
    EXPECT_EQ(reg->Find("vnReflectionTest/On"), nullptr);
    EXPECT_EQ(reg->Find("vnReflectionTest/Three"), nullptr);
    EXPECT_EQ(reg->Get(-1), nullptr);
    EXPECT_EQ(reg->Get(reg->GetNumSlots()), nullptr);

    // Destroying a record empties its slot first; slots are not reused.
    const TIN tinOne = one->GetTin();
    one->Unregister();
    EXPECT_EQ(reg->Get(tinOne), nullptr);
    EXPECT_EQ(reg->Find("vnReflectionTest/One"), nullptr);
    XTarget* again = XTarget::Create(d1);
    EXPECT_EQ(again->GetTin(), two->GetTin() + 1);
    EXPECT_EQ(reg->Find("vnReflectionTest/One"), again);
    delete two; // the destructor leaves the registry as well
    EXPECT_EQ(reg->Find("vnReflectionTest/Two"), nullptr);
    again->Unregister();
}

TEST(XTargetRegistryDeathTest, UnregisteringAfterTheRegistryIsGoneTouchesNothing)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            test::TestModule(); // its exit handler runs after the registry has gone, too
            XTarget* t = XTarget::Create(kEmptyTarget);
            DestroyXTargetRegistry();
            if (GetXTargetRegistry() != nullptr) std::abort();
            t->Unregister();
            DestroyXTargetRegistry(); // runs once
            bool threw = false;
            try {
                XTarget::Create(kEmptyTarget);
            } catch (const ProgrammingErrorException&) {
                threw = true;
            }
            std::exit(threw ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}

// ---- the cross-module index table --------------------------------------------------

TEST(XTargetIndexTable, WithoutRequiredModules)
{
    const ModuleIndexTable& t = test::TestModule().ResolveIndexTable();
    const TIN tin = test::TestModule().GetTin();
    ASSERT_EQ(t.m_numRows, 1);
    ASSERT_EQ(t.m_numColumns, tin + 1);
    for (int32_t c = 0; c < t.m_numColumns; ++c) EXPECT_EQ(t.At(0, c), c == tin ? 0 : -1);
    // Resolved once: the same table comes back unchanged.
    const int32_t* entries = t.m_entries.data();
    EXPECT_EQ(&test::TestModule().ResolveIndexTable(), &t);
    EXPECT_EQ(t.m_entries.data(), entries);
}

const char* const kTopRequires[] = {"vnReflectionTest/Mid", "vnReflectionTest/Base"};
const char* const kMidRequires[] = {"vnReflectionTest/Base"};
const int32_t kTopRow0[] = {1, 0};  // Mid row 1, Base row 0
const int32_t kTopRow1[] = {1, -1}; // Mid row 1, Base unnamed
const dsTargetConfig kTopConfigs[] = {{"T0", 0, kTopRow0}, {"T1", 0, kTopRow1}};
const int32_t kMidRow0[] = {0};
const int32_t kMidRow1[] = {1};
const dsTargetConfig kMidConfigs[] = {{"M0", 0, kMidRow0}, {"M1", 0, kMidRow1}};
const dsTargetConfig kBaseConfigs[] = {{"B0", 0, nullptr}, {"B1", 0, nullptr}};
const dsTarget kTop = {"vnReflectionTest/Top", 2, kTopRequires, 2, kTopConfigs};
const dsTarget kMid = {"vnReflectionTest/Mid", 1, kMidRequires, 2, kMidConfigs};
const dsTarget kBase = {"vnReflectionTest/Base", 0, nullptr, 2, kBaseConfigs};

TEST(XTargetIndexTable, MergesOnlySetEntriesAndKeepsItsOwn)
{
    // Top gets the lowest index, so Mid's rows cover Top's column with -1.
    ModuleGuard top(kTop);
    ModuleGuard base(kBase);
    ModuleGuard mid(kMid);
    const TIN t = top->GetTin(), b = base->GetTin(), m = mid->GetTin();

    const ModuleIndexTable& mt = mid->ResolveIndexTable();
    ASSERT_EQ(mt.m_numRows, 2);
    ASSERT_EQ(mt.m_numColumns, m + 1);
    EXPECT_EQ(mt.At(0, m), 0);
    EXPECT_EQ(mt.At(1, m), 1);
    EXPECT_EQ(mt.At(0, b), 0);
    EXPECT_EQ(mt.At(1, b), 1);
    EXPECT_EQ(mt.At(1, t), -1);

    const ModuleIndexTable& tt = top->ResolveIndexTable();
    ASSERT_EQ(tt.m_numRows, 2);
    ASSERT_EQ(tt.m_numColumns, m + 1);
    // Row 0 names Base row 0 itself; Mid's row 1 (Base row 1) does not override it, and
    // Mid's -1 in Top's column does not erase Top's own entry.
    EXPECT_EQ(tt.At(0, t), 0);
    EXPECT_EQ(tt.At(0, m), 1);
    EXPECT_EQ(tt.At(0, b), 0);
    // Row 1 names no Base row: Mid's row fills it in.
    EXPECT_EQ(tt.At(1, t), 1);
    EXPECT_EQ(tt.At(1, m), 1);
    EXPECT_EQ(tt.At(1, b), 1);
    for (int32_t c = 0; c < tt.m_numColumns; ++c)
        if (c != t && c != m && c != b) {
            EXPECT_EQ(tt.At(0, c), -1);
        }
}

const char* const kRequiresQ[] = {"vnReflectionTest/Q"};
const char* const kRequiresP[] = {"vnReflectionTest/P"};
const int32_t kRow0[] = {0};
const dsTargetConfig kOneRowP[] = {{"P0", 0, kRow0}};
const dsTargetConfig kOneRowQ[] = {{"Q0", 0, kRow0}};

TEST(XTargetIndexTable, RejectsCyclesMissingModulesAndMissingRows)
{
    {
        ModuleGuard p(dsTarget{"vnReflectionTest/P", 1, kRequiresQ, 1, kOneRowP});
        ModuleGuard q(dsTarget{"vnReflectionTest/Q", 1, kRequiresP, 1, kOneRowQ});
        EXPECT_THROW(p->ResolveIndexTable(), ProgrammingErrorException);
        EXPECT_THROW(q->ResolveIndexTable(), ProgrammingErrorException); // nothing is left half-resolved
    }
    {
        ModuleGuard p(dsTarget{"vnReflectionTest/P", 1, kRequiresQ, 1, kOneRowP});
        EXPECT_THROW(p->ResolveIndexTable(), ProgrammingErrorException); // Q is not registered
        const int32_t badRow[] = {5};
        const dsTargetConfig badConfig[] = {{"P0", 0, badRow}};
        ModuleGuard q(dsTarget{"vnReflectionTest/Q", 0, nullptr, 1, kOneRowQ});
        ModuleGuard r(dsTarget{"vnReflectionTest/R", 1, kRequiresQ, 1, badConfig});
        EXPECT_THROW(r->ResolveIndexTable(), ProgrammingErrorException); // Q has no row 5
        EXPECT_EQ(p->ResolveIndexTable().m_numRows, 1);                  // Q exists now
    }
}

} // namespace
