#include "vnReflection/OperationCallBacks.h"
#include "vnReflection/ByteCode.h"
#include "vnReflection/Registry.h"
#include "TestModule.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace vorn;

namespace {

struct RecordingCallBacks : IOperationCallBacks {
    std::vector<OperationRecord*> seen;
    ValueVisitFunction visitSeen = reinterpret_cast<ValueVisitFunction>(1);
    void* argSeen = reinterpret_cast<void*>(1);
    void OnFieldWrite(OperationRecord& op) override
    {
        seen.push_back(&op);
        visitSeen = op.m_visitFunction;
        argSeen = op.m_visitArgument;
    }
};

struct HookCall {
    void* field;
    AnyInterface object;
    int32_t index;
};
thread_local std::vector<HookCall> t_hookCalls;
void RecordHook(void* field, AnyInterface object, int32_t index) { t_hookCalls.push_back({field, object, index}); }

void Visit(void*, void*, ssize_t, ssize_t) {}

} // namespace

TEST(OperationCallBacks, NotifyCallsTheThreadsCallbacksThenTheHook)
{
    int object = 0;
    int field = 0;
    int table = 0;
    OperationRecord op;
    op.m_object = AnyInterface{&object, &table};
    op.m_fieldIndex = 3;
    op.m_visitFunction = &Visit;
    op.m_visitArgument = &field;
    op.m_path.assign("m_view", 6);
    op.m_fieldAddress = &field;

    // No callbacks and no hook: nothing happens.
    ASSERT_EQ(GetThreadIOperationCallBacks(), nullptr);
    const FieldWriteHook previousHook = SetFieldWriteHook(nullptr);
    NotifyOperationCallBacks(op);
    EXPECT_EQ(op.m_visitFunction, &Visit); // untouched without callbacks

    // The hook alone sees the write on a thread without callbacks.
    SetFieldWriteHook(&RecordHook);
    t_hookCalls.clear();
    NotifyOperationCallBacks(op);
    ASSERT_EQ(t_hookCalls.size(), 1u);
    EXPECT_EQ(t_hookCalls[0].field, &field);
    EXPECT_EQ(t_hookCalls[0].object.m_object, &object);
    EXPECT_EQ(t_hookCalls[0].object.m_table, &table);
    EXPECT_EQ(t_hookCalls[0].index, 3);

    RecordingCallBacks cb;
    {
        ThreadOperationCallBacksScope scope(&cb);
        NotifyOperationCallBacks(op);
    }
    ASSERT_EQ(cb.seen.size(), 1u);
    EXPECT_EQ(cb.seen[0], &op);
    EXPECT_EQ(cb.visitSeen, nullptr); // cleared before the call
    EXPECT_EQ(cb.argSeen, nullptr);
    EXPECT_EQ(op.m_path.size(), 6);
    EXPECT_EQ(t_hookCalls.size(), 2u);
    EXPECT_EQ(GetThreadIOperationCallBacks(), nullptr);

    SetFieldWriteHook(previousHook);
}

TEST(OperationCallBacks, ScopesRestoreTheSlotAlsoThroughExceptions)
{
    RecordingCallBacks outer, inner;
    ASSERT_EQ(GetThreadIOperationCallBacks(), nullptr);
    {
        ThreadOperationCallBacksScope a(&outer);
        EXPECT_EQ(GetThreadIOperationCallBacks(), &outer);
        try {
            ThreadOperationCallBacksScope b(&inner);
            EXPECT_EQ(GetThreadIOperationCallBacks(), &inner);
            EXPECT_EQ(b.GetPrevious(), &outer);
            throw std::runtime_error("write failed");
        } catch (const std::runtime_error&) {
        }
        EXPECT_EQ(GetThreadIOperationCallBacks(), &outer);
    }
    EXPECT_EQ(GetThreadIOperationCallBacks(), nullptr);

    // A write after the outermost scope bypasses the callbacks.
    OperationRecord op;
    NotifyOperationCallBacks(op);
    EXPECT_TRUE(outer.seen.empty());
    EXPECT_TRUE(inner.seen.empty());
}

