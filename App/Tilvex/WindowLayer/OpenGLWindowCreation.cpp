// The creation of OpenGL windows: pixel format, window, context shared with the first
// context, initial state, showing.
#include "Tilvex/WindowLayer/OpenGLWindowCreation.h"
#include "Tilvex/WindowLayer/FrameworkWindowClass.h"
#include "Tilvex/WindowLayer/ViewerWindowCalls.h"
#include <iterator>
#include <string>

namespace vorn {

namespace {

constexpr GlPixelFormat kFormats[] = {
    {8, 8, 24, 8, true}, // the display has no 32-bit depth buffer: 24 is the most asked for
    {8, 8, 24, 0, true},
    {8, 0, 24, 0, true},
    {8, 0, 16, 0, true},
    {5, 0, 16, 0, true},
    {5, 0, 16, 0, false},
};

constexpr uint32_t kOpenGLWindowStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN | WS_CLIPSIBLINGS;
static_assert(kOpenGLWindowStyle == 0x06CF0000);

void ReportCreationFailure(const char* what, const char* why)
{
    xstring text(what);
    if (why && *why) {
        text += ": ";
        text += why;
    }
    ShowPlatformErrorBox(text.c_str());
}

} // namespace

bool SetPixelFormatForOpenGL()
{
    const int32_t chosen = ChooseGlPixelFormat(kFormats, int32_t(std::size(kFormats)));
    if (chosen < 0) {
        ShowPlatformErrorBox("ChoosePixelFormat failed");
        return false;
    }
    if (!SetGlPixelFormat(kFormats[chosen])) {
        ShowPlatformErrorBox("SetPixelFormat failed");
        return false;
    }
    return true;
}

bool OpenGLWnd::Create(OpenGLWnd* window, const Rect2i& rect, const xstring& title)
{
    // A window that cannot draw is not made: the caller ends cleanly instead of running
    // a message loop with no window.
    if (!SetPixelFormatForOpenGL()) return false;
    if (!vnWIN32::CreateWindow(window, title, rect, kOpenGLWindowStyle)) {
        xstring why(GetLastWindowCreationError());
        ReportCreationFailure("CreateWindow failed", why.c_str());
        return false;
    }
    const HWND hwnd = window->m_hWnd;
    window->m_hDC = hwnd;
    std::string error;
    window->m_hGLRC = CreatePlatformGlContext(window->m_hDC, SharedGLContext, &error);
    if (!window->m_hGLRC) {
        ReportCreationFailure("The OpenGL context cannot be created", error.c_str());
        DestroyWindow(hwnd); // the window's messages run as for any window destroyed
        return false;
    }
    MakePlatformGlCurrent(window->m_hDC, window->m_hGLRC);
    window->InitGL(window->m_hDC, window->m_hGLRC);
    vnWIN32::ShowWindow(window);
    MakePlatformGlCurrent(nullptr, nullptr);
    // The first context is the shared one; later ones were made sharing it.
    if (!SharedGLContext) SharedGLContext = window->m_hGLRC;
    return true;
}

} // namespace vorn
