#include "vnReflection/IObject.h"
#include "vnReflection/Records.h"
#include "vnUtils/TextWriter.h"
#include <atomic>
#include <cstring>

namespace vorn {

namespace {
std::atomic<CreateRegistrationHook> g_createHook{nullptr};
}

CreateRegistrationHook SetCreateRegistrationHook(CreateRegistrationHook hook) { return g_createHook.exchange(hook); }

CreateRegistrationHook GetCreateRegistrationHook() { return g_createHook.load(); }

bool IsInterface(const ReflectedInterface& asked, const ReflectedInterface& which)
{
    return &asked == &which || std::strcmp(asked.GetName(), which.GetName()) == 0;
}

AnyInterface ReflectedClass::Create() const
{
    if (!m_factory) return AnyInterface{nullptr, nullptr};
    const CreateRegistrationHook hook = GetCreateRegistrationHook();
    if (!hook) throw ProgrammingErrorException("ReflectedClass::Create : no object space can take new objects");
    const AnyInterface obj = m_factory();
    bool registered = false;
    try {
        registered = hook(obj);
    } catch (...) {
        static_cast<const IObjectTable*>(obj.m_table)->Destroy(obj.m_object);
        throw;
    }
    if (!registered) {
        static_cast<const IObjectTable*>(obj.m_table)->Destroy(obj.m_object);
        throw ProgrammingErrorException("ReflectedClass::Create : the calling thread has no current object space");
    }
    return obj;
}

void ReflectedClassNotFoundException::Write(TextWriter& w) const
{
    w << "Reflected Class not found : " << m_name;
}

} // namespace vorn
