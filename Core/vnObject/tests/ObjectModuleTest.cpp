#include "vnObject/CSpace.h"
#include "vnObject/LockGuard.h"
#include "vnObject/ObjectModule.h"
#include "vnReflection/CoreModule.h"
#include "vnReflection/NameSpace.h"
#include "vnReflection/OperationCallBacks.h"
#include "vnReflection/Registry.h"
#include "vnUtils/Exceptions.h"
#include <gtest/gtest.h>
#include <cstring>
#include <stdexcept>

using namespace vorn;

namespace {

const dsTargetConfig kConfigs[] = {{"Release 0.0", 0x180807D8u, nullptr}};
const dsTarget kTarget = {"Vorn/Test/vnObject", 0, nullptr, 1, kConfigs};

// The module's groups open and close the core registration, and its hooks are in place.
TEST(ObjectModule, RegistersAroundTheCoreGroup)
{
    XTarget& module = CreateProgramModule(kTarget);
    RegisterObjectSpaceModule(module);
    RegisterObjectSpaceModule(module); // once only
    EXPECT_NE(GetCreateRegistrationHook(), nullptr);
    EXPECT_NE(GetFieldWriteHook(), nullptr);

    const ReflectedItemTable first = GetObjectSpaceFirstItems();
    const ReflectedItemTable last = GetObjectSpaceLastItems();
    EXPECT_STREQ(first.m_items[0].GetName(), "vorn::CSpace");
    EXPECT_STREQ(first.m_items[first.m_count - 1].GetName(), "vorn::GCRoots");
    EXPECT_STREQ(last.m_items[0].GetName(), "vorn::AddGcRoot");
    EXPECT_STREQ(last.m_items[last.m_count - 1].GetName(), "vorn::SynchronousGc");
    EXPECT_EQ(first.m_count + GetCoreModuleItems().m_count + last.m_count, 15 + GetCoreModuleItems().m_count + 14);

    // In the module's lists the first group comes before the core items.
    ASSERT_GE(module.GetNumRegistered(NST_Class), 3);
    EXPECT_STREQ(static_cast<const ReflectedClass*>(module.GetRegistered(NST_Class, 0))->GetName(), "vorn::CSpace");
    EXPECT_STREQ(static_cast<const ReflectedClass*>(module.GetRegistered(NST_Class, 1))->GetName(), "vorn::GCRoots");
    const int32_t nf = module.GetNumRegistered(NST_GlobalFunction);
    EXPECT_STREQ(static_cast<const ReflectedGlobalFunction*>(module.GetRegistered(NST_GlobalFunction, nf - 1))->GetName(),
                 "vorn::SynchronousGc");
    for (const ReflectedItemTable& t : {first, last}) {
        for (int32_t i = 0; i < t.m_count; ++i) {
            SCOPED_TRACE(t.m_items[i].GetName());
            EXPECT_EQ(FindReflectedItem(t.m_items[i].GetName(), GetReflectedItemRegistry(t.m_items[i].m_kind)),
                      t.m_items[i].GetRecord());
        }
    }

    // The reflected global functions reach the thread's space.
    const ReflectedGlobalFunction* create = FindReflectedGlobalFunction("vorn::CreateCSpace2");
    const ReflectedGlobalFunction* getPeriod = FindReflectedGlobalFunction("vorn::GetMilliSecsPerGc");
    ASSERT_NE(create, nullptr);
    ASSERT_NE(getPeriod, nullptr);
    bool enable = false;
    CSpace* space = nullptr;
    void* args[] = {&enable};
    create->m_address(&space, args);
    ASSERT_NE(space, nullptr);
    RestoreThreadCSpace restore(space);
    int32_t period = 0;
    getPeriod->m_address(&period, nullptr);
    EXPECT_EQ(period, CSpace::kDefaultMilliSecsPerGc);
    SetThreadCSpace(nullptr);
    space->Destroy();
}

struct CountingTxn : ISpaceTxn {
    int closes = 0;
    void Close() override { ++closes; }
};

// A transaction's guard closes it and leaves the lock.
TEST(LockGuard, ClosesTheTransactionAndLeavesTheLock)
{
    CSpace* space = CreateCSpace2(false);
    CountingTxn txn;
    {
        space->Lock(LOCK_EXCLUSIVE);
        LockGuard guard(space, &txn);
        EXPECT_EQ(guard.Run([] { return 7; }), 7);
    }
    EXPECT_EQ(txn.closes, 1);
    std::thread other([&] {
        space->Lock(LOCK_EXCLUSIVE); // free again
        space->Unlock();
    });
    other.join();
    space->Destroy();
}

// An exception leaving a transaction ends the process, after describing it.
TEST(LockGuardDeathTest, AnExceptionEndsTheProcessWithItsDescription)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            CSpace* space = CreateCSpace2(false);
            space->Lock(LOCK_EXCLUSIVE);
            LockGuard guard(space);
            guard.Run([] { throw ProgrammingErrorException("half-changed model"); });
        },
        "half-changed model");
    EXPECT_DEATH(
        {
            CSpace* space = CreateCSpace2(false);
            space->Lock(LOCK_EXCLUSIVE);
            LockGuard guard(space);
            throw std::runtime_error("passing through");
        },
        "left a space transaction");
}

} // namespace
