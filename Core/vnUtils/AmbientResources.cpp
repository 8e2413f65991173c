#include "vnUtils/AmbientResources.h"

namespace vorn {

namespace {
thread_local AmbientResourceTable* t_ambientTable = nullptr;
} // namespace

AmbientResourceTable* GetThreadAmbientResourceTable() { return t_ambientTable; }

void SetThreadAmbientResourceTable(AmbientResourceTable* table) { t_ambientTable = table; }

} // namespace vorn
