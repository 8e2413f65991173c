// The viewer window driven through the message loop as the platform's events reach it:
// an expose paints once and then the window stays idle, whatever other windows on the
// display do meanwhile; only Alt+Enter switches full screen, both ways.
#include "ViewerTestSupport.h"
#include <chrono>

namespace vorn::test {
namespace {

// Dispatches what the loop has until nothing arrives for 50 ms, but at most `limit`
// messages (a window that keeps asking for paints would never go idle); returns how
// many it dispatched.
int PumpAtMost(int limit)
{
    int n = 0;
    MSG msg;
    while (n < limit && PeekMessageW(&msg, 50)) {
        DispatchMessageW(&msg);
        ++n;
    }
    return n;
}

// Hands a platform event to the loop as the loop itself does, then lets the window
// handle what it became.
void Deliver(const PlatformEvent& e)
{
    std::vector<MSG> msgs;
    TranslatePlatformEvent(e, &msgs);
    for (const MSG& m : msgs) DispatchMessageW(&m);
}

// What the display and the window did while the loop's steps ran for one window.
struct LoopRun {
    int paints = 0;  // WM_PAINT dispatched to the window
    int exposes = 0; // exposes the display sent it (another window moved off it, say)
};

// Runs the loop's steps for w by hand until neither a paint nor an expose has come for
// 100 ms, or w has painted maxPaints times (it keeps asking). A repaint that w asked
// for is painted before the next event is read, and every event of the display is
// counted as it is handed on, so each expose gets a paint of its own and every paint
// beyond those is one that w asked for. Another process's windows on the display may
// expose w, move the pointer over it and take its focus all along: the pointer and
// focus events ask for no paint and do not keep the run going.
LoopRun RunLoopFor(HWND w, int maxPaints)
{
    using Clock = std::chrono::steady_clock;
    constexpr auto kQuiet = std::chrono::milliseconds(100);
    LoopRun run;
    Clock::time_point last = Clock::now();
    while (run.paints < maxPaints && Clock::now() - last < kQuiet) {
        if (TakePlatformRepaint(w)) {
            const MSG paint{w, WM_PAINT, 0, 0};
            DispatchMessageW(&paint);
            ++run.paints;
            last = Clock::now();
            continue;
        }
        PlatformEvent e;
        if (!WaitPlatformEvent(&e, 20)) continue;
        if (e.kind == PEV_EXPOSED && e.window == w) {
            ++run.exposes;
            last = Clock::now();
        }
        Deliver(e);
    }
    return run;
}

class ViewerWindowEvents : public ::testing::Test {
protected:
    void SetUp() override
    {
        StartTestWindowSystem();
        m_dir = FreshFolder();
        m_session = std::make_unique<StoreSession>((m_dir / "events.tvx").string(), OM_CREATE_ALWAYS);
        BuildTwoLevelPyramid(m_session->Root());
        m_window = OpenReadbackWindow(m_session->Root(), 512);
        PumpAtMost(200);
    }
    void TearDown() override
    {
        if (m_window) CloseWindow(m_window);
        m_session.reset();
        DestroyLeftoverWindows();
        std::filesystem::remove_all(m_dir);
    }
    std::filesystem::path m_dir;
    std::unique_ptr<StoreSession> m_session;
    ReadbackWnd* m_window = nullptr;
};

TEST_F(ViewerWindowEvents, AnExposePaintsOnceAndTheWindowThenStaysIdle)
{
    // Decodes are held, so that nothing but exposes asks for a paint.
    HoldingExecuter held;
    ScopedDecodeExecuter use(&held);
    ASSERT_GT(m_window->m_paints, 0);
    const HWND h = m_window->m_hWnd;
    RunLoopFor(h, 100); // what the loop still has from the start
    PlatformEvent expose;
    expose.kind = PEV_EXPOSED;
    expose.window = h;
    const int before = m_window->m_paints;
    Deliver(expose);
    const LoopRun run = RunLoopFor(h, 100);
    EXPECT_EQ(run.paints, m_window->m_paints - before);
    EXPECT_EQ(run.paints, 1 + run.exposes) << "the window asked for paints of its own";
    EXPECT_FALSE(TakePlatformRepaint(h));
    held.Release();
}

TEST_F(ViewerWindowEvents, OnlyAltEnterSwitchesFullScreenBothWays)
{
    HWND h = m_window->m_hWnd;
    int32_t desktopW = 0, desktopH = 0, w = 0, h0 = 0;
    GetPlatformDesktopSize(h, &desktopW, &desktopH);
    GetPlatformClientSize(h, &w, &h0);
    ASSERT_EQ(w, 700);
    ASSERT_NE(desktopW, 700);

    PlatformEvent key;
    key.kind = PEV_KEY_DOWN;
    key.window = h;
    key.key = 0x0D;
    Deliver(key); // plain Return
    PlatformEvent altX;
    altX.kind = PEV_TEXT;
    altX.window = h;
    altX.mods = PMOD_ALT;
    altX.text[0] = 'x';
    Deliver(altX); // Alt with another key
    PlatformEvent ctrlReturn = key;
    ctrlReturn.mods = PMOD_CTRL | PMOD_ALT;
    Deliver(ctrlReturn); // Ctrl+Alt+Return gives no character
    PumpAtMost(200);
    EXPECT_FALSE(m_window->m_fullScreen.m_active);
    GetPlatformClientSize(h, &w, &h0);
    EXPECT_EQ(w, 700);

    PlatformEvent altReturn = key;
    altReturn.mods = PMOD_ALT;
    Deliver(altReturn);
    PumpAtMost(200);
    EXPECT_TRUE(m_window->m_fullScreen.m_active);
    GetPlatformClientSize(h, &w, &h0);
    EXPECT_EQ(w, desktopW);
    EXPECT_EQ(h0, desktopH);

    Deliver(altReturn);
    PumpAtMost(200);
    EXPECT_FALSE(m_window->m_fullScreen.m_active);
    GetPlatformClientSize(h, &w, &h0);
    EXPECT_EQ(w, 700);
    EXPECT_EQ(h0, 500);
}

} // namespace
} // namespace vorn::test
