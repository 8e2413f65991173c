// The framework's one window class: its registration, its window procedure, which binds
// each window to its object and calls the object's handler for each message, and the
// creation of a window for an object. A window is created hidden; it then receives
// WM_CREATE, which binds it, and a first WM_SIZE with its client size, and is shown
// only when its style asks for it (WS_VISIBLE) or by vnWIN32::ShowWindow.
#pragma once
#include "vnUtils/XString.h"
#include "vnWindows/BaseWnd.h"
#include <cstdint>

namespace vorn {

using HINSTANCE = void*;
using ATOM = uint16_t;

// The class's registered name.
constexpr const char16_t kFrameworkWindowClassName[] = u"VornWndCls2000";

// Window styles.
constexpr uint32_t WS_VISIBLE = 0x10000000;
constexpr uint32_t WS_CAPTION = 0x00C00000;
constexpr uint32_t WS_THICKFRAME = 0x00040000;
constexpr uint32_t WS_OVERLAPPEDWINDOW = 0x00CF0000;
constexpr uint32_t WS_CLIPSIBLINGS = 0x04000000;
constexpr uint32_t WS_CLIPCHILDREN = 0x02000000;

// Starts the window system and registers the class (the window system here needs no
// instance handle: instance is not used). Returns the class atom, the same one when
// called again (starting the window system again if it was stopped), or 0 (after a
// line on standard error saying why) when the window system cannot start: with no
// display that happens unless a driver was chosen explicitly (SDL_VIDEODRIVER).
ATOM RegisterFrameworkWindowClass(HINSTANCE instance);

// The class's window procedure.
LRESULT VornWndProc(HWND hwnd, uint32_t msg, WPARAM wParam, LPARAM lParam);

// Diagnostics of the window procedure, off by default: each message's line at the
// start ("Begin VornWnd WndProc Message : ") and at the end ("End VornWnd WndProc
// Message : "). The trace of window calls is vorn::TraceWindowCalls.
extern bool TraceWindowMessages;
extern bool TraceWindowMessageEnds;

// Why the last window creation on this thread failed ("" after a success).
const xstring& GetLastWindowCreationError();

} // namespace vorn

namespace vnWIN32 {

// Creates a window of the framework class for window: rect is its client area on the
// screen (left, top, right, bottom; right and bottom exclusive), title UTF-8. True when
// the window exists afterwards: it is then bound to window (window->m_hWnd set).
// False when the class is not registered, the window system refused, or OnCreate
// returned -1 (the window is then destroyed again).
bool CreateWindow(vorn::BaseWnd* window, const vorn::xstring& title, const vorn::Rect2i& rect, uint32_t style);

} // namespace vnWIN32
