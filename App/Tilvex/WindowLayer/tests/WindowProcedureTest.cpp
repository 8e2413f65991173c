// The framework window class on a display (the test's X server, or the offscreen
// driver): creation, dispatch to the handlers, destroy order, the loop's paints,
// timers and capture, and full screen.
#include "Tilvex/WindowLayer/FullScreen.h"
#include "Tilvex/WindowLayer/ViewerWindowCalls.h"
#include "WindowTestSupport.h"
#include "vnUtils/Trace.h"
#include "vnWindows/ThreadWindowState.h"
#include "vnWindows/WindowCalls.h"
#include <algorithm>
#include <csignal>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

namespace vorn {
namespace {

using test::Call;
using test::Names;
using test::PumpMessages;
using test::RecordingWnd;

class WindowProcedure : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test::StartTestWindowSystem(); }
    void SetUp() override { ResetMessageLoop(); }
    void TearDown() override
    {
        test::DestroyLeftoverWindows();
        ResetMessageLoop();
    }

    // A bound window at (100, 100)-(800, 600) whose creation messages are in log.
    RecordingWnd* Make(std::vector<Call>* log, uint32_t style = WS_OVERLAPPEDWINDOW)
    {
        auto* w = new RecordingWnd(log);
        if (!vnWIN32::CreateWindow(w, "test", Rect2i(100, 100, 800, 600), style)) {
            ADD_FAILURE() << "CreateWindow: " << xstring(GetLastWindowCreationError()).c_str();
            return nullptr;
        }
        return w;
    }
};

TEST_F(WindowProcedure, CreationBindsThenSendsCreateAndTheFirstSizeHidden)
{
    std::vector<Call> log;
    RecordingWnd* w = Make(&log);
    ASSERT_TRUE(w);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].what, "create");
    EXPECT_EQ(log[0].a, reinterpret_cast<intptr_t>(w)); // the creation parameter
    EXPECT_EQ(log[0].b, 1);                              // bound before its handler ran
    EXPECT_EQ(log[1].what, "size");
    EXPECT_EQ(log[1].b, 700);
    EXPECT_EQ(log[1].c, 500);
    EXPECT_EQ(GetWindowLongPtrW(w->m_hWnd, 0), reinterpret_cast<intptr_t>(w));
    EXPECT_FALSE(IsPlatformWindowVisible(w->m_hWnd));
    EXPECT_FALSE(vnWIN32::ShowWindow(w));
    EXPECT_TRUE(vnWIN32::ShowWindow(w));
    Rect2i r(1, 2, 3, 4);
    vnWIN32::GetClientRect(w, &r);
    EXPECT_EQ(r, Rect2i(0, 0, 700, 500));
    w->Destroy();
}

