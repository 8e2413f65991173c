// A window as an object: the virtual operations are the handlers of the window's
// messages, which the framework's window procedure calls. A handler that is not
// overridden passes the thread's current message (ThreadWindowState) to the default
// handling. The object exists before its window, is bound to the window by the first
// message the window receives, and by default deletes itself when the window is gone
// (OnNcDestroy); classes whose objects are owned elsewhere override that.
// Objects are used only on the thread that made their window.
#pragma once
#include "vnUtils/Geometry.h"
#include "vnWindows/WindowEvents.h"
#include "vnWindows/WindowSystem.h"

namespace vorn {

class DeviceContextHolder;

class BaseWnd {
public:
    BaseWnd() = default;
    // Frees the object; does not destroy the window.
    virtual ~BaseWnd() = default;
    BaseWnd(const BaseWnd&) = delete;
    BaseWnd& operator=(const BaseWnd&) = delete;

    // Destroys the window, if there is one.
    virtual void Destroy();
    // Messages at or above WM_USER; returns 0.
    virtual LRESULT OnUserMessage(uint32_t msg, WPARAM wParam, LPARAM lParam);
    virtual LRESULT OnTimer(WPARAM id);
    virtual LRESULT OnCreate(LPARAM createData);
    // Calls Destroy.
    virtual void OnClose();
    virtual void OnDestroy();
    // Clears the window handle, then deletes the object.
    virtual void OnNcDestroy();
    virtual void OnSize(WPARAM type, int32_t width, int32_t height);
    virtual void OnGetMinMaxInfo(LPARAM info);
    // Draws the update rectangle of the client area; every window class supplies it.
    virtual void OnPaint(DeviceContextHolder* dc, const Rect2i& update) = 0;
    virtual void OnSetFocus(HWND lostFocus);
    virtual void OnKillFocus(HWND gainsFocus);
    virtual LRESULT OnKey(const WindowsKeyEvent& event);
    // kind; key flags (MK_...); wheel delta (0 but for WHEEL); the point, in client
    // coordinates except for WHEEL, whose point is in screen coordinates.
    virtual LRESULT OnMouse(EMouseEventType kind, uint32_t keyFlags, int32_t zDelta, Point2i point);
    virtual void OnRenderFormat(WPARAM format);
    virtual void OnRenderAllFormats();
    virtual void OnDestroyClipboard();
    virtual void OnDrawClipboard();
    virtual void OnChangeCbChain(WPARAM removed, LPARAM next);
    virtual void OnPaintClipboard(WPARAM viewer, void* paint);
    virtual void OnCommand(uint32_t notifyCode, uint32_t id, LPARAM control);
    virtual void OnHScroll(uint32_t code, uint32_t position, LPARAM control);
    virtual void OnVScroll(uint32_t code, uint32_t position, LPARAM control);

    // Null before the window is made and after its final message.
    HWND m_hWnd = nullptr;

protected:
    // DefWindowProcW of the thread's current message.
    static LRESULT CallDefault();
};

} // namespace vorn
