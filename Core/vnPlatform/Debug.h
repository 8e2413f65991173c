// Debugging aids.
#pragma once

namespace vorn {

// Raises a breakpoint trap (SIGTRAP): a debugger takes it and may resume after it;
// without one the process ends.
void DebugBreakTrap();

} // namespace vorn
