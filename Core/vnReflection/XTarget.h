// Module records. A module (a deliverable) is described by a constant vorn::dsTarget;
// its run-time record vorn::XTarget lists, per kind, the items it registered, and holds
// its slot in the process-wide vorn::XTargetRegistry (its TIN). A program has one
// module record (CreateProgramModule); its registration groups (the core framework,
// persistence, the program's own) each register an ordered table of items into it,
// once, from the top of the program's main. Registering an item puts it in the root
// name space, in the registry of its kind and in the module's list of that kind.
#pragma once
#include "vnReflection/NameSpace.h"
#include "vnReflection/Records.h"
#include "vnReflection/Registry.h"
#include "vnUtils/Threads.h"
#include "vnUtils/XVector.h"
#include <cstdint>

namespace vorn {

class XTargetRegistry;

// A module index: the module's slot in the XTargetRegistry.
using TIN = int32_t;

// One configuration row of a module: its name, a word nothing reads, and for each
// required module the row of that module this row was built against (-1: none).
struct dsTargetConfig {
    const char* m_name;
    uint32_t m_value;
    const int32_t* m_requiredRows;
};

// The constant descriptor of a module.
struct dsTarget {
    const char* m_pathName;
    int32_t m_numRequired;
    const char* const* m_required; // path names of the required modules
    int32_t m_numConfigs;
    const dsTargetConfig* m_configs;
};

// The cross-module index table: rows x columns entries, row-major; entry [j][t] is the
// row of module t (by TIN) that row j of this module was built against, -1 for none.
struct ModuleIndexTable {
    int32_t m_numRows = 0; // 0 until resolved
    int32_t m_numColumns = 0;
    xvector<int32_t> m_entries;
    int32_t At(int32_t row, int32_t column) const { return m_entries[row * m_numColumns + column]; }
};

class XTarget {
public:
    // Allocates the record of a module: a copy of the descriptor, empty lists, and the
    // slot the registry hands out. Throws ProgrammingErrorException after the registry
    // has been destroyed at exit.
    static XTarget* Create(const dsTarget& descriptor);
    // Leaves the registry first (when it is still alive and the slot holds this record),
    // then frees the lists.
    ~XTarget();
    XTarget(const XTarget&) = delete;
    XTarget& operator=(const XTarget&) = delete;

    // Destroys the record (the module's exit handler).
    void Unregister();
    const dsTarget& GetdsTarget() const { return m_target; }
    TIN GetTin() const { return m_tin; }

    void RegisterInterface(const ReflectedInterface* r) { m_interfaces.push_back(r); }
    xvector<const ReflectedInterface*>* GetInterfaceRegistry() { return &m_interfaces; }
    void RegisterClass(const ReflectedClass* r) { m_classes.push_back(r); }
    xvector<const ReflectedClass*>* GetClassRegistry() { return &m_classes; }
    void RegisterVariant(const ReflectedVariant* r) { m_variants.push_back(r); }
    xvector<const ReflectedVariant*>* GetVariantRegistry() { return &m_variants; }
    void RegisterEnum(const ReflectedEnum* r) { m_enums.push_back(r); }
    xvector<const ReflectedEnum*>* GetEnumRegistry() { return &m_enums; }
    void RegisterFunctor(const ReflectedFunctor* r) { m_functors.push_back(r); }
    xvector<const ReflectedFunctor*>* GetFunctorRegistry() { return &m_functors; }
    void RegisterTypedef(const ReflectedTypedef* r) { m_typedefs.push_back(r); }
    xvector<const ReflectedTypedef*>* GetTypedefRegistry() { return &m_typedefs; }
    void RegisterGlobalFunction(const ReflectedGlobalFunction* r) { m_globalFunctions.push_back(r); }
    xvector<const ReflectedGlobalFunction*>* GetGlobalFunctionRegistry() { return &m_globalFunctions; }
    void RegisterGlobalVariable(const ReflectedGlobalVariable* r) { m_globalVariables.push_back(r); }
    xvector<const ReflectedGlobalVariable*>* GetGlobalVariableRegistry() { return &m_globalVariables; }

