// A window drawn with OpenGL: it holds its drawable and its rendering context, and a
// paint is three steps (make the context current, DrawScene, show the frame) after
// which no context is current. The first context made by any window is the shared
// one, whose textures and display lists later contexts share; destroying its window
// clears it, so that the next window's context becomes the shared one.
#pragma once
#include "vnUtils/XString.h"
#include "vnWindows/BaseWnd.h"

namespace vorn {

// The first rendering context of the process still alive, or null.
extern HGLRC SharedGLContext;

class OpenGLWnd : public BaseWnd {
public:
    // Releases the OpenGL state (below); the default handling is not called.
    void OnDestroy() override;
    // Paint and show the frame.
    void OnPaint(DeviceContextHolder* dc, const Rect2i& update) override;
    // Sets the window's initial OpenGL state; called once with the context current,
    // right after the window and its context were made.
    virtual void InitGL(HDC dc, HGLRC context);
    // Draws one frame with the context current.
    virtual void DrawScene();

    // Makes the window (rect: its client area on the screen, x2 and y2 exclusive) and
    // its OpenGL context, initialises it (InitGL) and shows it. The window layer of the
    // program that shows windows defines it (the viewer's: OpenGLWindowCreation.cpp). False, after reporting the failure in an error box, when the
    // window or its context could not be made; the window is then destroyed again
    // (its messages run as for any destroyed window).
    static bool Create(OpenGLWnd* window, const Rect2i& rect, const xstring& title);

    // If the context is SharedGLContext, clears that; deletes the context and lets the
    // drawable go; both become null.
    void ReleaseOpenGLState();

    HDC m_hDC = nullptr;
    HGLRC m_hGLRC = nullptr;
};

} // namespace vorn
