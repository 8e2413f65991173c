// The window base class's own behaviour over a minimal window procedure, and the
// thread's message record.
#include "vnPlatform/Window.h"
#include "vnWindows/BaseWnd.h"
#include "vnWindows/ThreadWindowState.h"
#include "vnWindows/WindowCalls.h"
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace vorn {
namespace {

std::vector<std::string> g_log;

class LoggingWnd : public BaseWnd {
public:
    ~LoggingWnd() override { g_log.push_back("deleted"); }
    void OnDestroy() override
    {
        g_log.push_back("destroy");
        Destroy(); // again, while being destroyed: changes nothing
    }
    void OnNcDestroy() override
    {
        g_log.push_back("ncdestroy");
        BaseWnd::OnNcDestroy();
    }
    void OnPaint(DeviceContextHolder*, const Rect2i&) override {}
};

// Routes the three messages of closing to the object in window word 0.
LRESULT TestProc(HWND hwnd, uint32_t msg, WPARAM w, LPARAM l)
{
    GetThreadWindowState() = ThreadWindowState{hwnd, msg, w, l};
    auto* wnd = reinterpret_cast<BaseWnd*>(GetWindowLongPtrW(hwnd, 0));
    if (!wnd) return DefWindowProcW(hwnd, msg, w, l);
    switch (msg) {
    case WM_CLOSE: wnd->OnClose(); return 0;
    case WM_DESTROY: wnd->OnDestroy(); return 0;
    case WM_NCDESTROY: wnd->OnNcDestroy(); return 0;
    default: return DefWindowProcW(hwnd, msg, w, l);
    }
}

class BaseWindow : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        const char* display = std::getenv("DISPLAY");
        if (!display || !*display) setenv("SDL_VIDEODRIVER", "offscreen", 1);
        std::string error;
        ASSERT_TRUE(StartWindowSystem(&error)) << error;
        SetWindowClassProcedure(&TestProc);
    }
    static void TearDownTestSuite() { SetWindowClassProcedure(nullptr); }
};

TEST_F(BaseWindow, CloseDestroysOnceAndTheObjectDeletesItself)
{
    g_log.clear();
    auto* w = new LoggingWnd;
    std::string error;
    const HWND h = CreatePlatformWindow("t", 0, 0, 40, 30, &error);
    ASSERT_TRUE(h) << error;
    w->m_hWnd = h;
    SetWindowLongPtrW(h, 0, reinterpret_cast<intptr_t>(w));
    Rect2i r;
    vnWIN32::GetClientRect(w, &r);
    EXPECT_EQ(r, Rect2i(0, 0, 40, 30));

    SendMessageW(h, WM_CLOSE, 0, 0);
    EXPECT_EQ(g_log, (std::vector<std::string>{"destroy", "ncdestroy", "deleted"}));
    EXPECT_FALSE(IsWindow(h));
    EXPECT_FALSE(InvalidateRect(h)); // a stale handle is refused, from any thread
}

TEST_F(BaseWindow, AnObjectWithoutAWindowHasNothingToDestroy)
{
    g_log.clear();
    LoggingWnd w;
    w.Destroy();
    EXPECT_TRUE(g_log.empty());
    Rect2i r(1, 2, 3, 4);
    vnWIN32::GetClientRect(&w, &r);
    EXPECT_EQ(r, Rect2i());
    Point2i p(5, 6);
    vnWIN32::ScreenToClient(&w, &p);
    EXPECT_EQ(p, Point2i(5, 6));
    g_log.clear(); // the destructor's entry
}

TEST(ThreadWindowState, ThreadedRecordsArePerThreadAndStartZeroed)
{
    GetThreadWindowState() = ThreadWindowState{nullptr, WM_SIZE, 1, 2};
    std::vector<ThreadWindowState> seen(4);
    std::vector<ThreadWindowState*> where(4);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&, i] {
            seen[i] = GetThreadWindowState();
            GetThreadWindowState().message = uint32_t(100 + i);
            where[i] = &GetThreadWindowState();
            EXPECT_EQ(GetThreadWindowState().message, uint32_t(100 + i));
        });
    for (auto& t : threads) t.join();
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(seen[i].message, 0u);
        EXPECT_EQ(seen[i].wParam, 0u);
        EXPECT_NE(where[i], &GetThreadWindowState());
    }
    EXPECT_EQ(GetThreadWindowState().message, WM_SIZE);
}

} // namespace
} // namespace vorn
