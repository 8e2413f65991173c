// Start-up registration of the image model's module, once per process: the persistence
// side of the framework (the core module with the object-space items), the image module
// and the utility-and-window module, then the model's own items in this order, each
// skipped when its name is registered already: vorn::IImageTileCalculator,
// vorn::ITilvexViewer, vorn::TilvexCalculatorProgress, vorn::TilvexCalculatorSettings,
// vorn::Tilvex, vorn::TilvexCalculator, vorn::CreateTilvexCalculator, vorn::TilvexNode.
// Both programs call it with their module record ("Vorn/App/Tilvex/Tilvexgen" in the
// builder, "Vorn/App/Tilvex" in the viewer). It starts no window system.
#pragma once
#include "vnReflection/XTarget.h"

namespace vorn {

void InitTilvexModule(XTarget& module);
ReflectedItemTable GetTilvexModuleItems();

} // namespace vorn
