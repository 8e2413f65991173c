// The creation of the viewer's OpenGL windows. The window layer defines here
// vorn::OpenGLWnd::Create, which the window class declares (vnWindows/OpenGLWnd.h), and
// the pixel format it sets first: RGBA 8-8-8-8, double buffered, 24-bit depth and 8-bit
// stencil, with fallbacks to less where the display has no such format. The format must
// be set before a window is made, since the display fixes a window's format when it
// creates the window.
#pragma once
#include "vnWindows/OpenGLWnd.h"
#include "vnWindows/WindowSystem.h"

namespace vorn {

// Chooses the first format the display can give and makes it the one of the next
// windows. When none can be had, shows "ChoosePixelFormat failed" in an error box and
// returns false; when it cannot be set, "SetPixelFormat failed".
bool SetPixelFormatForOpenGL();

} // namespace vorn
