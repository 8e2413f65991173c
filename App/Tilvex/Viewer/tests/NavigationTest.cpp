// The view arithmetic and navigation of the viewer window, by calling its handlers on
// a window object that has no window.
#include "ViewerTestSupport.h"

namespace vorn::test {
namespace {

class Navigation : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = FreshFolder();
        m_session = std::make_unique<StoreSession>((m_dir / "nav.tvx").string(), OM_CREATE_ALWAYS);
    }
    void TearDown() override
    {
        m_windows.clear();
        m_session.reset();
        std::filesystem::remove_all(m_dir);
    }
    TilvexWnd& Window(int32_t imageSize)
    {
        m_windows.push_back(std::make_unique<TilvexWnd>(nullptr, imageSize));
        return *m_windows.back();
    }
    std::filesystem::path m_dir;
    std::unique_ptr<StoreSession> m_session;
    std::vector<std::unique_ptr<TilvexWnd>> m_windows;
};

TEST_F(Navigation, SizeResetsTheViewToASquareWithAMargin)
{
    TilvexWnd& w = Window(4096);
    w.OnSize(0, 700, 500);
    EXPECT_EQ(w.GetViewRect(), Rect2i(25, 25, 475, 475));
    w.OnSize(0, 500, 700);
    EXPECT_EQ(w.GetViewRect(), Rect2i(25, 25, 475, 475));
    w.OnSize(0, 19, 19); // a twentieth rounds down to no margin
    EXPECT_EQ(w.GetViewRect(), Rect2i(0, 0, 19, 19));
}

TEST_F(Navigation, ScalingAboutAPointRoundsHalfAwayFromZero)
{
    // (1 - 0) * 2.5 = 2.5 -> 3; (-1 - 0) * 2.5 = -2.5 -> -3; (3 - 0) * 2.5 = 7.5 -> 8.
    EXPECT_EQ(TilvexWnd::ScaleRectAboutPoint(Rect2i(1, -1, 3, 2), 0, 0, 2.5, 2.5), Rect2i(3, -3, 8, 5));
    // The point itself stays put.
    EXPECT_EQ(TilvexWnd::ScaleRectAboutPoint(Rect2i(10, 10, 30, 30), 10, 10, 3, 3), Rect2i(10, 10, 70, 70));
    EXPECT_EQ(TilvexWnd::ScaleRectAboutPoint(Rect2i(10, 20, 30, 40), 20, 30, 0.5, 1), Rect2i(15, 20, 25, 40));
}

TEST_F(Navigation, WheelScalesAboutTheCursorWithinTheLimits)
{
    TilvexWnd& small = Window(256);
    small.OnSize(0, 700, 500);
    // Wider than the image: either direction scales it to the image size.
    small.OnMouse(WHEEL, 0, 120, Point2i(25, 25));
    EXPECT_EQ(small.GetViewRect(), Rect2i(25, 25, 281, 281));
    small.OnSize(0, 700, 500);
    small.OnMouse(WHEEL, 0, -120, Point2i(475, 475));
    EXPECT_EQ(small.GetViewRect(), Rect2i(219, 219, 475, 475));

    TilvexWnd& big = Window(4096);
    big.OnSize(0, 700, 500);
    big.OnMouse(WHEEL, 0, 120, Point2i(250, 250));
    const double s = std::exp(0.16);
    EXPECT_EQ(big.GetViewRect(), TilvexWnd::ScaleRectAboutPoint(Rect2i(25, 25, 475, 475), 250, 250, s, s));
    big.OnMouse(WHEEL, 0, 0, Point2i(0, 0)); // no delta: nothing
    EXPECT_EQ(big.GetViewRect(), TilvexWnd::ScaleRectAboutPoint(Rect2i(25, 25, 475, 475), 250, 250, s, s));
    for (int i = 0; i < 50; ++i) big.OnMouse(WHEEL, 0, -120, Point2i(0, 0));
    EXPECT_EQ(big.GetViewRect().Width(), 128); // the minimum width
}

