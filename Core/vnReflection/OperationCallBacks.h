// Per-thread operation callbacks. Whatever watches a thread's writes to reflected model
// fields (a store transaction, which marks objects dirty) installs its
// vorn::IOperationCallBacks in the thread's slot; model-field setters announce each
// write through NotifyOperationCallBacks before they store the new value. The write is
// also reported to the dependency graph through a hook that the graph's module
// installs. The slot is null on a new thread; it never owns the callbacks.
#pragma once
#include "vnReflection/Records.h"
#include "vnUtils/SmallString.h"
#include <cstdint>

namespace vorn {

// Visits the values at first, first + stride, ... (count of them) with a visitor given
// as context; the form of TypeOps::m_visit1 and m_visit2.
using ValueVisitFunction = void (*)(void* context, void* first, ssize_t stride, ssize_t count);

// The description of one write to a model field, filled by the setter on its stack.
struct OperationRecord {
    AnyInterface m_object{};                   // the object and its IObject table
    int32_t m_fieldIndex = 0;                  // the model field's index in its class
    ValueVisitFunction m_visitFunction = nullptr; // visits the field's current value;
    void* m_visitArgument = nullptr;              // ...at this address (both set to null
                                                  // by NotifyOperationCallBacks)
    SmallString m_path;                        // the field's path
    void* m_fieldAddress = nullptr;            // the field about to be written
};

class IOperationCallBacks {
public:
    // A model field of op.m_object is about to be written.
    virtual void OnFieldWrite(OperationRecord& op) = 0;

protected:
    ~IOperationCallBacks() = default;
};

// The calling thread's callbacks (null when none are installed).
IOperationCallBacks* GetThreadIOperationCallBacks();
// Installs the calling thread's callbacks; null removes them.
void SetThreadIOperationCallBacks(IOperationCallBacks* callbacks);

// Installs callbacks for a scope and puts back what the slot held before when the scope
// ends, also when it ends through an exception.
class ThreadOperationCallBacksScope {
public:
    explicit ThreadOperationCallBacksScope(IOperationCallBacks* callbacks)
        : m_previous(GetThreadIOperationCallBacks())
    {
        SetThreadIOperationCallBacks(callbacks);
    }
    ~ThreadOperationCallBacksScope() { SetThreadIOperationCallBacks(m_previous); }
    ThreadOperationCallBacksScope(const ThreadOperationCallBacksScope&) = delete;
    ThreadOperationCallBacksScope& operator=(const ThreadOperationCallBacksScope&) = delete;
    IOperationCallBacks* GetPrevious() const { return m_previous; }

private:
    IOperationCallBacks* m_previous;
};

// Reports a model-field write to the dependency graph of the calling thread.
using FieldWriteHook = void (*)(void* fieldAddress, AnyInterface object, int32_t fieldIndex);
// Installs the hook (null removes it) and returns the previous one.
FieldWriteHook SetFieldWriteHook(FieldWriteHook hook);
FieldWriteHook GetFieldWriteHook();

// Announces a write: when the thread has callbacks, clears op's visit function and
// argument and calls their OnFieldWrite; then reports the field's address, the object
// and the field's index to the field-write hook, if one is installed.
void NotifyOperationCallBacks(OperationRecord& op);

} // namespace vorn
