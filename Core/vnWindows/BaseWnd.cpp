#include "vnWindows/BaseWnd.h"
#include "vnWindows/ThreadWindowState.h"
#include "vnWindows/WindowCalls.h"

namespace vorn {

LRESULT BaseWnd::CallDefault()
{
    const ThreadWindowState& s = GetThreadWindowState();
    return DefWindowProcW(s.hwnd, s.message, s.wParam, s.lParam);
}

void BaseWnd::Destroy()
{
    if (m_hWnd) vnWIN32::DestroyWindow(this);
}

LRESULT BaseWnd::OnUserMessage(uint32_t, WPARAM, LPARAM) { return 0; }
LRESULT BaseWnd::OnTimer(WPARAM) { return CallDefault(); }
LRESULT BaseWnd::OnCreate(LPARAM) { return CallDefault(); }
void BaseWnd::OnClose() { Destroy(); }
void BaseWnd::OnDestroy() { CallDefault(); }

void BaseWnd::OnNcDestroy()
{
    m_hWnd = nullptr;
    delete this;
}

void BaseWnd::OnSize(WPARAM, int32_t, int32_t) { CallDefault(); }
void BaseWnd::OnGetMinMaxInfo(LPARAM) { CallDefault(); }
void BaseWnd::OnSetFocus(HWND) { CallDefault(); }
void BaseWnd::OnKillFocus(HWND) { CallDefault(); }
LRESULT BaseWnd::OnKey(const WindowsKeyEvent&) { return CallDefault(); }
LRESULT BaseWnd::OnMouse(EMouseEventType, uint32_t, int32_t, Point2i) { return CallDefault(); }
void BaseWnd::OnRenderFormat(WPARAM) { CallDefault(); }
void BaseWnd::OnRenderAllFormats() { CallDefault(); }
void BaseWnd::OnDestroyClipboard() { CallDefault(); }
void BaseWnd::OnDrawClipboard() { CallDefault(); }
void BaseWnd::OnChangeCbChain(WPARAM, LPARAM) { CallDefault(); }
void BaseWnd::OnPaintClipboard(WPARAM, void*) { CallDefault(); }
void BaseWnd::OnCommand(uint32_t, uint32_t, LPARAM) { CallDefault(); }
void BaseWnd::OnHScroll(uint32_t, uint32_t, LPARAM) { CallDefault(); }
void BaseWnd::OnVScroll(uint32_t, uint32_t, LPARAM) { CallDefault(); }

} // namespace vorn
