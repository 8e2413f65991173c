// Shared set-up of the window tests: the window system on the test's display, or on
// the offscreen driver when there is none; error boxes off (their text still goes to
// standard error); and a window that records the handler calls it receives.
#pragma once
#include "Tilvex/WindowLayer/FrameworkWindowClass.h"
#include "Tilvex/WindowLayer/MessageLoop.h"
#include "vnWindows/WindowSystem.h"
#include "vnWindows/OpenGLWnd.h"
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace vorn::test {

inline void StartTestWindowSystem()
{
    const char* display = std::getenv("DISPLAY");
    const char* driver = std::getenv("SDL_VIDEODRIVER");
    if ((!display || !*display) && (!driver || !*driver)) setenv("SDL_VIDEODRIVER", "offscreen", 1);
    EnablePlatformErrorBoxes(false);
    ASSERT_NE(RegisterFrameworkWindowClass(nullptr), 0);
}

struct Call {
    std::string what;
    int64_t a = 0, b = 0, c = 0, d = 0, e = 0;
    bool operator==(const Call& o) const { return what == o.what; }
};

// An OpenGL window that records its handler calls into a list that outlives it.
class RecordingWnd : public OpenGLWnd {
public:
    explicit RecordingWnd(std::vector<Call>* log) : m_log(log) {}
    ~RecordingWnd() override { m_log->push_back({"deleted"}); }

    LRESULT OnUserMessage(uint32_t msg, WPARAM w, LPARAM l) override
    {
        m_log->push_back({"user", msg, int64_t(w), l});
        return 77;
    }
    LRESULT OnTimer(WPARAM id) override
    {
        m_log->push_back({"timer", int64_t(id)});
        return 0;
    }
    LRESULT OnCreate(LPARAM l) override
    {
        m_log->push_back({"create", l, m_hWnd != nullptr});
        if (!m_destroyInCreate) return m_createResult;
        Destroy(); // deletes this
        return 0;
    }
    void OnClose() override
    {
        m_log->push_back({"close"});
        OpenGLWnd::OnClose();
    }
    void OnDestroy() override
    {
        m_log->push_back({"destroy"});
        OpenGLWnd::OnDestroy();
    }
    void OnNcDestroy() override
    {
        m_log->push_back({"ncdestroy"});
        OpenGLWnd::OnNcDestroy();
    }
    void OnSize(WPARAM type, int32_t w, int32_t h) override { m_log->push_back({"size", int64_t(type), w, h}); }
    void OnPaint(DeviceContextHolder* dc, const Rect2i& r) override
    {
        m_log->push_back({"paint", dc != nullptr, r.x2, r.y2});
        OpenGLWnd::OnPaint(dc, r);
    }
    void OnSetFocus(HWND) override { m_log->push_back({"setfocus"}); }
    void OnKillFocus(HWND) override { m_log->push_back({"killfocus"}); }
    LRESULT OnKey(const WindowsKeyEvent& e) override
    {
        m_log->push_back({"key", e.keyEvent, e.vkeyOrChar, e.cRepeat, e.nFlags});
        return 0;
    }
    LRESULT OnMouse(EMouseEventType kind, uint32_t flags, int32_t delta, Point2i p) override
    {
        m_log->push_back({"mouse", kind, flags, delta, p.x, p.y});
        return 0;
    }
    void OnCommand(uint32_t code, uint32_t id, LPARAM ctl) override { m_log->push_back({"command", code, id, ctl}); }

    LRESULT m_createResult = 0;
    bool m_destroyInCreate = false;

private:
    std::vector<Call>* m_log;
};

inline std::vector<std::string> Names(const std::vector<Call>& log)
{
    std::vector<std::string> v;
    for (const Call& c : log) v.push_back(c.what);
    return v;
}

// After a test that failed early: destroys its windows without their objects (whose
// logs are gone by now).
inline void DestroyLeftoverWindows()
{
    for (PlatformWindow* w : GetPlatformWindows()) {
        ADD_FAILURE() << "a test left a window";
        SetWindowLongPtrW(w, 0, 0);
        DestroyWindow(w);
    }
}

// Dispatches what the loop has until nothing arrives for waitMs.
inline int PumpMessages(int32_t waitMs = 50)
{
    int n = 0;
    MSG msg;
    while (PeekMessageW(&msg, waitMs)) {
        DispatchMessageW(&msg);
        ++n;
    }
    return n;
}

} // namespace vorn::test