TEST_F(WindowProcedure, MessagesReachTheHandlersWithTheirArguments)
{
    std::vector<Call> log;
    RecordingWnd* w = Make(&log);
    ASSERT_TRUE(w);
    const HWND h = w->m_hWnd;
    log.clear();

    EXPECT_EQ(SendMessageW(h, WM_USER + 5, 6, 7), 77);
    EXPECT_EQ(SendMessageW(h, WM_ERASEBKGND, 0, 0), 1);
    SendMessageW(h, WM_MOUSEMOVE, MK_LBUTTON, LPARAM(MakeLong(-3, -4)));
    SendMessageW(h, WM_LBUTTONDBLCLK, MK_LBUTTON | MK_SHIFT, LPARAM(MakeLong(5, 6)));
    SendMessageW(h, WM_MOUSEWHEEL, WPARAM(MakeLong(MK_CONTROL, -120)), LPARAM(MakeLong(300, -2)));
    SendMessageW(h, WM_CAPTURECHANGED, 0, 0);
    SendMessageW(h, WM_SYSCHAR, 13, LPARAM(MakeLong(1, KF_ALTDOWN)));
    SendMessageW(h, WM_KEYUP, 'A', LPARAM(MakeLong(1, KF_UP | KF_REPEAT)));
    SendMessageW(h, WM_DEADCHAR, 'x', 0);
    SendMessageW(h, WM_SYSDEADCHAR, 'x', 0);
    SendMessageW(h, WM_COMMAND, WPARAM(MakeLong(9, 3)), 4);
    SendMessageW(h, WM_TIMER, 1, 0);
    SendMessageW(h, WM_SIZE, SIZE_MINIMIZED, LPARAM(MakeLong(-1, 2)));

    ASSERT_EQ(Names(log), (std::vector<std::string>{"user", "mouse", "mouse", "mouse", "mouse", "key", "key", "command",
                                                    "timer", "size"}));
    EXPECT_EQ(log[0].a, WM_USER + 5);
    EXPECT_EQ(log[0].b, 6);
    EXPECT_EQ(log[0].c, 7);
    // kind, flags, delta, x, y
    EXPECT_EQ((std::vector<int64_t>{log[1].a, log[1].b, log[1].c, log[1].d, log[1].e}),
              (std::vector<int64_t>{MOVE, MK_LBUTTON, 0, -3, -4}));
    EXPECT_EQ((std::vector<int64_t>{log[2].a, log[2].b, log[2].d, log[2].e}),
              (std::vector<int64_t>{LBUTTON_DBL_CLICK, MK_LBUTTON | MK_SHIFT, 5, 6}));
    EXPECT_EQ((std::vector<int64_t>{log[3].a, log[3].b, log[3].c, log[3].d, log[3].e}),
              (std::vector<int64_t>{WHEEL, MK_CONTROL, -120, 300, -2}));
    EXPECT_EQ(log[4].a, LOSE_CAPTURE);
    EXPECT_EQ((std::vector<int64_t>{log[5].a, log[5].b, log[5].c, log[5].d}),
              (std::vector<int64_t>{WND_SYS_KEY_CHAR, 13, 1, KF_ALTDOWN}));
    EXPECT_EQ((std::vector<int64_t>{log[6].a, log[6].b, log[6].d}),
              (std::vector<int64_t>{WND_KEY_UP, 'A', KF_UP | KF_REPEAT}));
    EXPECT_EQ((std::vector<int64_t>{log[7].a, log[7].b, log[7].c}), (std::vector<int64_t>{3, 9, 4}));
    EXPECT_EQ(log[8].a, 1);
    EXPECT_EQ((std::vector<int64_t>{log[9].a, log[9].b, log[9].c}), (std::vector<int64_t>{SIZE_MINIMIZED, -1, 2}));

    // The handlers' default passes the thread's current message on.
    const ThreadWindowState& s = GetThreadWindowState();
    EXPECT_EQ(s.hwnd, h);
    EXPECT_EQ(s.message, WM_SIZE);
    w->Destroy();
}

TEST_F(WindowProcedure, CloseDestroysInOrderAndNothingReachesTheObjectAfterwards)
{
    std::vector<Call> log;
    RecordingWnd* w = Make(&log);
    ASSERT_TRUE(w);
    const HWND h = w->m_hWnd;
    log.clear();
    PostMessageW(h, WM_CLOSE, 0, 0);
    PostMessageW(h, WM_USER, 0, 0); // for a window gone by then: dropped
    MSG msg;
    ASSERT_TRUE(GetMessageW(&msg));
    DispatchMessageW(&msg);
    EXPECT_EQ(Names(log), (std::vector<std::string>{"close", "destroy", "ncdestroy", "deleted"}));
    EXPECT_FALSE(IsWindow(h));
    EXPECT_FALSE(DestroyWindow(h));
    ASSERT_TRUE(GetMessageW(&msg));
    EXPECT_EQ(DispatchMessageW(&msg), 0);
    EXPECT_EQ(SendMessageW(h, WM_USER, 0, 0), 0);
    EXPECT_EQ(log.size(), 4u);
    // No window is left and nothing waits: the loop ends instead of waiting for ever.
    EXPECT_FALSE(GetMessageW(&msg));
    EXPECT_EQ(msg.message, WM_QUIT);
}

TEST_F(WindowProcedure, TheQuitMessageEndsTheLoopAfterThePostedOnes)
{
    std::vector<Call> log;
    RecordingWnd* w = Make(&log);
    ASSERT_TRUE(w);
    PostQuitMessage(3);
    PostMessageW(w->m_hWnd, WM_USER + 1, 0, 0);
    MSG msg;
    ASSERT_TRUE(GetMessageW(&msg));
    EXPECT_EQ(msg.message, WM_USER + 1);
    EXPECT_FALSE(GetMessageW(&msg));
    EXPECT_EQ(msg.message, WM_QUIT);
    EXPECT_EQ(msg.wParam, 3u);
    w->Destroy();
}

