#include "Tilvex/WindowLayer/ViewerWindowCalls.h"
#include "Tilvex/WindowLayer/MessageLoop.h"
#include "vnWindows/BaseWnd.h"
#include "vnWindows/WindowCalls.h"

namespace vnWIN32 {

bool ShowWindow(vorn::BaseWnd* window)
{
    vorn::TraceWindowCall("vnWIN32::ShowWindow()\n");
    if (!vorn::IsWindow(window->m_hWnd)) return false;
    return vorn::ShowPlatformWindow(window->m_hWnd);
}

uint32_t SetTimer(vorn::BaseWnd* window, uint32_t ms)
{
    vorn::TraceWindowCall("vnWIN32::SetTimer()\n");
    return vorn::SetTimer(window->m_hWnd, 1, ms);
}

void KillTimer(vorn::BaseWnd* window, uint32_t id)
{
    vorn::TraceWindowCall("vnWIN32::KillTimer()\n");
    vorn::KillTimer(window->m_hWnd, id);
}

} // namespace vnWIN32
