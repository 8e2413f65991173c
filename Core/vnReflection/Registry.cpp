#include "vnReflection/Registry.h"
#include "vnReflection/ExitManaged.h"

namespace vorn {

bool ReflectedItemRegistry::Register(SubString8 name, const void* record)
{
    CriticalSectionLock lock(m_lock);
    return m_map.try_emplace(xstring(name), record).second;
}

const void* ReflectedItemRegistry::Find(SubString8 name)
{
    CriticalSectionLock lock(m_lock);
    const auto it = m_map.find(name);
    return it == m_map.end() ? nullptr : it->second;
}

int32_t ReflectedItemRegistry::Size()
{
    CriticalSectionLock lock(m_lock);
    return int32_t(m_map.size());
}

template <ENSType Kind>
using KindRegistry = ExitManaged<ReflectedItemRegistry, Kind>;

ReflectedItemRegistry* GetReflectedInterfaceRegistry() { return KindRegistry<NST_Interface>::Get(); }
ReflectedItemRegistry* GetReflectedClassRegistry() { return KindRegistry<NST_Class>::Get(); }
ReflectedItemRegistry* GetReflectedVariantRegistry() { return KindRegistry<NST_Variant>::Get(); }
ReflectedItemRegistry* GetReflectedEnumRegistry() { return KindRegistry<NST_Enum>::Get(); }
ReflectedItemRegistry* GetReflectedFunctorRegistry() { return KindRegistry<NST_Functor>::Get(); }
ReflectedItemRegistry* GetReflectedTypedefRegistry() { return KindRegistry<NST_Typedef>::Get(); }
ReflectedItemRegistry* GetReflectedGlobalFunctionRegistry() { return KindRegistry<NST_GlobalFunction>::Get(); }

ReflectedItemRegistry* GetReflectedItemRegistry(ENSType kind)
{
    switch (kind) {
    case NST_Interface: return GetReflectedInterfaceRegistry();
    case NST_Class: return GetReflectedClassRegistry();
    case NST_Variant: return GetReflectedVariantRegistry();
    case NST_Enum: return GetReflectedEnumRegistry();
    case NST_Functor: return GetReflectedFunctorRegistry();
    case NST_Typedef: return GetReflectedTypedefRegistry();
    case NST_GlobalFunction: return GetReflectedGlobalFunctionRegistry();
    default: return nullptr;
    }
}

bool RegisterReflectedItem(const char* name, ReflectedItemRegistry* registry, const void* record)
{
    return registry ? registry->Register(SubString8(name), record) : false;
}

const void* FindReflectedItem(SubString8 name, ReflectedItemRegistry* registry)
{
    return registry ? registry->Find(name) : nullptr;
}

const ReflectedInterface* FindReflectedInterface(SubString8 name)
{
    return static_cast<const ReflectedInterface*>(FindReflectedItem(name, GetReflectedInterfaceRegistry()));
}
const ReflectedClass* FindReflectedClass(SubString8 name)
{
    return static_cast<const ReflectedClass*>(FindReflectedItem(name, GetReflectedClassRegistry()));
}
const ReflectedVariant* FindReflectedVariant(SubString8 name)
{
    return static_cast<const ReflectedVariant*>(FindReflectedItem(name, GetReflectedVariantRegistry()));
}
const ReflectedEnum* FindReflectedEnum(SubString8 name)
{
    return static_cast<const ReflectedEnum*>(FindReflectedItem(name, GetReflectedEnumRegistry()));
}
const ReflectedFunctor* FindReflectedFunctor(SubString8 name)
{
    return static_cast<const ReflectedFunctor*>(FindReflectedItem(name, GetReflectedFunctorRegistry()));
}
const ReflectedTypedef* FindReflectedTypedef(SubString8 name)
{
    return static_cast<const ReflectedTypedef*>(FindReflectedItem(name, GetReflectedTypedefRegistry()));
}
const ReflectedGlobalFunction* FindReflectedGlobalFunction(SubString8 name)
{
    return static_cast<const ReflectedGlobalFunction*>(FindReflectedItem(name, GetReflectedGlobalFunctionRegistry()));
}

const ReflectedClass* FindReflectedClassOrThrow(SubString8 name)
{
    const ReflectedClass* rc = FindReflectedClass(name);
    if (!rc) throw ReflectedClassNotFoundException(xstring(name));
    return rc;
}

const char* GetReflectedRecordName(ENSType kind, const void* record)
{
    switch (kind) {
    case NST_Interface: return static_cast<const ReflectedInterface*>(record)->m_name;
    case NST_Class: return static_cast<const ReflectedClass*>(record)->m_name;
    case NST_Variant: return static_cast<const ReflectedVariant*>(record)->m_name;
    case NST_Enum: return static_cast<const ReflectedEnum*>(record)->m_name;
    case NST_Functor: return static_cast<const ReflectedFunctor*>(record)->m_name;
    case NST_Typedef: return static_cast<const ReflectedTypedef*>(record)->m_name;
    case NST_GlobalFunction: return static_cast<const ReflectedGlobalFunction*>(record)->m_name;
    case NST_GlobalVariable: return static_cast<const ReflectedGlobalVariable*>(record)->m_name;
    default: return nullptr;
    }
}

} // namespace vorn
