#include "vnWindows/WindowSystem.h"
#include "vnPlatform/Window.h"
#include <algorithm>
#include <vector>

namespace vorn {

namespace {

WNDPROC g_classProcedure = nullptr;
HCURSOR g_cursor = 0;
// Windows inside DestroyWindow (main thread only), so that a handler that destroys
// its window again while it is being destroyed changes nothing.
std::vector<HWND> g_destroying;

// Stopping the window system destroys the windows still open as DestroyWindow does:
// their objects hear of it and let go of what they hold (an OpenGL window its context).
[[maybe_unused]] const bool g_stopHandlerInstalled = (SetWindowSystemStopHandler(&DestroyAllWindows), true);

} // namespace

void DestroyAllWindows()
{
    for (HWND hwnd : GetPlatformWindows()) DestroyWindow(hwnd);
}

void SetWindowClassProcedure(WNDPROC proc) { g_classProcedure = proc; }
WNDPROC GetWindowClassProcedure() { return g_classProcedure; }

LRESULT SendMessageW(HWND hwnd, uint32_t msg, WPARAM wParam, LPARAM lParam)
{
    if (!g_classProcedure || !IsWindow(hwnd)) return 0;
    return g_classProcedure(hwnd, msg, wParam, lParam);
}

LRESULT DefWindowProcW(HWND hwnd, uint32_t msg, WPARAM, LPARAM)
{
    if (msg == WM_CLOSE) DestroyWindow(hwnd);
    return 0;
}

bool IsWindow(HWND hwnd) { return hwnd && IsPlatformWindow(hwnd); }

bool DestroyWindow(HWND hwnd)
{
    if (!IsWindow(hwnd)) return false;
    if (std::find(g_destroying.begin(), g_destroying.end(), hwnd) != g_destroying.end()) return false;
    g_destroying.push_back(hwnd);
    SendMessageW(hwnd, WM_DESTROY, 0, 0);
    SendMessageW(hwnd, WM_NCDESTROY, 0, 0);
    // The object may be gone now (WM_NCDESTROY deletes it): the window forgets it.
    SetPlatformWindowData(hwnd, nullptr);
    DestroyPlatformWindow(hwnd);
    g_destroying.erase(std::find(g_destroying.begin(), g_destroying.end(), hwnd));
    return true;
}

intptr_t SetWindowLongPtrW(HWND hwnd, int32_t index, intptr_t value)
{
    if (index != 0 || !IsWindow(hwnd)) return 0;
    const intptr_t old = reinterpret_cast<intptr_t>(GetPlatformWindowData(hwnd));
    SetPlatformWindowData(hwnd, reinterpret_cast<void*>(value));
    return old;
}

intptr_t GetWindowLongPtrW(HWND hwnd, int32_t index)
{
    if (index != 0 || !IsWindow(hwnd)) return 0;
    return reinterpret_cast<intptr_t>(GetPlatformWindowData(hwnd));
}

bool GetClientRect(HWND hwnd, Rect2i* rect)
{
    if (!IsWindow(hwnd)) return false;
    int32_t w = 0, h = 0;
    GetPlatformClientSize(hwnd, &w, &h);
    *rect = Rect2i(0, 0, w, h);
    return true;
}

bool ScreenToClient(HWND hwnd, Point2i* point)
{
    if (!IsWindow(hwnd)) return false;
    int32_t x = 0, y = 0;
    GetPlatformClientOrigin(hwnd, &x, &y);
    point->x -= x;
    point->y -= y;
    return true;
}

bool ClientToScreen(HWND hwnd, Point2i* point)
{
    if (!IsWindow(hwnd)) return false;
    int32_t x = 0, y = 0;
    GetPlatformClientOrigin(hwnd, &x, &y);
    point->x += x;
    point->y += y;
    return true;
}

bool InvalidateRect(HWND hwnd) { return hwnd && RequestPlatformRepaint(hwnd); }

HCURSOR LoadCursorW(void*, uintptr_t id) { return id; }

HCURSOR SetCursor(HCURSOR cursor)
{
    const HCURSOR prev = g_cursor;
    g_cursor = cursor;
    if (IsWindowSystemStarted())
        SetPlatformCursor(cursor == IDC_HAND ? PCURSOR_HAND : cursor == IDC_SIZEALL ? PCURSOR_SIZEALL : PCURSOR_ARROW);
    return prev;
}

} // namespace vorn
