#include "vnReflection/XTarget.h"
#include "vnReflection/ExitManaged.h"
#include "vnUtils/Trace.h"
#include <cstdlib>
#include <cstring>

namespace vorn {

// ---- the registry of modules -----------------------------------------------------

using XTargetRegistrySingleton = ExitManaged<XTargetRegistry>;

XTargetRegistry* GetXTargetRegistry() { return XTargetRegistrySingleton::Get(); }

void DestroyXTargetRegistry() { XTargetRegistrySingleton::Destroy(); }

TIN XTargetRegistry::Add(XTarget* target)
{
    CriticalSectionLock lock(m_lock);
    const TIN tin = m_slots.size();
    m_slots.push_back(target);
    return tin;
}

XTarget* XTargetRegistry::Find(const char* pathName)
{
    CriticalSectionLock lock(m_lock);
    for (XTarget* t : m_slots)
        if (t && std::strcmp(t->GetdsTarget().m_pathName, pathName) == 0) return t;
    return nullptr;
}

XTarget* XTargetRegistry::Get(TIN tin)
{
    CriticalSectionLock lock(m_lock);
    return tin >= 0 && tin < m_slots.size() ? m_slots[tin] : nullptr;
}

int32_t XTargetRegistry::GetNumSlots()
{
    CriticalSectionLock lock(m_lock);
    return m_slots.size();
}

void XTargetRegistry::Remove(TIN tin, const XTarget* target)
{
    CriticalSectionLock lock(m_lock);
    if (tin >= 0 && tin < m_slots.size() && m_slots[tin] == target) m_slots[tin] = nullptr;
}

// ---- module records --------------------------------------------------------------

XTarget* XTarget::Create(const dsTarget& descriptor)
{
    XTargetRegistry* registry = GetXTargetRegistry();
    if (!registry) throw ProgrammingErrorException("XTarget::Create : the module registry no longer exists");
    XTarget* t = new XTarget(descriptor);
    try {
        t->m_tin = registry->Add(t);
    } catch (...) {
        delete t;
        throw;
    }
    return t;
}

XTarget::~XTarget()
{
    if (XTargetRegistry* registry = GetXTargetRegistry()) registry->Remove(m_tin, this);
}

void XTarget::Unregister() { delete this; }

int32_t XTarget::GetNumRegistered(ENSType kind) const
{
    switch (kind) {
    case NST_Interface: return m_interfaces.size();
    case NST_Class: return m_classes.size();
    case NST_Variant: return m_variants.size();
    case NST_Enum: return m_enums.size();
    case NST_Functor: return m_functors.size();
    case NST_Typedef: return m_typedefs.size();
    case NST_GlobalFunction: return m_globalFunctions.size();
    case NST_GlobalVariable: return m_globalVariables.size();
    default: return 0;
    }
}

const void* XTarget::GetRegistered(ENSType kind, int32_t i) const
{
    switch (kind) {
    case NST_Interface: return m_interfaces[i];
    case NST_Class: return m_classes[i];
    case NST_Variant: return m_variants[i];
    case NST_Enum: return m_enums[i];
    case NST_Functor: return m_functors[i];
    case NST_Typedef: return m_typedefs[i];
    case NST_GlobalFunction: return m_globalFunctions[i];
    case NST_GlobalVariable: return m_globalVariables[i];
    default: return nullptr;
    }
}

namespace {

xstring Concat(const char* a, const char* b)
{
    xstring s(a);
    s += b;
    return s;
}

const char* NameSpaceErrorName(ENameSpaceError e)
{
    switch (e) {
    case NSE_OK: return "NSE_OK";
    case NSE_COLON_EXPECTED: return "NSE_COLON_EXPECTED";
    case NSE_IDENTIFIER_EXPECTED: return "NSE_IDENTIFIER_EXPECTED";
    case NSE_NAME_ALREADY_IN_USE: return "NSE_NAME_ALREADY_IN_USE";
    case NSE_NAME_NOT_FOUND: return "NSE_NAME_NOT_FOUND";
    case NSE_NOT_A_NAMESPACE: return "NSE_NOT_A_NAMESPACE";
    }
    return "?";
}

} // namespace

ENameSpaceError XTarget::RegisterItem(ENSType kind, const void* record)
{
    const char* name = record ? GetReflectedRecordName(kind, record) : nullptr;
    ENameSpaceError e = record ? AddToRootNameSpace(name, kind, record) : NSE_IDENTIFIER_EXPECTED;
    if (e == NSE_NAME_ALREADY_IN_USE) {
        // The same record again (a group asked twice) is harmless.
        NameSpaceElement existing;
        NameSpace* root = GetTheRootNameSpace();
        if (root && root->FindElementWithRelativePath(SubString8(name), existing) == NSE_OK &&
            existing.m_type == kind && existing.m_record == record)
            return e;
    }
    if (e != NSE_OK) {
        {
            TraceStream t;
            t << "Registration of reflected item \"" << (name ? name : "(null)") << "\" (kind " << int32_t(kind)
              << ") failed : " << NameSpaceErrorName(e) << "\n";
        }
#ifndef NDEBUG
        vnAssert(e == NSE_OK);
#endif
        return e;
    }
    RegisterReflectedItem(name, GetReflectedItemRegistry(kind), record);
    switch (kind) {
    case NST_Interface: RegisterInterface(static_cast<const ReflectedInterface*>(record)); break;
    case NST_Class: RegisterClass(static_cast<const ReflectedClass*>(record)); break;
    case NST_Variant: RegisterVariant(static_cast<const ReflectedVariant*>(record)); break;
    case NST_Enum: RegisterEnum(static_cast<const ReflectedEnum*>(record)); break;
    case NST_Functor: RegisterFunctor(static_cast<const ReflectedFunctor*>(record)); break;
    case NST_Typedef: RegisterTypedef(static_cast<const ReflectedTypedef*>(record)); break;
    case NST_GlobalFunction: RegisterGlobalFunction(static_cast<const ReflectedGlobalFunction*>(record)); break;
    case NST_GlobalVariable: RegisterGlobalVariable(static_cast<const ReflectedGlobalVariable*>(record)); break;
    default: break;
    }
    return NSE_OK;
}

// ---- the cross-module index table ------------------------------------------------

const ModuleIndexTable& XTarget::ResolveIndexTable()
{
    XTargetRegistry* registry = GetXTargetRegistry();
    if (!registry) throw ProgrammingErrorException("XTarget::ResolveIndexTable : the module registry no longer exists");
    CriticalSectionLock lock(registry->GetLock());
    ResolveLocked(*registry);
    return m_indexTable;
}

void XTarget::ResolveLocked(XTargetRegistry& registry)
{
    if (m_indexState == 2) return;
    if (m_indexState == 1)
        throw ProgrammingErrorException(Concat("Cycle among the required modules at ", m_target.m_pathName));
    m_indexState = 1;
    struct ResetOnFailure {
        XTarget* t;
        ~ResetOnFailure()
        {
            if (t->m_indexState == 1) t->m_indexState = 0;
        }
    } reset{this};

    const int32_t numRequired = m_target.m_numRequired;
    xvector<XTarget*> required;
    required.reserve(numRequired);
    int32_t columns = m_tin + 1;
    for (int32_t k = 0; k < numRequired; ++k) {
        XTarget* r = registry.Find(m_target.m_required[k]);
        if (!r)
            throw ProgrammingErrorException(Concat("Required module not registered : ", m_target.m_required[k]));
        r->ResolveLocked(registry);
        if (r->m_tin + 1 > columns) columns = r->m_tin + 1;
        if (r->m_indexTable.m_numColumns > columns) columns = r->m_indexTable.m_numColumns;
        required.push_back(r);
    }

    const int32_t rows = m_target.m_numConfigs;
    xvector<int32_t> entries;
    entries.resize(int32_t(detail::CheckedBytes(int64_t(rows) * columns)), -1);
    for (int32_t j = 0; j < rows; ++j) {
        int32_t* row = entries.data() + j * columns;
        const dsTargetConfig& config = m_target.m_configs[j];
        row[m_tin] = j;
        for (int32_t k = 0; k < numRequired; ++k) {
            const int32_t rk = config.m_requiredRows[k];
            if (rk < -1 || rk >= required[k]->m_indexTable.m_numRows)
                throw ProgrammingErrorException(Concat("Configuration row names a missing row of ", m_target.m_required[k]));
            row[required[k]->m_tin] = rk;
        }
        // Rows of required modules fill in what this row does not say itself.
        for (int32_t k = 0; k < numRequired; ++k) {
            const int32_t rk = config.m_requiredRows[k];
            if (rk == -1) continue;
            const ModuleIndexTable& other = required[k]->m_indexTable;
            const int32_t* src = other.m_entries.data() + rk * other.m_numColumns;
            for (int32_t c = 0; c < other.m_numColumns; ++c)
                if (row[c] == -1 && src[c] != -1) row[c] = src[c];
        }
    }
    m_indexTable.m_numRows = rows;
    m_indexTable.m_numColumns = columns;
    m_indexTable.m_entries.swap(entries);
    m_indexState = 2;
}

// ---- registration ----------------------------------------------------------------

void RegisterReflectedItems(XTarget& module, const ReflectedItemTable& table)
{
    for (int32_t i = 0; i < table.m_count; ++i) module.RegisterItem(table.m_items[i].m_kind, table.m_items[i].GetRecord());
}

namespace {

constinit XTarget* g_programModule = nullptr;

void UnregisterProgramModule()
{
    XTarget* t = g_programModule;
    g_programModule = nullptr;
    if (t) t->Unregister();
}

} // namespace

XTarget& CreateProgramModule(const dsTarget& descriptor)
{
    if (!g_programModule) {
        g_programModule = XTarget::Create(descriptor); // creates the registry first
        std::atexit(&UnregisterProgramModule);         // so this handler runs before the registry's
    }
    return *g_programModule;
}

XTarget* GetProgramModule() { return g_programModule; }

} // namespace vorn
