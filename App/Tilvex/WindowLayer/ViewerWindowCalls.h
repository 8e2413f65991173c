// Traced window calls of the viewer on a window object's handle. Each writes its own
// name to the trace first ("vnWIN32::ShowWindow()\n", ...) when vorn::TraceWindowCalls
// is on; failures are not reported.
#pragma once
#include <cstdint>

namespace vorn {
class BaseWnd;
}

namespace vnWIN32 {

// Shows the window; true when it was visible before.
bool ShowWindow(vorn::BaseWnd* window);
// Starts the window's timer 1 with a period of ms; returns the timer id, 0 on failure.
uint32_t SetTimer(vorn::BaseWnd* window, uint32_t ms);
void KillTimer(vorn::BaseWnd* window, uint32_t id);

} // namespace vnWIN32
