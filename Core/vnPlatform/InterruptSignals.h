// The signals that Interrupt.h catches (every one whose default action ends the process
// and that can be caught). Internal to the platform layer: threads it creates start
// with those that are sent to the process blocked, so that they reach the main thread,
// which acts on them at once.
#pragma once
#include <signal.h>

namespace vorn {

// Adds each of those signals to set but SIGPIPE and SIGXFSZ, which come to the thread
// whose own write met a closed pipe or the file size limit (blocked there, they would
// never be acted on).
void AddProcessInterruptSignals(sigset_t* set);

} // namespace vorn
