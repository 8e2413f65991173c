// The viewer window driven through the message loop as the platform's events reach it:
// an expose paints once and then the window stays idle; only Alt+Enter switches full
// screen, both ways.
#include "ViewerTestSupport.h"

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
    // Decodes are held, so that nothing but the expose asks for a paint.
    HoldingExecuter held;
    ScopedDecodeExecuter use(&held);
    ASSERT_GT(m_window->m_paints, 0);
    PlatformEvent expose;
    expose.kind = PEV_EXPOSED;
    expose.window = m_window->m_hWnd;
    const int before = m_window->m_paints;
    Deliver(expose);
    // The X server's own late events (pointer, focus) may still come in; only paints count.
    const int dispatched = PumpAtMost(200) + PumpAtMost(200);
    EXPECT_EQ(m_window->m_paints - before, 1) << "the window kept asking for paints";
    EXPECT_LT(dispatched, 10);
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
