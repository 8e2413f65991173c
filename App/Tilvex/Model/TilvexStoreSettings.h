// The settings a pyramid's store is built with: large segments with the file unbuffered,
// a check point every 256 segments and lazy flushing, since the builder flushes once at
// its end. A program that writes a pyramid in the builder's way (the builder, a benchmark
// of tile loading) opens its store with these.
#pragma once
#include "vnPersistStore/PersistStore.h"

namespace vorn {

PersistStoreSettings TilvexStoreSettings();

} // namespace vorn