    // The module's list of a kind, walked generically.
    int32_t GetNumRegistered(ENSType kind) const;
    const void* GetRegistered(ENSType kind, int32_t i) const;

    // Registers one item: enters it in the root name space under the qualified name its
    // record carries, then in the registry of its kind, then in this module's list.
    // Registering the same record again under its name changes nothing and returns
    // NSE_NAME_ALREADY_IN_USE quietly; any other failure (a malformed name, a name that
    // another record holds) is traced, asserted in debug builds and returned, and the
    // item goes nowhere.
    ENameSpaceError RegisterItem(ENSType kind, const void* record);

    // The cross-module index table, computed once under the registry's lock (required
    // modules first). Throws ProgrammingErrorException when a required module is not
    // registered, a row names a row that module does not have, or the required modules
    // form a cycle.
    const ModuleIndexTable& ResolveIndexTable();

private:
    explicit XTarget(const dsTarget& descriptor) : m_target(descriptor) {}
    void ResolveLocked(XTargetRegistry& registry);

    dsTarget m_target;
    TIN m_tin = -1;
    ModuleIndexTable m_indexTable;
    xvector<const ReflectedInterface*> m_interfaces;
    xvector<const ReflectedClass*> m_classes;
    xvector<const ReflectedVariant*> m_variants;
    xvector<const ReflectedEnum*> m_enums;
    xvector<const ReflectedFunctor*> m_functors;
    xvector<const ReflectedTypedef*> m_typedefs;
    xvector<const ReflectedGlobalFunction*> m_globalFunctions;
    xvector<const ReflectedGlobalVariable*> m_globalVariables;
    int32_t m_indexState = 0; // 0 unresolved, 1 being resolved, 2 resolved
};

// The process-wide list of module records: slot i holds the module whose TIN is i;
// slots are never reused or compacted. Created on first use, destroyed at exit.
class XTargetRegistry {
public:
    // Appends the record; its index is the previous number of slots.
    TIN Add(XTarget* target);
    // The first record whose path name equals pathName (bytewise), or null.
    XTarget* Find(const char* pathName);
    // The record in a slot; null for an empty or unknown slot.
    XTarget* Get(TIN tin);
    int32_t GetNumSlots();
    CriticalSection& GetLock() { return m_lock; }

private:
    friend class XTarget;
    // Clears slot tin when it holds target.
    void Remove(TIN tin, const XTarget* target);

    CriticalSection m_lock;
    xvector<XTarget*> m_slots;
};

// The registry, created on first use; null once it has been destroyed at exit.
XTargetRegistry* GetXTargetRegistry();
// The registry's exit handler (runs once; later calls do nothing).
void DestroyXTargetRegistry();

// ---- registration tables and groups ----------------------------------------------

// One item of a module's registration table: its kind and its record, given either as
// the address of constant data or by the function that builds it on first request.
struct ReflectedItemEntry {
    ENSType m_kind;
    const void* m_record;
    const void* (*m_buildRecord)();
    const void* GetRecord() const { return m_record ? m_record : m_buildRecord(); }
    const char* GetName() const { return GetReflectedRecordName(m_kind, GetRecord()); }
};

struct ReflectedItemTable {
    const ReflectedItemEntry* m_items;
    int32_t m_count;
};

// Registers the table's items in order.
void RegisterReflectedItems(XTarget& module, const ReflectedItemTable& table);

// The once-only flag of a registration group.
class RegistrationOnce {
public:
    // True on the first call only: the group then runs.
    bool Begin()
    {
        if (m_done) return false;
        m_done = true;
        return true;
    }
    bool Done() const { return m_done; }
private:
    bool m_done = false;
};

// The program's one module record: the first call creates it from the descriptor and
// installs its exit handler; later calls return the same record.
XTarget& CreateProgramModule(const dsTarget& descriptor);
// The program's module record, or null before CreateProgramModule.
XTarget* GetProgramModule();

} // namespace vorn
