// The viewer's timed tours: the raster and random steps and the interval keys by
// calling the handlers of a window object that has no window, and the tour keys and
// the tour timer on a real window (Xvfb or SDL's offscreen driver).
#include "ViewerTestSupport.h"
#include "vnUtils/RandomGenerator.h"
#include <algorithm>
#include <chrono>
#include <set>

namespace vorn::test {
namespace {

WindowsKeyEvent Char(uint32_t c)
{
    WindowsKeyEvent k;
    k.keyEvent = WND_KEY_CHAR;
    k.vkeyOrChar = c;
    return k;
}

class TourSteps : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = FreshFolder();
        m_session = std::make_unique<StoreSession>((m_dir / "tour.tvx").string(), OM_CREATE_ALWAYS);
    }
    void TearDown() override
    {
        m_windows.clear();
        m_session.reset();
        std::filesystem::remove_all(m_dir);
    }
    // A window object of a 700 x 500 client whose tour starts from view.
    TilvexWnd& Window(int32_t imageSize, const Rect2i& view, bool raster)
    {
        m_windows.push_back(std::make_unique<TilvexWnd>(nullptr, imageSize));
        TilvexWnd& w = *m_windows.back();
        w.OnSize(0, 700, 500);
        w.m_viewRect = view;
        w.m_tourStartRect = view;
        w.m_rasterTour = raster;
        return w;
    }
    std::filesystem::path m_dir;
    std::unique_ptr<StoreSession> m_session;
    std::vector<std::unique_ptr<TilvexWnd>> m_windows;
};

TEST_F(TourSteps, RasterSlidesRightWrapsToTheNextRowAndResets)
{
    // Overlapping the client's top edge: one row lower still overlaps.
    const Rect2i start(25, -400, 475, 50);
    TilvexWnd& w = Window(4096, start, true);
    for (int row = 0; row < 2; ++row) {
        const int32_t dy = 500 * row;
        for (int32_t x : {200, 375, 550}) {
            w.OnTimer(1);
            EXPECT_EQ(w.GetViewRect(), Rect2i(x, -400 + dy, x + 450, 50 + dy)) << row;
        }
        // x1 = 725 has left the window: back to the start column, one window lower.
        w.OnTimer(1);
        if (row == 0) {
            EXPECT_EQ(w.GetViewRect(), Rect2i(25, 100, 475, 550));
        }
    }
    // The third row lies below the window: the tour starts over.
    EXPECT_EQ(w.GetViewRect(), start);
    w.OnTimer(1);
    EXPECT_EQ(w.GetViewRect(), Rect2i(200, -400, 650, 50));

    // A view right of the window whose next row is below it too resets at once.
    TilvexWnd& right = Window(4096, Rect2i(800, 25, 1250, 475), true);
    right.m_viewRect = Rect2i(900, 25, 1350, 475); // moved since the tour began
    right.OnTimer(1);
    EXPECT_EQ(right.GetViewRect(), Rect2i(800, 25, 1250, 475));

    // A resize during the tour resets the view but not the start rectangle.
    w.OnSize(0, 400, 400);
    EXPECT_EQ(w.m_tourStartRect, start);
}

TEST_F(TourSteps, RandomViewAtFullResolutionKeepsTheScaledStartInTheWindow)
{
    const Rect2i start(25, 25, 475, 475);
    TilvexWnd& w = Window(4096, start, false);
    // Left edge between 700 - 675 * 4096 / 450 and 25 * 4096 / 450; top edge between
    // 500 - 475 * 4096 / 450 and the same 227.
    int32_t minX = INT32_MAX, maxX = INT32_MIN;
    for (int i = 0; i < 500; ++i) {
        w.OnTimer(1);
        const Rect2i v = w.GetViewRect();
        ASSERT_EQ(v.Width(), 4096);
        ASSERT_EQ(v.Height(), 4096);
        ASSERT_GE(v.x1, -5444);
        ASSERT_LE(v.x1, 227);
        ASSERT_GE(v.y1, -3823);
        ASSERT_LE(v.y1, 227);
        minX = std::min(minX, v.x1);
        maxX = std::max(maxX, v.x1);
    }
    EXPECT_LT(minX, -4000); // the whole range is used
    EXPECT_GT(maxX, 0);
    EXPECT_EQ(w.m_tourStartRect, start);
}

