#include "Tilvex/WindowLayer/FullScreen.h"
#include "Tilvex/WindowLayer/FrameworkWindowClass.h"
#include "vnWindows/WindowSystem.h"

namespace vorn {

void ToggleFullScreen(FullScreenState& state, HWND hwnd)
{
    if (!IsWindow(hwnd)) return;
    if (!state.m_active) {
        state.m_active = true;
        // The only part of the style this platform keeps is the frame.
        state.m_savedStyle = IsPlatformWindowBordered(hwnd) ? int32_t(WS_OVERLAPPEDWINDOW) : 0;
        state.m_savedExStyle = 0;
        int32_t x = 0, y = 0, w = 0, h = 0;
        GetPlatformClientOrigin(hwnd, &x, &y);
        GetPlatformClientSize(hwnd, &w, &h);
        state.m_savedRect = Rect2i(x, y, x + w, y + h);
        int32_t sw = 0, sh = 0;
        GetPlatformDesktopSize(hwnd, &sw, &sh);
        SetPlatformWindowBordered(hwnd, false);
        SetPlatformWindowOnTop(hwnd, true);
        SetPlatformClientPlacement(hwnd, 0, 0, sw, sh);
    } else {
        state.m_active = false;
        SetPlatformWindowBordered(hwnd, (uint32_t(state.m_savedStyle) & WS_CAPTION) != 0);
        SetPlatformWindowOnTop(hwnd, true);
        const Rect2i& r = state.m_savedRect;
        SetPlatformClientPlacement(hwnd, r.x1, r.y1, r.Width(), r.Height());
    }
}

} // namespace vorn
