// The registration groups of the framework's core items, each run once per process:
//   RegisterCoreModuleReflection   the reflection module's own records (name spaces,
//                                  module records, the record kinds, IObject, INsNode
//                                  and the interfaces of CoreInterfaces.h, the
//                                  byte-code enums) and the foundation's basic value
//                                  types, typedefs and vorn::ThreadTaskFunctor;
//   RegisterGeometryReflection     the 2-D points and rectangles;
//   RegisterAmbientResourceReflection  vorn::ARN, vorn::AmbientResourceTable and the
//                                  thread's table getter and setter.
// The object-space module (a higher one) hands its two groups to the core registration
// by an explicit call before that runs: the first group goes before the core items, the
// last one after them.
// vorn::coord_t is registered by whichever group lists it (CoordTypedefEntry()).
// The Get...Items tables are the groups' ordered item lists.
#pragma once
#include "vnReflection/XTarget.h"

namespace vorn {

void RegisterCoreModuleReflection(XTarget& module);
void RegisterGeometryReflection(XTarget& module);
void RegisterAmbientResourceReflection(XTarget& module);

ReflectedItemTable GetCoreModuleItems();
void SetCoreModuleObjectSpaceItems(ReflectedItemTable first, ReflectedItemTable last);
// True once RegisterCoreModuleReflection has run.
bool CoreModuleRegistered();
ReflectedItemTable GetGeometryItems();
ReflectedItemTable GetAmbientResourceItems();
ReflectedItemEntry CoordTypedefEntry();

// Records other modules refer to.
const ReflectedInterface& GetIObjectInterfaceRecord();
const ReflectedInterface& GetINsNodeInterfaceRecord();

} // namespace vorn
