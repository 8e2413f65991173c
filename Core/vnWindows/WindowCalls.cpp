#include "vnWindows/WindowCalls.h"
#include "vnUtils/Trace.h"
#include "vnWindows/BaseWnd.h"

namespace vorn {

bool TraceWindowCalls = false;

void TraceWindowCall(const char* name)
{
    if (!TraceWindowCalls) return;
    TraceStream t;
    t << name;
}

} // namespace vorn

namespace vnWIN32 {

void DestroyWindow(vorn::BaseWnd* window)
{
    vorn::TraceWindowCall("vnWIN32::DestroyWindow()\n");
    vorn::DestroyWindow(window->m_hWnd);
}

void GetClientRect(const vorn::BaseWnd* window, vorn::Rect2i* rect)
{
    vorn::TraceWindowCall("vnWIN32::GetClientRect()\n");
    *rect = vorn::Rect2i();
    vorn::GetClientRect(window->m_hWnd, rect);
}

void ScreenToClient(const vorn::BaseWnd* window, vorn::Point2i* point)
{
    vorn::TraceWindowCall("vnWIN32::ScreenToClient()\n");
    vorn::ScreenToClient(window->m_hWnd, point);
}

void InvalidateRect(const vorn::BaseWnd* window)
{
    vorn::TraceWindowCall("vnWIN32::InvalidateRect()\n");
    vorn::InvalidateRect(window->m_hWnd);
}

} // namespace vnWIN32