TEST(OperationCallBacksThreaded, EachThreadHasItsOwnSlot)
{
    RecordingCallBacks mine;
    SetThreadIOperationCallBacks(&mine);
    std::atomic<bool> otherWasNull{false};
    std::atomic<bool> otherSawOwn{false};
    RecordingCallBacks theirs;
    std::thread t([&] {
        otherWasNull = GetThreadIOperationCallBacks() == nullptr;
        SetThreadIOperationCallBacks(&theirs);
        OperationRecord op;
        NotifyOperationCallBacks(op);
        otherSawOwn = GetThreadIOperationCallBacks() == &theirs;
    });
    t.join();
    EXPECT_TRUE(otherWasNull);
    EXPECT_TRUE(otherSawOwn);
    EXPECT_EQ(theirs.seen.size(), 1u);
    EXPECT_EQ(GetThreadIOperationCallBacks(), &mine);
    EXPECT_TRUE(mine.seen.empty());
    SetThreadIOperationCallBacks(nullptr);
}

TEST(OperationCallBacks, GetterAndSetterAreCallableByName)
{
    test::TestModule();
    const ReflectedGlobalFunction* get = FindReflectedGlobalFunction("vorn::GetThreadIOperationCallBacks");
    const ReflectedGlobalFunction* set = FindReflectedGlobalFunction("vorn::SetThreadIOperationCallBacks");
    ASSERT_NE(get, nullptr);
    ASSERT_NE(set, nullptr);
    RecordingCallBacks cb;
    IOperationCallBacks* arg = &cb;
    void* args[] = {&arg};
    set->m_address(nullptr, args);
    IOperationCallBacks* result = nullptr;
    get->m_address(&result, nullptr);
    EXPECT_EQ(result, &cb);
    arg = nullptr;
    set->m_address(nullptr, args);
    EXPECT_EQ(GetThreadIOperationCallBacks(), nullptr);
    EXPECT_NE(FindReflectedClass("vorn::IOperationCallBacks"), nullptr);
    EXPECT_NE(FindReflectedTypedef("vorn::FieldAddress"), nullptr);
}

namespace {

// Sees pref assignments and leaves the copy to the default.
struct PrefWatcher : IOperationCallBacks {
    int assigns = 0;
    void OnFieldWrite(OperationRecord&) override {}
    void OnPrefAssign(PrefAssignRecord& op) override
    {
        ++assigns;
        IOperationCallBacks::OnPrefAssign(op);
    }
};

} // namespace

TEST(OperationCallBacks, PrefAssignmentGoesThroughTheCallbacksOrIsCopied)
{
    ASSERT_EQ(size_t(kPrefSize) % sizeof(uint64_t), 0u);
    std::vector<uint64_t> target(size_t(kPrefSize) / 8, 0), source(size_t(kPrefSize) / 8, 0);
    for (size_t i = 0; i < source.size(); ++i) source[i] = 0x0101010101010101ull * (i + 1);
    PrefAssignRecord op;
    op.m_target = target.data();
    op.m_source = source.data();
    NotifyPrefAssign(op);
    EXPECT_EQ(target, source);

    std::fill(target.begin(), target.end(), 0);
    PrefWatcher watcher;
    {
        ThreadOperationCallBacksScope scope(&watcher);
        NotifyPrefAssign(op);
        // The other operations do nothing by default.
        EXPECT_FALSE(watcher.OnObjectChange(AnyInterface{nullptr, nullptr}));
    }
    EXPECT_EQ(watcher.assigns, 1);
    EXPECT_EQ(target, source);
    // Assigning a pref to itself changes nothing.
    op.m_source = target.data();
    NotifyPrefAssign(op);
    EXPECT_EQ(target, source);
}
