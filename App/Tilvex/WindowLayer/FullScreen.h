// Switching a window to full screen and back. Entering saves the window's style, its
// border and its client rectangle on the screen, then makes it borderless, top-most,
// at (0, 0) with the desktop's size; leaving restores the saved style, border,
// position and size. The window stays top-most after leaving.
#pragma once
#include "vnUtils/Geometry.h"
#include "vnWindows/WindowSystem.h"
#include <cstdint>

namespace vorn {

struct FullScreenState {
    bool m_active = false;
    int32_t m_savedStyle = 0;
    int32_t m_savedExStyle = 0;
    // The client area on the screen before entering (right and bottom exclusive).
    Rect2i m_savedRect;
};

void ToggleFullScreen(FullScreenState& state, HWND hwnd);

} // namespace vorn
