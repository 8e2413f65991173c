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

// The records of the other operations. Each begins with the changed object; prefs are
// passed as the addresses of kPrefSize-byte pref values (declared by the persistent
// store), arrays of them contiguous.
struct ValueVisitRecord {
    AnyInterface m_object{};
    ValueVisitFunction m_visitFunction = nullptr; // visits the value's references; may be null
    void* m_visitArgument = nullptr;              // ...of the value at this address
    intptr_t m_extra1 = 0;                        // passed through to the visit
    intptr_t m_extra2 = 0;
};
struct PrefAssignRecord {
    AnyInterface m_object{};
    void* m_target = nullptr;       // the pref about to be overwritten
    const void* m_source = nullptr; // the pref it takes its value from
};
struct ArrayRangeRecord {
    AnyInterface m_object{};
    ValueVisitFunction m_visitFunction = nullptr; // visits elements; may be null
    void* m_base = nullptr;
    ssize_t m_stride = 0;
    ssize_t m_first = 0;
    ssize_t m_count = 0;
};
struct PrefArrayRecord {
    AnyInterface m_object{};
    void* m_prefs = nullptr;
    ssize_t m_first = 0; // the first pref concerned (0 for whole arrays)
    ssize_t m_count = 0;
};

// The operations in slot order; only the first must be implemented, the others do
// nothing unless overridden but assign what they are asked to assign.
class IOperationCallBacks {
public:
    // 0: a model field of op.m_object is about to be written.
    virtual void OnFieldWrite(OperationRecord& op) = 0;
    // 1: a value of the object was created in place (its references may be new).
    virtual void OnValueCreated(ValueVisitRecord&) {}
    // 2: a pref of the object is assigned; the callbacks make the assignment (by
    // default a plain copy).
    virtual void OnPrefAssign(PrefAssignRecord& op);
    // 3: the object is about to change; true when the change is recorded.
    virtual bool OnObjectChange(AnyInterface) { return false; }
    // 4: a value was added to a collection of the object.
    virtual void OnValueAdded(ValueVisitRecord&) {}
    // 5: a range of values is about to be removed from a collection of the object.
    virtual void OnRangeRemoved(ArrayRangeRecord&) {}
    // 6: prefs were added to a collection of the object.
    virtual void OnPrefsAdded(PrefArrayRecord&) {}
    // 7: a range of prefs is about to be removed from a collection of the object.
    virtual void OnPrefsRemoved(PrefArrayRecord&) {}
    // 8, 9: unused.
    virtual void Reserved8() {}
    virtual void Reserved9() {}
    // 10: prefs were inserted into a collection of the object.
    virtual void OnPrefsInserted(PrefArrayRecord&) {}
    // 11: a whole array of prefs of the object is about to be cleared.
    virtual void OnPrefArrayCleared(PrefArrayRecord&) {}

protected:
    ~IOperationCallBacks() = default;
};

// Assigns a pref of an object: through the thread's callbacks when it has some (they
// copy the source into the target last), else by copying the pref's bytes.
void NotifyPrefAssign(PrefAssignRecord& op);

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
