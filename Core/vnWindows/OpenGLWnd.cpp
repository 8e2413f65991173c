#include "vnWindows/OpenGLWnd.h"
#include "vnPlatform/Window.h"
#include "vnUtils/Trace.h"

namespace vorn {

HGLRC SharedGLContext = nullptr;

namespace {

// Leaves no context current when a paint ends, also when drawing throws.
struct ReleaseCurrentContext {
    ~ReleaseCurrentContext() { MakePlatformGlCurrent(nullptr, nullptr); }
};

} // namespace

void OpenGLWnd::OnDestroy() { ReleaseOpenGLState(); }

void OpenGLWnd::OnPaint(DeviceContextHolder*, const Rect2i&)
{
    // A window whose context could not be made has nothing to draw with.
    if (!m_hDC || !m_hGLRC || !MakePlatformGlCurrent(m_hDC, m_hGLRC)) return;
    ReleaseCurrentContext release;
    DrawScene();
    SwapPlatformWindow(m_hDC);
}

void OpenGLWnd::InitGL(HDC, HGLRC) {}
void OpenGLWnd::DrawScene() {}

void OpenGLWnd::ReleaseOpenGLState()
{
    if (m_hGLRC && m_hGLRC == SharedGLContext) SharedGLContext = nullptr;
    if (m_hGLRC) DeletePlatformGlContext(m_hGLRC);
    m_hGLRC = nullptr;
    m_hDC = nullptr;
}

} // namespace vorn
