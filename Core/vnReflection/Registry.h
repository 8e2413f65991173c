// The seven process-wide registries of reflected items, one per kind (none for global
// variables): each maps an item's qualified name (ordered bytewise) to its record, under
// a critical section of its own. Each is created on first use and destroyed at exit;
// after that its getter returns null and lookups find nothing.
#pragma once
#include "vnReflection/NameSpace.h"
#include "vnReflection/Records.h"
#include "vnUtils/Threads.h"
#include "vnUtils/XString.h"
#include <map>

namespace vorn {

class ReflectedItemRegistry {
public:
    using Map = std::map<xstring, const void*, BytewiseLess>;

    // Inserts name -> record and returns true when the name is absent; otherwise
    // returns false and changes nothing.
    bool Register(SubString8 name, const void* record);
    // The record, or null.
    const void* Find(SubString8 name);
    int32_t Size();
    // The map, for walking it while holding GetLock().
    const Map& GetMap() const { return m_map; }
    CriticalSection& GetLock() { return m_lock; }

private:
    CriticalSection m_lock;
    Map m_map;
};

ReflectedItemRegistry* GetReflectedInterfaceRegistry();
ReflectedItemRegistry* GetReflectedClassRegistry();
ReflectedItemRegistry* GetReflectedVariantRegistry();
ReflectedItemRegistry* GetReflectedEnumRegistry();
ReflectedItemRegistry* GetReflectedFunctorRegistry();
ReflectedItemRegistry* GetReflectedTypedefRegistry();
ReflectedItemRegistry* GetReflectedGlobalFunctionRegistry();
// The registry of a kind; null for NST_GlobalVariable and NST_Unknown.
ReflectedItemRegistry* GetReflectedItemRegistry(ENSType kind);

// Null registries are ignored (false, null).
bool RegisterReflectedItem(const char* name, ReflectedItemRegistry* registry, const void* record);
const void* FindReflectedItem(SubString8 name, ReflectedItemRegistry* registry);

// Typed lookups; null when absent.
const ReflectedInterface* FindReflectedInterface(SubString8 name);
const ReflectedClass* FindReflectedClass(SubString8 name);
const ReflectedVariant* FindReflectedVariant(SubString8 name);
const ReflectedEnum* FindReflectedEnum(SubString8 name);
const ReflectedFunctor* FindReflectedFunctor(SubString8 name);
const ReflectedTypedef* FindReflectedTypedef(SubString8 name);
const ReflectedGlobalFunction* FindReflectedGlobalFunction(SubString8 name);
// Throws ReflectedClassNotFoundException carrying the name when absent.
const ReflectedClass* FindReflectedClassOrThrow(SubString8 name);

// The qualified name held by a record of the kind (null for NST_Unknown).
const char* GetReflectedRecordName(ENSType kind, const void* record);

} // namespace vorn