TEST_F(TourSteps, RandomSizeDrawsTheWidthBetweenTheStartAndTheImage)
{
    TilvexWnd& w = Window(4096, Rect2i(25, 25, 475, 475), false);
    w.OnKey(Char('r'));
    ASSERT_TRUE(w.m_randomSize);
    std::set<int32_t> widths;
    for (int i = 0; i < 200; ++i) {
        w.OnTimer(1);
        const Rect2i v = w.GetViewRect();
        ASSERT_EQ(v.Width(), v.Height());
        ASSERT_GE(v.Width(), 450);
        ASSERT_LE(v.Width(), 4096);
        widths.insert(v.Width());
    }
    EXPECT_GT(widths.size(), 100u);
    w.OnKey(Char('r'));
    w.OnTimer(1);
    EXPECT_EQ(w.GetViewRect().Width(), 4096);
}

TEST_F(TourSteps, StartWiderThanTheImageScalesDownAboutTheTopLeftCorner)
{
    // Reversed bounds: x from 316 down to 15, y from 230 down to 15; the result is
    // 25 * 256 / 450 = 14 on both axes, whatever is drawn.
    TilvexWnd& w = Window(256, Rect2i(25, 25, 475, 475), false);
    for (int i = 0; i < 5; ++i) {
        w.OnTimer(1);
        EXPECT_EQ(w.GetViewRect(), Rect2i(14, 14, 270, 270));
    }
    // With random size the width is drawn from [450, 257): always 256.
    w.OnKey(Char('r'));
    w.OnTimer(1);
    EXPECT_EQ(w.GetViewRect(), Rect2i(14, 14, 270, 270));
}

TEST_F(TourSteps, RandomStepFromAnEmptyStartRectangleIsSkipped)
{
    // A minimised window's view, then rectangles of no height and of negative width.
    for (const Rect2i& s : {Rect2i(0, 0, 0, 0), Rect2i(10, 10, 300, 10), Rect2i(50, 10, 40, 300)}) {
        TilvexWnd& w = Window(4096, s, false);
        w.m_viewRect = Rect2i(1, 2, 3, 4);
        for (bool randomSize : {false, true}) {
            w.m_randomSize = randomSize;
            w.OnTimer(1);
            EXPECT_EQ(w.GetViewRect(), Rect2i(1, 2, 3, 4));
        }
    }
}

TEST_F(TourSteps, DigitsSetTheIntervalAndOtherKeysDoNothing)
{
    TilvexWnd& w = Window(4096, Rect2i(25, 25, 475, 475), false);
    EXPECT_EQ(w.m_tourInterval, 200);
    w.OnKey(Char('4')); // the default already
    EXPECT_EQ(w.m_tourInterval, 200);
    EXPECT_FALSE(w.IsTouring());
    const int32_t table[10] = {10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000};
    for (uint32_t c = '0'; c <= '9'; ++c) {
        w.OnKey(Char(c));
        EXPECT_EQ(w.m_tourInterval, table[c - '0']) << char(c);
    }
    // Upper case, other characters and key-downs of the digits are not commands.
    const Rect2i view = w.GetViewRect();
    for (uint32_t c : {'P', 'T', 'R', 'x', ' '}) w.OnKey(Char(c));
    WindowsKeyEvent down = Char('1');
    down.keyEvent = WND_KEY_DOWN;
    w.OnKey(down);
    EXPECT_EQ(w.m_tourInterval, 10000);
    EXPECT_FALSE(w.m_randomSize);
    EXPECT_FALSE(w.IsTouring());
    EXPECT_EQ(w.GetViewRect(), view);
}

// ---- a real window ----------------------------------------------------------------

// A viewer window that counts its tour ticks.
class TourWnd : public TilvexWnd {
public:
    using TilvexWnd::TilvexWnd;
    LRESULT OnTimer(WPARAM id) override
    {
        ++m_ticks;
        return TilvexWnd::OnTimer(id);
    }
    int m_ticks = 0;
};

class Tours : public ::testing::Test {
protected:
    void SetUp() override
    {
        StartTestWindowSystem();
        m_dir = FreshFolder();
        m_session = std::make_unique<StoreSession>((m_dir / "tours.tvx").string(), OM_CREATE_ALWAYS);
    }
    void TearDown() override
    {
        ResetMessageLoop();
        m_session.reset();
        DestroyLeftoverWindows();
        std::filesystem::remove_all(m_dir);
    }
    TourWnd* Open()
    {
        ModelTransaction txn;
        auto* w = new TourWnd(nullptr, 4096);
        EXPECT_TRUE(OpenViewerWindow(w));
        PumpMessages(20); // created, sized, painted
        return w;
    }
    // The period of the window's running tour timer (0: none).
    static uint32_t Period(TourWnd* w, HWND h) { return GetTimerPeriod(h, w->IsTouring() ? w->m_tourTimerId : 1); }
    // Dispatches messages until the window has ticked n more times (a bound of 10 s
    // only keeps a broken timer from hanging the test).
    static bool PumpTicks(TourWnd* w, int n)
    {
        const int target = w->m_ticks + n;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        MSG msg;
        while (w->m_ticks < target && std::chrono::steady_clock::now() < end) {
            if (PeekMessageW(&msg, 20)) DispatchMessageW(&msg);
        }
        return w->m_ticks >= target;
    }
    std::filesystem::path m_dir;
    std::unique_ptr<StoreSession> m_session;
};

