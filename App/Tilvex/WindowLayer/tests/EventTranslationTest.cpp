// Platform events to window messages, without a display.
#include "Tilvex/WindowLayer/MessageLoop.h"
#include <cstring>
#include <gtest/gtest.h>

namespace vorn {
namespace {

PlatformWindow* const kWnd = reinterpret_cast<PlatformWindow*>(0x1000);

class EventTranslation : public ::testing::Test {
protected:
    void SetUp() override { ResetMessageLoop(); }
    void TearDown() override { ResetMessageLoop(); }

    std::vector<MSG> Feed(PlatformEvent e)
    {
        if (!e.window) e.window = kWnd;
        std::vector<MSG> out;
        TranslatePlatformEvent(e, &out);
        return out;
    }
    static PlatformEvent Key(EPlatformEventKind kind, uint32_t key, uint32_t mods = 0, bool repeat = false)
    {
        PlatformEvent e;
        e.kind = kind;
        e.key = key;
        e.mods = mods;
        e.repeat = repeat;
        return e;
    }
    static PlatformEvent Button(EPlatformEventKind kind, uint32_t button, int32_t x, int32_t y, int32_t clicks = 1,
                                uint32_t mods = 0)
    {
        PlatformEvent e;
        e.kind = kind;
        e.button = button;
        e.x = x;
        e.y = y;
        e.clicks = clicks;
        e.mods = mods;
        return e;
    }
};

TEST_F(EventTranslation, KeysCarryRepeatUpAndAltFlags)
{
    auto m = Feed(Key(PEV_KEY_DOWN, 'O'));
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].message, WM_KEYDOWN);
    EXPECT_EQ(m[0].wParam, WPARAM('O'));
    EXPECT_EQ(LoWordSigned(m[0].lParam), 1);
    EXPECT_EQ(HiWord(m[0].lParam), 0u);

    m = Feed(Key(PEV_KEY_DOWN, 'O', 0, true));
    EXPECT_EQ(HiWord(m[0].lParam), KF_REPEAT);

    m = Feed(Key(PEV_KEY_UP, 'O'));
    EXPECT_EQ(m[0].message, WM_KEYUP);
    EXPECT_EQ(HiWord(m[0].lParam), KF_UP | KF_REPEAT);

    // With Alt held keys become system keys.
    m = Feed(Key(PEV_KEY_DOWN, 'O', PMOD_ALT));
    EXPECT_EQ(m[0].message, WM_SYSKEYDOWN);
    EXPECT_EQ(HiWord(m[0].lParam), KF_ALTDOWN);
    m = Feed(Key(PEV_KEY_UP, 'O', PMOD_ALT));
    EXPECT_EQ(m[0].message, WM_SYSKEYUP);
    EXPECT_EQ(HiWord(m[0].lParam), KF_ALTDOWN | KF_UP | KF_REPEAT);

    // Keys without a virtual-key code say nothing.
    EXPECT_TRUE(Feed(Key(PEV_KEY_DOWN, 0)).empty());
}

TEST_F(EventTranslation, CharactersComeFromTextAndFromEnterBackspaceTabEscape)
{
    PlatformEvent t;
    t.kind = PEV_TEXT;
    std::strcpy(t.text, "o\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"); // o é € U+1F600
    auto m = Feed(t);
    ASSERT_EQ(m.size(), 5u);
    for (const MSG& x : m) EXPECT_EQ(x.message, WM_CHAR);
    EXPECT_EQ(m[0].wParam, WPARAM('o'));
    EXPECT_EQ(m[1].wParam, WPARAM(0xE9));
    EXPECT_EQ(m[2].wParam, WPARAM(0x20AC));
    EXPECT_EQ(m[3].wParam, WPARAM(0xD83D));
    EXPECT_EQ(m[4].wParam, WPARAM(0xDE00));

    // Alt+o: a system character with the Alt flag.
    t.mods = PMOD_ALT;
    std::strcpy(t.text, "o");
    m = Feed(t);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].message, WM_SYSCHAR);
    EXPECT_EQ(HiWord(m[0].lParam), KF_ALTDOWN);

    for (uint32_t key : {0x0Du, 0x08u, 0x09u, 0x1Bu}) {
        m = Feed(Key(PEV_KEY_DOWN, key));
        ASSERT_EQ(m.size(), 2u) << key;
        EXPECT_EQ(m[1].message, WM_CHAR);
        EXPECT_EQ(m[1].wParam, WPARAM(key));
    }
    // Alt+Enter: system key, then system character 13 with the Alt flag.
    m = Feed(Key(PEV_KEY_DOWN, 0x0D, PMOD_ALT));
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].message, WM_SYSKEYDOWN);
    EXPECT_EQ(m[1].message, WM_SYSCHAR);
    EXPECT_EQ(m[1].wParam, WPARAM(13));
    EXPECT_EQ(HiWord(m[1].lParam) & KF_ALTDOWN, KF_ALTDOWN);
    // No character on release, none for other keys.
    EXPECT_EQ(Feed(Key(PEV_KEY_UP, 0x0D)).size(), 1u);
    EXPECT_EQ(Feed(Key(PEV_KEY_DOWN, 0x25)).size(), 1u);
}