TEST_F(WindowProcedure, ACreationTheWindowRefusesDestroysTheWindow)
{
    std::vector<Call> log;
    auto* w = new RecordingWnd(&log);
    w->m_createResult = -1;
    EXPECT_FALSE(vnWIN32::CreateWindow(w, "refused", Rect2i(0, 0, 50, 50), WS_OVERLAPPEDWINDOW));
    EXPECT_EQ(Names(log), (std::vector<std::string>{"create", "destroy", "ncdestroy", "deleted"}));
    EXPECT_TRUE(GetPlatformWindows().empty());
    // A window its creation handler destroys is not created, and not touched again.
    log.clear();
    w = new RecordingWnd(&log);
    w->m_destroyInCreate = true;
    EXPECT_FALSE(vnWIN32::CreateWindow(w, "gone", Rect2i(0, 0, 50, 50), WS_OVERLAPPEDWINDOW | WS_VISIBLE));
    EXPECT_EQ(Names(log), (std::vector<std::string>{"create", "destroy", "ncdestroy", "deleted"}));
    // An OpenGL window whose window cannot be made reports it and leaves no window.
    log.clear();
    w = new RecordingWnd(&log);
    w->m_createResult = -1;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(OpenGLWnd::Create(w, Rect2i(0, 0, 50, 50), "refused"));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("CreateWindow failed"), std::string::npos);
    MSG msg;
    EXPECT_FALSE(GetMessageW(&msg));
}

TEST_F(WindowProcedure, ThreadedRepaintRequestsAreMergedIntoOnePaint)
{
    std::vector<Call> log;
    RecordingWnd* w = Make(&log);
    ASSERT_TRUE(w);
    PumpMessages(20);
    log.clear();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([w] {
            for (int i = 0; i < 50; ++i) vnWIN32::InvalidateRect(w);
        });
    for (auto& t : threads) t.join();
    PumpMessages(50);
    EXPECT_EQ(Names(log), (std::vector<std::string>{"paint"}));
    EXPECT_EQ(log[0].a, 1); // a device-context holder was attached
    EXPECT_EQ(log[0].b, 700);
    EXPECT_EQ(log[0].c, 500);
    w->Destroy();
}

TEST_F(WindowProcedure, RepaintRequestsAreTracedWhenWindowCallsAre)
{
    std::vector<Call> log;
    RecordingWnd* w = Make(&log);
    ASSERT_TRUE(w);
    GetLogSink()->GetPendingText(); // whatever was held before
    const xstring before = GetLogSink()->GetPendingText();
    TraceWindowCalls = true;
    vnWIN32::InvalidateRect(w);
    TraceWindowCalls = false;
    xstring after = GetLogSink()->GetPendingText();
    const std::string text(after.data(), after.size());
    EXPECT_NE(text.find("vnWIN32::InvalidateRect()\n", before.size()), std::string::npos);
    w->Destroy();
}

TEST_F(WindowProcedure, TimersTickAndNeverPileUp)
{
    std::vector<Call> log;
    RecordingWnd* w = Make(&log);
    ASSERT_TRUE(w);
    PumpMessages(10);
    log.clear();
    EXPECT_EQ(vnWIN32::SetTimer(w, 10), 1u);
    MSG msg;
    int ticks = 0;
    while (ticks < 3 && GetMessageW(&msg)) {
        if (msg.message == WM_TIMER) ++ticks;
        DispatchMessageW(&msg);
    }
    EXPECT_EQ(ticks, 3);
    // Long overdue, the timer still has only one WM_TIMER waiting.
    EXPECT_EQ(vnWIN32::SetTimer(w, 100), 1u); // restarted with a period longer than the draining
    std::this_thread::sleep_for(std::chrono::milliseconds(450));
    int waiting = 0;
    while (PeekMessageW(&msg, 0))
        if (msg.message == WM_TIMER) ++waiting;
    EXPECT_EQ(waiting, 1);
    vnWIN32::KillTimer(w, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    waiting = 0;
    while (PeekMessageW(&msg, 0))
        if (msg.message == WM_TIMER) ++waiting;
    EXPECT_EQ(waiting, 0);
    EXPECT_EQ(SetTimer(nullptr, 1, 10), 0u);
    // A destroyed window's timers stop with it, before the loop looks at any timer.
    EXPECT_EQ(vnWIN32::SetTimer(w, 10), 1u);
    const HWND hwnd = w->m_hWnd;
    w->Destroy();
    EXPECT_EQ(GetTimerPeriod(hwnd, 1), 0u);
}

TEST_F(WindowProcedure, CaptureLossIsReportedToTheWindowThatHadIt)
{
    std::vector<Call> logA, logB;
    RecordingWnd* a = Make(&logA);
    RecordingWnd* b = Make(&logB);
    ASSERT_TRUE(a && b);
    logA.clear();
    logB.clear();
    SetCapture(a->m_hWnd);
    EXPECT_EQ(GetCapture(), a->m_hWnd);
    SetCapture(b->m_hWnd); // taken away from a
    ASSERT_EQ(Names(logA), (std::vector<std::string>{"mouse"}));
    EXPECT_EQ(logA[0].a, LOSE_CAPTURE);
    ReleaseCapture();
    ASSERT_EQ(Names(logB), (std::vector<std::string>{"mouse"}));
    EXPECT_EQ(logB[0].a, LOSE_CAPTURE);
    EXPECT_EQ(GetCapture(), nullptr);
    ReleaseCapture(); // nothing to lose
    EXPECT_EQ(logB.size(), 1u);

    // Losing focus while captured loses the capture first.
    SetCapture(a->m_hWnd);
    logA.clear();
    PlatformEvent e;
    e.kind = PEV_FOCUS_LOST;
    e.window = a->m_hWnd;
    std::vector<MSG> out;
    TranslatePlatformEvent(e, &out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].message, WM_CAPTURECHANGED);
    EXPECT_EQ(out[1].message, WM_KILLFOCUS);
    EXPECT_EQ(GetCapture(), nullptr);
    a->Destroy();
    b->Destroy();
}