TEST_F(Tours, EitherKeyStopsAnyTourAndPressingAgainStartsItsOwn)
{
    TourWnd* w = Open();
    const HWND h = w->m_hWnd;
    const Rect2i view = w->GetViewRect();
    ASSERT_GT(view.Width(), 0);

    w->OnKey(Char('0'));
    EXPECT_EQ(Period(w, h), 0u); // no tour: only the interval is stored
    w->OnKey(Char('p'));
    ASSERT_TRUE(w->IsTouring());
    EXPECT_TRUE(w->m_rasterTour);
    EXPECT_EQ(w->m_tourStartRect, view);
    EXPECT_EQ(Period(w, h), 10u);
    ASSERT_TRUE(PumpTicks(w, 2));
    EXPECT_NE(w->GetViewRect(), view); // slid right

    // 't' stops the raster tour and keeps its flag.
    w->OnKey(Char('t'));
    EXPECT_FALSE(w->IsTouring());
    EXPECT_TRUE(w->m_rasterTour);
    EXPECT_EQ(Period(w, h), 0u);
    const int ticks = w->m_ticks;
    PumpMessages(40);
    EXPECT_EQ(w->m_ticks, ticks);

    // Pressed again, 't' starts the random tour from the view as it now is.
    const Rect2i now = w->GetViewRect();
    w->OnKey(Char('t'));
    ASSERT_TRUE(w->IsTouring());
    EXPECT_FALSE(w->m_rasterTour);
    EXPECT_EQ(w->m_tourStartRect, now);
    ASSERT_TRUE(PumpTicks(w, 2));
    EXPECT_EQ(w->GetViewRect().Width(), 4096);

    // 'p' stops it and clears the raster flag.
    w->OnKey(Char('p'));
    EXPECT_FALSE(w->IsTouring());
    EXPECT_FALSE(w->m_rasterTour);
    EXPECT_EQ(Period(w, h), 0u);
    CloseWindow(w);
}

TEST_F(Tours, IntervalChangeRearmsARunningTimer)
{
    TourWnd* w = Open();
    const HWND h = w->m_hWnd;
    // The random tour starts at 200 ms; '4' changes nothing; '6' and '0' re-arm it.
    const std::pair<char, uint32_t> steps[] = {{'t', 200}, {'4', 200}, {'6', 1000}, {'0', 10}};
    for (const auto& [key, period] : steps) {
        w->OnKey(Char(uint32_t(key)));
        EXPECT_TRUE(w->IsTouring()) << key;
        EXPECT_EQ(Period(w, h), period) << key;
    }
    ASSERT_TRUE(PumpTicks(w, 3));

    // A stopped tour keeps the interval for its next start.
    w->OnKey(Char('t'));
    w->OnKey(Char('2'));
    EXPECT_EQ(Period(w, h), 0u);
    w->OnKey(Char('p'));
    EXPECT_EQ(Period(w, h), 50u);
    CloseWindow(w);
}

TEST_F(Tours, DestroyingTheWindowDuringATourKillsItsTimer)
{
    TourWnd* w = Open();
    const HWND h = w->m_hWnd;
    w->OnKey(Char('0'));
    w->OnKey(Char('p'));
    ASSERT_TRUE(PumpTicks(w, 2));
    ASSERT_TRUE(DestroyWindow(h));
    // Killed by the window itself, before the loop looks at its timers again.
    EXPECT_FALSE(w->IsTouring());
    EXPECT_EQ(Period(w, h), 0u);
    const int ticks = w->m_ticks;
    MSG msg;
    for (int i = 0; i < 5; ++i)
        if (PeekMessageW(&msg, 20)) DispatchMessageW(&msg);
    EXPECT_EQ(w->m_ticks, ticks);
    // The object outlives its window (the space deletes it); a key does not restart a
    // timer on the gone window.
    w->OnKey(Char('t'));
    EXPECT_FALSE(w->IsTouring());
    ResetMessageLoop();
}

} // namespace
} // namespace vorn::test
