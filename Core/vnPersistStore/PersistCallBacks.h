// vorn::PersistOperationCallbacks: the thread's operation callbacks while a persistent
// store transaction is open. Each operation keeps the store consistent with a change
// about to be made to a reflected object: a persistent object is marked dirty, objects
// that become reachable through prefs get OIDs near their parent's, and objects that
// stop being reachable through a replaced or removed pref are queued for permanent
// deletion of their subtrees. Changes of objects that are not persistent pass through.
// The one instance has no state and serves every thread.
#pragma once
#include "vnPersistStore/Pref.h"
#include "vnReflection/OperationCallBacks.h"

namespace vorn {

class PersistOperationCallbacks final : public IOperationCallBacks {
public:
    void OnFieldWrite(OperationRecord& op) override;
    void OnValueCreated(ValueVisitRecord& op) override;
    // The old referent (when the target is not null) is queued for deletion, the new one
    // made persistent; the pref itself is assigned last, in every case.
    void OnPrefAssign(PrefAssignRecord& op) override;
    bool OnObjectChange(AnyInterface object) override;
    void OnValueAdded(ValueVisitRecord& op) override;
    void OnRangeRemoved(ArrayRangeRecord& op) override;
    void OnPrefsAdded(PrefArrayRecord& op) override;
    void OnPrefsRemoved(PrefArrayRecord& op) override;
    void OnPrefsInserted(PrefArrayRecord& op) override { OnPrefsAdded(op); }
    void OnPrefArrayCleared(PrefArrayRecord& op) override;
};

// The process-wide instance.
PersistOperationCallbacks* GetPersistOperationCallbacks();

// For persistent collections: the object a pref names, bound as needed (null for a
// null pref).
IPersistablePtr DerefPrefToObject(pref& p);
// Gives every not yet persistent object that the value reaches OIDs near object's
// (nothing when object is not persistent or visit is null).
void AllocateOidsReachableFromValue(AnyInterface object, ValueVisitFunction visit, void* value);

} // namespace vorn