TEST_F(WindowProcedure, FullScreenRoundTripRestoresPositionAndSize)
{
    std::vector<Call> log;
    RecordingWnd* w = Make(&log);
    ASSERT_TRUE(w);
    vnWIN32::ShowWindow(w);
    PumpMessages(50);
    const HWND h = w->m_hWnd;
    int32_t dw = 0, dh = 0;
    GetPlatformDesktopSize(h, &dw, &dh);
    FullScreenState fs;
    ToggleFullScreen(fs, h);
    PumpMessages(100);
    EXPECT_TRUE(fs.m_active);
    EXPECT_EQ(fs.m_savedRect, Rect2i(100, 100, 800, 600));
    EXPECT_FALSE(IsPlatformWindowBordered(h));
    Rect2i r;
    GetClientRect(h, &r);
    EXPECT_EQ(r, Rect2i(0, 0, dw, dh));
    log.clear();
    ToggleFullScreen(fs, h);
    PumpMessages(100);
    EXPECT_FALSE(fs.m_active);
    EXPECT_TRUE(IsPlatformWindowBordered(h));
    GetClientRect(h, &r);
    EXPECT_EQ(r, Rect2i(0, 0, 700, 500));
    Point2i origin(0, 0);
    ClientToScreen(h, &origin);
    EXPECT_EQ(origin, Point2i(100, 100));
    // The window heard of the new size.
    const auto last = std::find_if(log.rbegin(), log.rend(), [](const Call& c) { return c.what == "size"; });
    ASSERT_NE(last, log.rend());
    EXPECT_EQ(last->b, 700);
    EXPECT_EQ(last->c, 500);
    w->Destroy();
}

TEST_F(WindowProcedure, ARequestToEndTheProcessClosesEveryWindow)
{
    std::vector<Call> logA, logB;
    RecordingWnd* a = Make(&logA);
    RecordingWnd* b = Make(&logB);
    ASSERT_TRUE(a && b);
    std::raise(SIGTERM); // the window system turns it into a request to quit
    MSG msg;
    while (GetMessageW(&msg)) DispatchMessageW(&msg);
    // Both closed (and so destroyed); with no window left the loop ended.
    EXPECT_EQ(Names(logA).back(), "deleted");
    EXPECT_EQ(Names(logB).back(), "deleted");
    EXPECT_NE(std::find(logA.begin(), logA.end(), Call{"close"}), logA.end());
}

// A viewer started without a display must not run invisibly: registration fails and
// says why, unless a driver was chosen on purpose.
TEST(WindowClassRegistration, FailsWithoutADisplayUnlessADriverIsChosen)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // a fresh process, window system not started
    const char* d = std::getenv("DISPLAY");
    const std::string display = d ? d : "";
    const char* v = std::getenv("SDL_VIDEODRIVER");
    const std::string driver = v ? v : "";
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("SDL_VIDEODRIVER");
    EXPECT_EXIT(std::exit(RegisterFrameworkWindowClass(nullptr) == 0 ? 3 : 4), ::testing::ExitedWithCode(3),
                "The window class cannot be registered: No display");
    // A display named but not there (no server listens on it) fails too, where the
    // library alone would fall back to its offscreen driver.
    int n = 4000;
    while (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(n))) ++n;
    setenv("DISPLAY", (":" + std::to_string(n)).c_str(), 1);
    EXPECT_EXIT(std::exit(RegisterFrameworkWindowClass(nullptr) == 0 ? 3 : 4), ::testing::ExitedWithCode(3),
                "The window class cannot be registered: The window system cannot start");
    setenv("SDL_VIDEODRIVER", "offscreen", 1);
    EXPECT_EXIT(std::exit(RegisterFrameworkWindowClass(nullptr) == 0 ? 3 : 4), ::testing::ExitedWithCode(4), "");
    setenv("DISPLAY", display.c_str(), 1);
    setenv("SDL_VIDEODRIVER", driver.c_str(), 1);
}

} // namespace
} // namespace vorn
