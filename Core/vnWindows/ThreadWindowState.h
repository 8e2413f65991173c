// The message being dispatched on the calling thread: the window procedure records
// each message here before it calls a handler, and the handlers' default behaviour
// passes it on unchanged. One record per thread, zeroed on first use; records live
// until the process ends.
#pragma once
#include "vnWindows/WindowSystem.h"

namespace vorn {

using ThreadWindowState = MSG;

ThreadWindowState& GetThreadWindowState();

} // namespace vorn
