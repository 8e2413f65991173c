#include "Tilvex/WindowLayer/FrameworkWindowClass.h"
#include "Tilvex/WindowLayer/DeviceContextHolder.h"
#include "Tilvex/WindowLayer/MessageLoop.h"
#include "Tilvex/WindowLayer/MessageNames.h"
#include "vnWindows/WindowSystem.h"
#include "vnUtils/Trace.h"
#include "vnWindows/ThreadWindowState.h"
#include "vnWindows/WindowCalls.h"
#include <cstdio>
#include <string>

namespace vorn {

bool TraceWindowMessages = false;
bool TraceWindowMessageEnds = false;

namespace {

constexpr ATOM kFrameworkClassAtom = 0xC000;
constexpr int kTraceStep = 2;

bool g_registered = false;

// Set just before a window is made; the first message the window receives binds it.
thread_local BaseWnd* t_windowUnderConstruction = nullptr;
thread_local xstring t_lastCreationError;

void TraceMessage(const char* prefix, HWND hwnd, uint32_t msg, WPARAM w, LPARAM l)
{
    TraceStream t;
    t << prefix << FormatMessageLine(hwnd, msg, w, l);
}

EMouseEventType ClientMouseKind(uint32_t msg)
{
    switch (msg) {
    case WM_MOUSEMOVE: return MOVE;
    case WM_LBUTTONDOWN: return LBUTTON_DOWN;
    case WM_LBUTTONUP: return LBUTTON_UP;
    case WM_LBUTTONDBLCLK: return LBUTTON_DBL_CLICK;
    case WM_RBUTTONDOWN: return RBUTTON_DOWN;
    case WM_RBUTTONUP: return RBUTTON_UP;
    case WM_RBUTTONDBLCLK: return RBUTTON_DBL_CLICK;
    case WM_MBUTTONDOWN: return MBUTTON_DOWN;
    case WM_MBUTTONUP: return MBUTTON_UP;
    case WM_MBUTTONDBLCLK: return MBUTTON_DBL_CLICK;
    default: return UNINITIALISED;
    }
}

LRESULT OnKey(BaseWnd* w, EWindowsKeyEvent kind, WPARAM wParam, LPARAM lParam)
{
    WindowsKeyEvent e;
    e.keyEvent = kind;
    e.vkeyOrChar = uint32_t(wParam);
    e.cRepeat = LoWordSigned(uintptr_t(lParam));
    e.nFlags = HiWord(uintptr_t(lParam));
    w->OnKey(e);
    return 0;
}

// Ends a paint also when the handler throws (the holder lets the context go first).
struct PaintScope {
    DeviceContextHolder holder;
    explicit PaintScope(HWND hwnd) { holder.Attach(hwnd); }
    ~PaintScope() { holder.Detach(); }
};

// Calls w's handler for msg. After WM_NCDESTROY, and after any handler that may have
// destroyed the window (and so deleted w), w is not touched again.
LRESULT Dispatch(BaseWnd* w, HWND hwnd, uint32_t msg, WPARAM wParam, LPARAM lParam)
{
    if (msg >= WM_USER) return w->OnUserMessage(msg, wParam, lParam);
    switch (msg) {
    case WM_CREATE: return w->OnCreate(lParam);
    case WM_DESTROY: w->OnDestroy(); return 0;
    case WM_SIZE: w->OnSize(wParam, LoWordSigned(uintptr_t(lParam)), HiWordSigned(uintptr_t(lParam))); return 0;
    case WM_SETFOCUS: w->OnSetFocus(reinterpret_cast<HWND>(wParam)); return 0;
    case WM_KILLFOCUS: w->OnKillFocus(reinterpret_cast<HWND>(wParam)); return 0;
    case WM_PAINT: {
        Rect2i update;
        GetClientRect(hwnd, &update);
        PaintScope paint(hwnd);
        w->OnPaint(&paint.holder, update);
        return 0;
    }
    case WM_CLOSE: w->OnClose(); return 0;
    case WM_ERASEBKGND: return 1;
    case WM_GETMINMAXINFO: w->OnGetMinMaxInfo(lParam); return 0;
    case WM_NCDESTROY:
        // The object deletes itself here: the window forgets it, and its timers, first.
        SetWindowLongPtrW(hwnd, 0, 0);
        KillTimersOf(hwnd);
        w->OnNcDestroy();
        return 0;
    case WM_KEYDOWN: return OnKey(w, WND_KEY_DOWN, wParam, lParam);
    case WM_KEYUP: return OnKey(w, WND_KEY_UP, wParam, lParam);
    case WM_CHAR: return OnKey(w, WND_KEY_CHAR, wParam, lParam);
    case WM_SYSKEYDOWN: return OnKey(w, WND_SYS_KEY_DOWN, wParam, lParam);
    case WM_SYSKEYUP: return OnKey(w, WND_SYS_KEY_UP, wParam, lParam);
    case WM_SYSCHAR: return OnKey(w, WND_SYS_KEY_CHAR, wParam, lParam);
    case WM_COMMAND: w->OnCommand(HiWord(wParam), LoWord(wParam), lParam); return 0;
    case WM_TIMER: w->OnTimer(wParam); return 0;
    case WM_HSCROLL: w->OnHScroll(LoWord(wParam), HiWord(wParam), lParam); return 0;
    case WM_VSCROLL: w->OnVScroll(LoWord(wParam), HiWord(wParam), lParam); return 0;
    case WM_MOUSEMOVE:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP:
    case WM_RBUTTONDBLCLK:
    case WM_MBUTTONDOWN:
    case WM_MBUTTONUP:
    case WM_MBUTTONDBLCLK:
        w->OnMouse(ClientMouseKind(msg), uint32_t(wParam), 0,
                   Point2i(LoWordSigned(uintptr_t(lParam)), HiWordSigned(uintptr_t(lParam))));
        return 0;
    case WM_MOUSEWHEEL:
        w->OnMouse(WHEEL, LoWord(wParam), HiWordSigned(wParam),
                   Point2i(LoWordSigned(uintptr_t(lParam)), HiWordSigned(uintptr_t(lParam))));
        return 0;
    case WM_CAPTURECHANGED: w->OnMouse(LOSE_CAPTURE, 0, 0, Point2i(0, 0)); return 0;
    case WM_RENDERFORMAT: w->OnRenderFormat(wParam); return 0;
    case WM_RENDERALLFORMATS: w->OnRenderAllFormats(); return 0;
    case WM_DESTROYCLIPBOARD: w->OnDestroyClipboard(); return 0;
    case WM_DRAWCLIPBOARD: w->OnDrawClipboard(); return 0;
    case WM_CHANGECBCHAIN: w->OnChangeCbChain(wParam, lParam); return 0;
    case WM_PAINTCLIPBOARD: w->OnPaintClipboard(wParam, reinterpret_cast<void*>(lParam)); return 0;
    default: return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

} // namespace

ATOM RegisterFrameworkWindowClass(HINSTANCE)
{
    if (g_registered && IsWindowSystemStarted()) return kFrameworkClassAtom;
    std::string error;
    if (!StartWindowSystem(&error)) {
        std::fprintf(stderr, "The window class cannot be registered: %s\n", error.c_str());
        std::fflush(stderr);
        return 0;
    }
    SetWindowClassProcedure(&VornWndProc);
    g_registered = true;
    return kFrameworkClassAtom;
}

const xstring& GetLastWindowCreationError() { return t_lastCreationError; }

LRESULT VornWndProc(HWND hwnd, uint32_t msg, WPARAM wParam, LPARAM lParam)
{
    const int indent = GetTraceIndent();
    if (TraceWindowMessages) {
        SetTraceIndent(indent + kTraceStep);
        TraceMessage("Begin VornWnd WndProc Message : ", hwnd, msg, wParam, lParam);
        SetTraceIndent(indent + 2 * kTraceStep);
    }
    BaseWnd* w;
    if (t_windowUnderConstruction) {
        w = t_windowUnderConstruction;
        t_windowUnderConstruction = nullptr;
        w->m_hWnd = hwnd;
        TraceWindowCall("vnWIN32::SetWindowLong()\n");
        SetWindowLongPtrW(hwnd, 0, reinterpret_cast<intptr_t>(w));
    } else {
        TraceWindowCall("vnWIN32::GetWindowLong()\n");
        w = reinterpret_cast<BaseWnd*>(GetWindowLongPtrW(hwnd, 0));
    }
    ThreadWindowState& state = GetThreadWindowState();
    state = ThreadWindowState{hwnd, msg, wParam, lParam};
    struct IndentRestore {
        int indent;
        ~IndentRestore() { SetTraceIndent(indent); }
    } restore{indent};
    // A window never bound (or whose object is gone) gets the default handling only.
    const LRESULT result = w ? Dispatch(w, hwnd, msg, wParam, lParam) : DefWindowProcW(hwnd, msg, wParam, lParam);
    if (TraceWindowMessageEnds) TraceMessage("End VornWnd WndProc Message : ", hwnd, msg, wParam, lParam);
    return result;
}

} // namespace vorn

namespace vnWIN32 {

bool CreateWindow(vorn::BaseWnd* window, const vorn::xstring& title, const vorn::Rect2i& rect, uint32_t style)
{
    using namespace vorn;
    TraceWindowCall("vnWIN32::CreateWindow()\n");
    t_lastCreationError.clear();
    if (GetWindowClassProcedure() != &VornWndProc) {
        t_lastCreationError = "the window class is not registered";
        return false;
    }
    xstring name(title);
    std::string error;
    HWND hwnd = CreatePlatformWindow(name.c_str(), rect.x1, rect.y1, rect.Width(), rect.Height(), &error);
    if (!hwnd) {
        t_lastCreationError = error.c_str();
        return false;
    }
    if (!(style & WS_CAPTION)) SetPlatformWindowBordered(hwnd, false);
    t_windowUnderConstruction = window;
    const LRESULT created = SendMessageW(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(window));
    t_windowUnderConstruction = nullptr;
    if (created == -1 || !IsWindow(hwnd)) {
        t_lastCreationError = "the window refused its creation";
        DestroyWindow(hwnd);
        return false;
    }
    // The window system reports no first size: the window gets it here.
    int32_t w = 0, h = 0;
    GetPlatformClientSize(hwnd, &w, &h);
    SendMessageW(hwnd, WM_SIZE, SIZE_RESTORED, LPARAM(MakeLong(w, h)));
    if ((style & WS_VISIBLE) && IsWindow(hwnd)) ShowPlatformWindow(hwnd);
    return IsWindow(hwnd);
}

} // namespace vnWIN32
