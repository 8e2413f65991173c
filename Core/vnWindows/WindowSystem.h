// The window-system calls beneath the framework's window classes, in the shape the
// window code is written against: a window handle is one platform window, whose one
// pointer-sized word (index 0) holds the window object; messages are numbered as on
// Windows and go synchronously to the one window procedure registered for all windows.
// Everything here runs on the thread that owns the windows (the main thread), except
// IsWindow and InvalidateRect, which any thread may call with any handle.
//
// The platform's windows, events, cursor, error boxes and OpenGL contexts
// (vnPlatform/Window.h) come with this header: the window layer of a program reaches the
// window system through it.
#pragma once
#include "vnPlatform/Window.h"
#include "vnUtils/Geometry.h"
#include <cstdint>

namespace vorn {

using HWND = PlatformWindow*;
// The drawable of a window: the window itself.
using HDC = PlatformWindow*;
using HGLRC = PlatformGlContext*;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using WNDPROC = LRESULT (*)(HWND hwnd, uint32_t msg, WPARAM wParam, LPARAM lParam);

// One message: the window it is for, its number and its two words.
struct MSG {
    HWND hwnd = nullptr;
    uint32_t message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
};

// Message numbers (the Windows values).
constexpr uint32_t WM_NULL = 0x0000;
constexpr uint32_t WM_CREATE = 0x0001;
constexpr uint32_t WM_DESTROY = 0x0002;
constexpr uint32_t WM_SIZE = 0x0005;
constexpr uint32_t WM_SETFOCUS = 0x0007;
constexpr uint32_t WM_KILLFOCUS = 0x0008;
constexpr uint32_t WM_PAINT = 0x000F;
constexpr uint32_t WM_CLOSE = 0x0010;
constexpr uint32_t WM_QUIT = 0x0012;
constexpr uint32_t WM_ERASEBKGND = 0x0014;
constexpr uint32_t WM_GETMINMAXINFO = 0x0024;
constexpr uint32_t WM_NCDESTROY = 0x0082;
constexpr uint32_t WM_KEYDOWN = 0x0100;
constexpr uint32_t WM_KEYUP = 0x0101;
constexpr uint32_t WM_CHAR = 0x0102;
constexpr uint32_t WM_DEADCHAR = 0x0103;
constexpr uint32_t WM_SYSKEYDOWN = 0x0104;
constexpr uint32_t WM_SYSKEYUP = 0x0105;
constexpr uint32_t WM_SYSCHAR = 0x0106;
constexpr uint32_t WM_SYSDEADCHAR = 0x0107;
constexpr uint32_t WM_COMMAND = 0x0111;
constexpr uint32_t WM_TIMER = 0x0113;
constexpr uint32_t WM_HSCROLL = 0x0114;
constexpr uint32_t WM_VSCROLL = 0x0115;
constexpr uint32_t WM_MOUSEMOVE = 0x0200;
constexpr uint32_t WM_LBUTTONDOWN = 0x0201;
constexpr uint32_t WM_LBUTTONUP = 0x0202;
constexpr uint32_t WM_LBUTTONDBLCLK = 0x0203;
constexpr uint32_t WM_RBUTTONDOWN = 0x0204;
constexpr uint32_t WM_RBUTTONUP = 0x0205;
constexpr uint32_t WM_RBUTTONDBLCLK = 0x0206;
constexpr uint32_t WM_MBUTTONDOWN = 0x0207;
constexpr uint32_t WM_MBUTTONUP = 0x0208;
constexpr uint32_t WM_MBUTTONDBLCLK = 0x0209;
constexpr uint32_t WM_MOUSEWHEEL = 0x020A;
constexpr uint32_t WM_CAPTURECHANGED = 0x0215;
constexpr uint32_t WM_RENDERFORMAT = 0x0305;
constexpr uint32_t WM_RENDERALLFORMATS = 0x0306;
constexpr uint32_t WM_DESTROYCLIPBOARD = 0x0307;
constexpr uint32_t WM_DRAWCLIPBOARD = 0x0308;
constexpr uint32_t WM_PAINTCLIPBOARD = 0x0309;
constexpr uint32_t WM_CHANGECBCHAIN = 0x030D;
constexpr uint32_t WM_USER = 0x0400;

// Key-state flags of mouse messages.
constexpr uint32_t MK_LBUTTON = 0x0001;
constexpr uint32_t MK_RBUTTON = 0x0002;
constexpr uint32_t MK_SHIFT = 0x0004;
constexpr uint32_t MK_CONTROL = 0x0008;
constexpr uint32_t MK_MBUTTON = 0x0010;

// WM_SIZE kinds.
constexpr WPARAM SIZE_RESTORED = 0;
constexpr WPARAM SIZE_MINIMIZED = 1;

// Flags in the high word of a key message's lParam.
constexpr uint32_t KF_ALTDOWN = 0x2000;
constexpr uint32_t KF_REPEAT = 0x4000;
constexpr uint32_t KF_UP = 0x8000;

// The wheel delta of one notch.
constexpr int32_t WHEEL_DELTA = 120;

// Packing and unpacking of the 16-bit halves of message words; the signed forms
// sign-extend, so coordinates left of or above a window come out negative.
constexpr uint32_t LoWord(uintptr_t v) { return uint32_t(v & 0xFFFF); }
constexpr uint32_t HiWord(uintptr_t v) { return uint32_t((v >> 16) & 0xFFFF); }
constexpr int32_t LoWordSigned(uintptr_t v) { return int32_t(int16_t(uint16_t(v & 0xFFFF))); }
constexpr int32_t HiWordSigned(uintptr_t v) { return int32_t(int16_t(uint16_t((v >> 16) & 0xFFFF))); }
constexpr uintptr_t MakeLong(int32_t lo, int32_t hi) { return uintptr_t((uint32_t(lo) & 0xFFFF) | ((uint32_t(hi) & 0xFFFF) << 16)); }

// The procedure that receives the messages of every window; null until registered.
void SetWindowClassProcedure(WNDPROC proc);
WNDPROC GetWindowClassProcedure();

// Calls the window procedure now; 0 when there is none or hwnd is not a window.
LRESULT SendMessageW(HWND hwnd, uint32_t msg, WPARAM wParam, LPARAM lParam);
// The default handling: WM_CLOSE destroys the window; every message gives 0.
LRESULT DefWindowProcW(HWND hwnd, uint32_t msg, WPARAM wParam, LPARAM lParam);

// Any thread: true while hwnd is a live window.
bool IsWindow(HWND hwnd);
// Sends WM_DESTROY and then WM_NCDESTROY, then destroys the window; false when hwnd
// is not a window (or is already being destroyed). StopWindowSystem destroys the
// windows still open this way.
bool DestroyWindow(HWND hwnd);
// Destroys every window still open as DestroyWindow does, so that each object lets go
// of what it holds while the window system still runs (StopWindowSystem does this too).
void DestroyAllWindows();

// Window word 0 (the window object); SetWindowLongPtrW returns the previous value.
intptr_t SetWindowLongPtrW(HWND hwnd, int32_t index, intptr_t value);
intptr_t GetWindowLongPtrW(HWND hwnd, int32_t index);

// The client area as (0, 0, width, height); false (rect untouched) for a non-window.
bool GetClientRect(HWND hwnd, Rect2i* rect);
// Converts between screen and client coordinates; false for a non-window.
bool ScreenToClient(HWND hwnd, Point2i* point);
bool ClientToScreen(HWND hwnd, Point2i* point);
// Any thread: asks for a WM_PAINT of the whole client area; requests made before the
// paint are merged into one. False for a non-window.
bool InvalidateRect(HWND hwnd);

// The system cursors (ids as on Windows).
using HCURSOR = uintptr_t;
constexpr uintptr_t IDC_ARROW = 32512;
constexpr uintptr_t IDC_SIZEALL = 32646;
constexpr uintptr_t IDC_HAND = 32649;
HCURSOR LoadCursorW(void* instance, uintptr_t id);
// Shows the cursor (unknown ids show the arrow); returns the previous one (0 before the
// first call).
HCURSOR SetCursor(HCURSOR cursor);

} // namespace vorn
