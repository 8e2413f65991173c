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

} // namespace vorn
