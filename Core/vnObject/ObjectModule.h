// Start-up of the object-space module. RegisterObjectSpaceModule installs the hooks
// through which reflection registers new objects with the thread's CSpace and reports
// model-field writes to the dependency graph, and puts the module's items into the
// core registration (the object-space group first, the thread-space functions last);
// it then runs the core registration. Call it in place of RegisterCoreModuleReflection
// from every registration that needs the core module; it runs once.
#pragma once
#include "vnReflection/XTarget.h"

namespace vorn {

void RegisterObjectSpaceModule(XTarget& module);
// Only the hooks (for programs and tests that register nothing).
void InstallObjectSpaceHooks();

ReflectedItemTable GetObjectSpaceFirstItems();
ReflectedItemTable GetObjectSpaceLastItems();

} // namespace vorn
