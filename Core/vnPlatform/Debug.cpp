#include "vnPlatform/Debug.h"
#include <csignal>

namespace vorn {

void DebugBreakTrap() { std::raise(SIGTRAP); }

} // namespace vorn
