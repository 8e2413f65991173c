// Traced window calls on a window object's handle. Each first writes its own name to
// the trace (for example "vnWIN32::InvalidateRect()\n") when vorn::TraceWindowCalls is
// on, then makes the call; failures are not reported.
#pragma once
#include "vnUtils/Geometry.h"

namespace vorn {

class BaseWnd;

// Off unless a developer turns it on.
extern bool TraceWindowCalls;

// Writes name to the trace as one statement when TraceWindowCalls is on.
void TraceWindowCall(const char* name);

} // namespace vorn

namespace vnWIN32 {

void DestroyWindow(vorn::BaseWnd* window);
// The client rectangle (0, 0, width, height); zeroed first, so it stays empty when
// the window has no handle.
void GetClientRect(const vorn::BaseWnd* window, vorn::Rect2i* rect);
void ScreenToClient(const vorn::BaseWnd* window, vorn::Point2i* point);
// A paint of the whole client area, the background not erased. Any thread.
void InvalidateRect(const vorn::BaseWnd* window);

} // namespace vnWIN32