TEST_F(EventTranslation, ButtonsGiveDoubleClicksAndKeyFlags)
{
    auto m = Feed(Button(PEV_BUTTON_DOWN, PBUTTON_LEFT, 10, 20, 1, PMOD_SHIFT));
    EXPECT_EQ(m[0].message, WM_LBUTTONDOWN);
    EXPECT_EQ(m[0].wParam, WPARAM(MK_LBUTTON | MK_SHIFT));
    EXPECT_EQ(LoWordSigned(m[0].lParam), 10);
    EXPECT_EQ(HiWordSigned(m[0].lParam), 20);
    m = Feed(Button(PEV_BUTTON_UP, PBUTTON_LEFT, 10, 20));
    EXPECT_EQ(m[0].message, WM_LBUTTONUP);
    EXPECT_EQ(m[0].wParam, WPARAM(0));

    // Every second click at one spot is a double click.
    EXPECT_EQ(Feed(Button(PEV_BUTTON_DOWN, PBUTTON_LEFT, 1, 1, 2))[0].message, WM_LBUTTONDBLCLK);
    EXPECT_EQ(Feed(Button(PEV_BUTTON_DOWN, PBUTTON_LEFT, 1, 1, 3))[0].message, WM_LBUTTONDOWN);
    EXPECT_EQ(Feed(Button(PEV_BUTTON_DOWN, PBUTTON_LEFT, 1, 1, 4))[0].message, WM_LBUTTONDBLCLK);
    EXPECT_EQ(Feed(Button(PEV_BUTTON_DOWN, PBUTTON_RIGHT, 1, 1, 2))[0].message, WM_RBUTTONDBLCLK);
    EXPECT_EQ(Feed(Button(PEV_BUTTON_DOWN, PBUTTON_MIDDLE, 1, 1, 2))[0].message, WM_MBUTTONDBLCLK);
    // Left, right and middle are all held now.
    m = Feed(Button(PEV_BUTTON_UP, PBUTTON_RIGHT, 1, 1, 1, PMOD_CTRL));
    EXPECT_EQ(m[0].message, WM_RBUTTONUP);
    EXPECT_EQ(m[0].wParam, WPARAM(MK_LBUTTON | MK_MBUTTON | MK_CONTROL));

    // Motion outside the window (captured) comes with negative client coordinates.
    PlatformEvent mv;
    mv.kind = PEV_MOUSE_MOVE;
    mv.x = -5;
    mv.y = -300;
    mv.buttons = PButtonMask(PBUTTON_LEFT);
    m = Feed(mv);
    EXPECT_EQ(m[0].message, WM_MOUSEMOVE);
    EXPECT_EQ(m[0].wParam, WPARAM(MK_LBUTTON));
    EXPECT_EQ(LoWordSigned(m[0].lParam), -5);
    EXPECT_EQ(HiWordSigned(m[0].lParam), -300);
}

TEST_F(EventTranslation, WheelIs120PerNotchAtScreenCoordinates)
{
    PlatformEvent w;
    w.kind = PEV_WHEEL;
    w.wheel = -2;
    w.x = 5;
    w.y = 6;
    w.screenX = 105;
    w.screenY = 106;
    w.mods = PMOD_SHIFT;
    auto m = Feed(w);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].message, WM_MOUSEWHEEL);
    EXPECT_EQ(HiWordSigned(m[0].wParam), -240);
    EXPECT_EQ(LoWord(m[0].wParam), MK_SHIFT);
    EXPECT_EQ(LoWordSigned(m[0].lParam), 105);
    EXPECT_EQ(HiWordSigned(m[0].lParam), 106);
}

TEST_F(EventTranslation, WindowEventsAndEventsOfNoWindow)
{
    PlatformEvent e;
    e.kind = PEV_SIZED;
    e.x = 640;
    e.y = 480;
    auto m = Feed(e);
    EXPECT_EQ(m[0].message, WM_SIZE);
    EXPECT_EQ(m[0].wParam, SIZE_RESTORED);
    EXPECT_EQ(LoWord(m[0].lParam), 640u);
    EXPECT_EQ(HiWord(m[0].lParam), 480u);
    e.kind = PEV_MINIMISED;
    EXPECT_EQ(Feed(e)[0].wParam, SIZE_MINIMIZED);
    e.kind = PEV_CLOSE;
    EXPECT_EQ(Feed(e)[0].message, WM_CLOSE);
    e.kind = PEV_FOCUS_GAINED;
    EXPECT_EQ(Feed(e)[0].message, WM_SETFOCUS);
    e.kind = PEV_FOCUS_LOST;
    m = Feed(e);
    ASSERT_EQ(m.size(), 1u); // no capture to lose
    EXPECT_EQ(m[0].message, WM_KILLFOCUS);

    // Events of windows that are gone arrive without a window and are dropped.
    std::vector<MSG> out;
    PlatformEvent gone = Key(PEV_KEY_DOWN, 'A');
    TranslatePlatformEvent(gone, &out);
    EXPECT_TRUE(out.empty());
}

} // namespace
} // namespace vorn