TEST_F(Navigation, PanAndZoomDrags)
{
    TilvexWnd& w = Window(4096);
    w.OnSize(0, 700, 500);
    w.OnMouse(LBUTTON_DOWN, MK_LBUTTON, 0, Point2i(100, 100));
    EXPECT_TRUE(w.IsDragging());
    w.OnMouse(MOVE, MK_LBUTTON, 0, Point2i(130, 90));
    EXPECT_EQ(w.GetViewRect(), Rect2i(55, 15, 505, 465));
    w.OnMouse(MOVE, MK_LBUTTON, 0, Point2i(-900, -900)); // no limit on panning
    EXPECT_EQ(w.GetViewRect(), Rect2i(-975, -975, -525, -525));
    // A wheel turn during a drag changes nothing.
    w.OnMouse(WHEEL, MK_LBUTTON, 120, Point2i(0, 0));
    EXPECT_EQ(w.GetViewRect(), Rect2i(-975, -975, -525, -525));
    // A second button-down restarts the drag from the current view.
    w.OnMouse(LBUTTON_DOWN, MK_LBUTTON | MK_SHIFT, 0, Point2i(200, 200));
    EXPECT_EQ(w.GetDragMode(), 1);
    w.OnMouse(MOVE, MK_LBUTTON, 0, Point2i(999, 250)); // 50 pixels down: e times larger
    const double e = std::exp(1.0);
    EXPECT_EQ(w.GetViewRect(), TilvexWnd::ScaleRectAboutPoint(Rect2i(-975, -975, -525, -525), 200, 200, e, e));
    w.OnMouse(LBUTTON_UP, 0, 0, Point2i(0, 0));
    EXPECT_FALSE(w.IsDragging());
    const Rect2i after = w.GetViewRect();
    w.OnMouse(MOVE, 0, 0, Point2i(0, 0)); // moves without a drag change nothing
    EXPECT_EQ(w.GetViewRect(), after);
    // Losing the capture ends a drag.
    w.OnMouse(LBUTTON_DOWN, MK_LBUTTON, 0, Point2i(10, 10));
    w.OnMouse(LOSE_CAPTURE, 0, 0, Point2i(0, 0));
    EXPECT_FALSE(w.IsDragging());
    w.OnMouse(MOVE, MK_LBUTTON, 0, Point2i(40, 40));
    EXPECT_EQ(w.GetViewRect(), after);
}

TEST_F(Navigation, AZeroSizedViewIgnoresZooming)
{
    TilvexWnd& w = Window(4096);
    w.OnSize(1, 0, 0); // minimised
    EXPECT_EQ(w.GetViewRect(), Rect2i(0, 0, 0, 0));
    w.OnMouse(WHEEL, 0, 120, Point2i(5, 5));
    EXPECT_EQ(w.GetViewRect(), Rect2i(0, 0, 0, 0));
    w.OnMouse(LBUTTON_DOWN, MK_LBUTTON | MK_SHIFT, 0, Point2i(0, 0));
    w.OnMouse(MOVE, MK_LBUTTON, 0, Point2i(0, 100));
    EXPECT_EQ(w.GetViewRect(), Rect2i(0, 0, 0, 0));
}

TEST_F(Navigation, OnlyLowerCaseOTogglesOutlines)
{
    TilvexWnd& w = Window(512);
    WindowsKeyEvent k;
    k.keyEvent = WND_KEY_CHAR;
    k.vkeyOrChar = 'O';
    w.OnKey(k);
    EXPECT_FALSE(w.ShowTileOutlines());
    k.vkeyOrChar = 'o';
    w.OnKey(k);
    EXPECT_TRUE(w.ShowTileOutlines());
    k.keyEvent = WND_KEY_DOWN; // only characters are commands
    w.OnKey(k);
    EXPECT_TRUE(w.ShowTileOutlines());
}

TEST(TextureCacheTest, LeastRecentlyUsedSlotsKeyedByTile)
{
    TextureCache c;
    // The first tiles take the names 1, 2, ... in order.
    for (uint32_t i = 1; i <= 256; ++i) {
        EXPECT_EQ(c.Lookup(OID(i, 0)), -1);
        EXPECT_EQ(c.Replace(OID(i, 0)), int32_t(i));
    }
    // A hit makes the tile the most recent; the oldest one is replaced next.
    EXPECT_EQ(c.Lookup(OID(1, 0)), 1);
    EXPECT_EQ(c.Replace(OID(1000, 0)), 2);
    EXPECT_EQ(c.Lookup(OID(2, 0)), -1);
    EXPECT_EQ(c.Lookup(OID(1000, 0)), 2);
    EXPECT_EQ(c.Replace(OID(1001, 7)), 3);
    // Both words of the identifier count; a null one matches no empty slot.
    EXPECT_EQ(c.Lookup(OID(1001, 0)), -1);
    TextureCache fresh;
    EXPECT_EQ(fresh.Lookup(OID()), -1);
}

TEST(TextureCacheTest, UseCounterPastThirtyOneBitsKeepsTheOrder)
{
    TextureCache c;
    c.SetUseCounterForTest(int64_t(1) << 31);
    for (uint32_t i = 1; i <= 256; ++i) c.Replace(OID(i, 0));
    c.Lookup(OID(1, 0));
    EXPECT_EQ(c.Replace(OID(999, 0)), 2);
    EXPECT_GT(c.GetUseCounter(), int64_t(1) << 31);
}

} // namespace
} // namespace vorn::test
