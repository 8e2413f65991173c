// Start-up registration of the persistence module. RegisterPersistModule registers, once
// per process, the core module with the object-space items (RegisterObjectSpaceModule),
// then the B+ tree classes, then the module's own items in a fixed order: the store's
// settings and open modes, the persistence callbacks, the persistable interface and
// header, the OID types and the OID space map, PSpace, PersistStore with its global
// functions, PersistStoreTxn and the space-transaction functions, and last the
// type-operations id. An item whose name the root name space already holds is skipped.
// Programs call it in place of RegisterObjectSpaceModule.
#pragma once
#include "vnReflection/XTarget.h"

namespace vorn {

void RegisterPersistModule(XTarget& module);

// The module's own items in registration order (after the B+ tree classes).
ReflectedItemTable GetPersistModuleItems();
// The B+ tree classes, as the module registers them.
ReflectedItemTable GetBPlusTreeItems();

} // namespace vorn
