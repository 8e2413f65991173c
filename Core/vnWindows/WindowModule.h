// Start-up registration of the image module and of the utility-and-window module,
// each once per process (later calls return at once). Both first register the core
// framework module (with the object-space items) and the 2-D geometry types, once
// for both.
//   InitImageModuleReflection: vorn::JpegImage, vorn::ResDIB.
//   InitUtilsModuleReflection: the image module; the ambient-resource items; the key,
//     size and mouse event types and the view interfaces; vorn::Dib32,
//     vorn::GdiPlusRasterImage; vorn::OpenGLWnd; vorn::OpenGLWndForView; vorn::coord_t.
// A name already registered is skipped.
#pragma once
#include "vnReflection/OrderedSearch.h"
#include "vnReflection/Records.h"
#include "vnReflection/XTarget.h"

namespace vorn {

void InitImageModuleReflection(XTarget& module);
void InitUtilsModuleReflection(XTarget& module);

ReflectedItemTable GetImageModuleItems();
ReflectedItemTable GetUtilsModuleItems();

// Registers the table's items in order, skipping each whose name is registered
// already (by this or any other record).
void RegisterReflectedItemsOnce(XTarget& module, const ReflectedItemTable& table);

// The record of a reflected class or struct T, written beside it.
template <class T>
constexpr ReflectedClass MakeClassRecord(const char* name, int32_t flags, const TypeOps& ops, StringTable names,
                                         const ReflectedField* fields = nullptr, int32_t numFields = 0,
                                         const ReflectedClassMethod* methods = nullptr, int32_t numMethods = 0,
                                         ClassFactory factory = nullptr)
{
    ReflectedClass rc{};
    rc.m_flags = flags;
    rc.m_name = name;
    rc.m_size = int32_t(sizeof(T));
    rc.m_fields = fields;
    rc.m_numFields = numFields;
    rc.m_methods = methods;
    rc.m_numMethods = numMethods;
    rc.m_stringTable = names;
    rc.m_factory = factory;
    rc.m_typeOps = ops;
    return rc;
}

} // namespace vorn
