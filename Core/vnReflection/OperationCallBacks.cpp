#include "vnReflection/OperationCallBacks.h"
#include "vnReflection/ByteCode.h"
#include <atomic>
#include <cstring>

namespace vorn {

namespace {
thread_local IOperationCallBacks* t_callbacks = nullptr;
std::atomic<FieldWriteHook> g_fieldWriteHook{nullptr};
} // namespace

IOperationCallBacks* GetThreadIOperationCallBacks() { return t_callbacks; }

void SetThreadIOperationCallBacks(IOperationCallBacks* callbacks) { t_callbacks = callbacks; }

FieldWriteHook SetFieldWriteHook(FieldWriteHook hook) { return g_fieldWriteHook.exchange(hook); }

FieldWriteHook GetFieldWriteHook() { return g_fieldWriteHook.load(std::memory_order_acquire); }

void NotifyOperationCallBacks(OperationRecord& op)
{
    if (IOperationCallBacks* callbacks = t_callbacks) {
        op.m_visitFunction = nullptr;
        op.m_visitArgument = nullptr;
        callbacks->OnFieldWrite(op);
    }
    if (const FieldWriteHook hook = GetFieldWriteHook()) hook(op.m_fieldAddress, op.m_object, op.m_fieldIndex);
}

namespace {
void CopyPref(PrefAssignRecord& op)
{
    if (op.m_target != op.m_source) std::memcpy(op.m_target, op.m_source, size_t(kPrefSize));
}
} // namespace

void IOperationCallBacks::OnPrefAssign(PrefAssignRecord& op) { CopyPref(op); }

void NotifyPrefAssign(PrefAssignRecord& op)
{
    if (IOperationCallBacks* callbacks = t_callbacks) callbacks->OnPrefAssign(op);
    else CopyPref(op);
}

} // namespace vorn
