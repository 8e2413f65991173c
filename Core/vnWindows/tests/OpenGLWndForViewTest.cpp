// The view window: input reaching the view, copies, and the display agent that draws
// and asks for repaints through the dependency graph, drawing read back from a real
// OpenGL context.
#include "vnObject/CSpace.h"
#include "vnObject/ObjectModule.h"
#include "vnPlatform/Gl.h"
#include "vnPlatform/Window.h"
#include "vnUtils/Archive.h"
#include "vnUtils/PagedBuffer.h"
#include "vnUtils/TextWriter.h"
#include "vnWindows/OpenGLWndForView.h"
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace vorn {
namespace {

// A view that records what reaches it and draws a red square of the window's size read
// through the size provider (so that its drawing depends on SizeX).
struct TestView {
    ObjSysState m_sys{};
    std::vector<MouseEvent> m_mouse;
    std::vector<WindowsKeyEvent> m_keys;
    std::vector<WPARAM> m_timers;
    // The current view and size provider as each timer call found them.
    std::vector<CurrentViewRecord> m_timerViews;
    std::vector<IViewSizeProvider*> m_timerProviders;
    int32_t m_draws = 0;
    int32_t m_created = 0;
    int32_t m_destroyed = 0;
    bool m_hasTimer = false;
    bool m_writeWhileDrawing = false;
    bool m_readFocus = false;
    uintptr_t m_cursor = 0;
    int32_t m_side = 0;

    AnyInterface QueryInterface(const ReflectedInterface& ri);
    AnyInterface BindInterface(const ReflectedInterface& ri) { return QueryInterface(ri); }
    const ReflectedClass* GetReflectedClass() const { return nullptr; }
    void VisitObjects(IObjectVisitor&) {}
    void OnGarbageCollect() {}
    void DestroyObject() {}
    ObjSysState& GetSysState() { return m_sys; }
};

TestView& Self(void* p) { return *static_cast<TestView*>(p); }

const IViewTable kViewTable = {
    MakeIObjectTable<TestView>(),
    [](void* s) { ++Self(s).m_created; },
    [](void* s) { ++Self(s).m_destroyed; },
    [](void* s) {
        TestView& v = Self(s);
        ++v.m_draws;
        auto* window = static_cast<OpenGLWndForView*>(GetThreadViewSizeProvider());
        v.m_side = window->GetSizeX();
        if (v.m_readFocus) window->GetHasFocus();
        if (v.m_writeWhileDrawing) window->SetSizeX(v.m_side);
        glDisable(GL_TEXTURE_2D);
        glDisable(GL_DEPTH_TEST);
        glColor3f(1.0f, 0.0f, 0.0f);
        glBegin(GL_QUADS);
        glVertex2i(0, 0);
        glVertex2i(v.m_side / 2, 0);
        glVertex2i(v.m_side / 2, v.m_side / 2);
        glVertex2i(0, v.m_side / 2);
        glEnd();
    },
    [](void*, const Point2i&) { return false; },
    [](void* s, MouseEvent& e) -> LRESULT {
        Self(s).m_mouse.push_back(e);
        e.m_cursor = Self(s).m_cursor;
        e.m_mouseState += 1;
        return 0;
    },
    [](void* s, const WindowsKeyEvent& e) -> LRESULT {
        Self(s).m_keys.push_back(e);
        return 5;
    },
    [](void*) { return int32_t(100); },
    [](void*) { return int32_t(50); },
    [](void*) { return int32_t(0); },
    [](void*) { return int32_t(1000); },
    [](void*) { return int32_t(0); },
    [](void*) { return int32_t(1000); },
    [](void*) { return SC_VARIABLE_WIDTH_VARIABLE_HEIGHT; },
};
const ITimerTable kTimerTable = {
    MakeIObjectTable<TestView>(),
    [](void* s, WPARAM id) -> LRESULT {
        Self(s).m_timers.push_back(id);
        Self(s).m_timerViews.push_back(GetCurrentView());
        Self(s).m_timerProviders.push_back(GetThreadViewSizeProvider());
        return 9;
    },
};

AnyInterface TestView::QueryInterface(const ReflectedInterface& ri)
{
    if (std::strcmp(ri.GetName(), "vorn::IView") == 0) return AnyInterface{this, &kViewTable};
    if (m_hasTimer && std::strcmp(ri.GetName(), "vorn::ITimer") == 0) return AnyInterface{this, &kTimerTable};
    return AnyInterface{nullptr, nullptr};
}

IViewPtr ViewOf(TestView& v) { return IViewPtr{&v, &kViewTable}; }

// A space of the thread (no collector) for the agents and model fields.
class ViewWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        InstallObjectSpaceHooks();
        m_space = CreateCSpace(false, GCThreadFn{});
        m_saved = GetThreadCSpace();
        SetThreadCSpace(m_space);
        m_window.SetView(ViewOf(m_view));
    }
    void TearDown() override
    {
        SetThreadCSpace(m_saved);
        m_space->Destroy();
    }
    CSpace* m_space = nullptr;
    CSpace* m_saved = nullptr;
    TestView m_view;
    OpenGLWndForView m_window;
};

TEST(ViewWindowTypes, NewMouseEventPrintsAnUnknownPreviousPosition)
{
    StringTextWriter w;
    w << MouseEvent();
    EXPECT_EQ(w.TakeText(), "MouseEvent((0,0),(-999,-999),0,0,0)");
}

TEST_F(ViewWindow, DoubleClicksAndWheelReachTheViewAsTheWindowPromises)
{
    m_window.m_mouseState = 7;
    m_view.m_cursor = kViewCursorHand;
    m_window.OnMouse(LBUTTON_DBL_CLICK, MK_LBUTTON, 0, Point2i(3, 4));
    m_window.OnMouse(RBUTTON_DBL_CLICK, MK_RBUTTON, 0, Point2i(5, 6));
    m_window.OnMouse(MBUTTON_DBL_CLICK, 0, 0, Point2i(1, 1));
    // Without a window the wheel's screen point stays as it is.
    m_window.OnMouse(WHEEL, MK_SHIFT, -120, Point2i(10, 20));
    ASSERT_EQ(m_view.m_mouse.size(), 6u);
    const EMouseEventType expected[] = {LBUTTON_DOWN, LBUTTON_DBL_CLICK, RBUTTON_DBL_CLICK,
                                        MBUTTON_DOWN, MBUTTON_DBL_CLICK, WHEEL};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(m_view.m_mouse[i].type, expected[i]) << i;
        EXPECT_EQ(m_view.m_mouse[i].prevPos, Point2i(kUnknownMousePos, kUnknownMousePos));
        // Each delivery starts without a cursor and with the state the last one left.
        EXPECT_EQ(m_view.m_mouse[i].m_cursor, 0u);
        EXPECT_EQ(m_view.m_mouse[i].m_mouseState, int32_t(7 + i));
    }
    EXPECT_EQ(m_view.m_mouse[0].pos, Point2i(3, 4));
    EXPECT_EQ(m_view.m_mouse[1].flags, MK_LBUTTON);
    EXPECT_EQ(m_view.m_mouse[5].zDelta, -120);
    EXPECT_EQ(m_window.m_mouseState, 13);
    EXPECT_EQ(GetCurrentView().m_window, &m_window);
}

TEST_F(ViewWindow, KeysAndTimersGoToTheViewOnlyWhenItHasThem)
{
    EXPECT_EQ(m_window.OnKey(WindowsKeyEvent{WND_KEY_CHAR, 'o', 1, 0}), 5);
    ASSERT_EQ(m_view.m_keys.size(), 1u);
    EXPECT_EQ(m_view.m_keys[0].vkeyOrChar, uint32_t('o'));
    EXPECT_EQ(GetThreadViewSizeProvider(), static_cast<IViewSizeProvider*>(&m_window));
    EXPECT_EQ(GetThreadAmbientResourceTable(), &m_window.m_ambient);

    EXPECT_EQ(m_window.OnTimer(3), 0);
    EXPECT_TRUE(m_view.m_timers.empty());
    m_view.m_hasTimer = true;
    EXPECT_EQ(m_window.OnTimer(4), 9);
    EXPECT_EQ(m_view.m_timers, std::vector<WPARAM>{4});
}

TEST_F(ViewWindow, TimerCallsFindTheWindowTheCurrentView)
{
    m_view.m_hasTimer = true;
    m_window.m_clientWidth = 320;
    m_window.m_clientHeight = 200;
    SetCurrentView(CurrentViewRecord{});
    SetThreadViewSizeProvider(nullptr);
    SetThreadAmbientResourceTable(nullptr);
    m_window.OnTimer(1);
    ASSERT_EQ(m_view.m_timerViews.size(), 1u);
    EXPECT_EQ(m_view.m_timerViews[0].m_window, &m_window);
    EXPECT_EQ(m_view.m_timerViews[0].m_width, 320);
    EXPECT_EQ(m_view.m_timerViews[0].m_height, 200);
    EXPECT_EQ(m_view.m_timerProviders[0], static_cast<IViewSizeProvider*>(&m_window));
    EXPECT_EQ(GetThreadAmbientResourceTable(), &m_window.m_ambient);
}

TEST_F(ViewWindow, CopiesTakeTheModelViewAndAmbientTableButNoAgentsOrHandles)
{
    m_window.OnCreate(0); // the agents become observers
    m_window.SetSizeX(640);
    m_window.SetSizeY(480);
    m_window.SetHasFocus(true);
    m_window.m_ambient.Set(ARN("pen"), 42);
    {
        CSpaceLock lock(m_space);
        m_window.m_displayAgent.EvaluateIfNeeded(); // it now depends on SizeX
    }
    m_window.m_hWnd = reinterpret_cast<HWND>(uintptr_t(0x1000));
    m_window.m_hDC = reinterpret_cast<HDC>(uintptr_t(0x1000));
    m_window.m_hGLRC = reinterpret_cast<HGLRC>(uintptr_t(0x2000));
    {
        OpenGLWndForView copy(m_window);
        EXPECT_EQ(copy.SizeX, 640);
        EXPECT_EQ(copy.SizeY, 480);
        EXPECT_TRUE(copy.HasFocus);
        EXPECT_EQ(copy.m_ambient, m_window.m_ambient);
        EXPECT_EQ(copy.GetView(), m_window.GetView());
        EXPECT_EQ(copy.m_hWnd, nullptr);
        EXPECT_EQ(copy.m_hDC, nullptr);
        EXPECT_EQ(copy.m_hGLRC, nullptr);
        EXPECT_EQ(copy.m_displayAgent.GetFlags(), uint32_t(DGBaseNode::DG_DEPENDENT | DGBaseNode::DG_INVALID |
                                                           DGBaseNode::DG_MUST_RECOMPUTE));
        EXPECT_EQ(copy.m_displayAgent.FirstDependency(), nullptr);
        OpenGLWndForView assigned;
        assigned = m_window;
        EXPECT_EQ(assigned.SizeX, 640);
        EXPECT_EQ(assigned.m_hGLRC, nullptr);
        EXPECT_EQ(assigned.m_sizeAnalysisAgent.FirstDependency(), nullptr);
    }
    // The original's edges survived the copies going away.
    EXPECT_NE(m_window.m_displayAgent.FirstDependency(), nullptr);
    m_window.m_hWnd = nullptr;
    m_window.m_hDC = nullptr;
    m_window.m_hGLRC = nullptr;
    m_window.OnDestroy();
}

TEST_F(ViewWindow, ModelTypeOperationsCompareOrderPrintAndStore)
{
    const ReflectedClass* rc = OpenGLWndForView::GetClassRecord();
    ASSERT_STREQ(rc->GetName(), "vorn::OpenGLWndForView");
    ASSERT_EQ(rc->GetNumModelFields(), 3);
    EXPECT_STREQ(rc->GetModelField(1)->GetName(), "SizeX");
    OpenGLWndForView a, b;
    a.SizeX = 10;
    b.SizeX = 10;
    b.SizeY = 2;
    EXPECT_FALSE(rc->m_typeOps.m_equal(&a, &b));
    EXPECT_TRUE(rc->m_typeOps.m_less(&a, &b));
    b.HasFocus = true;
    a.SizeX = 99;
    EXPECT_TRUE(rc->m_typeOps.m_less(&a, &b)); // focus orders first
    StringTextWriter w;
    rc->m_typeOps.m_print(w, &b);
    EXPECT_EQ(w.TakeText(), "OpenGLWndForView(1,10,2)");

    PagedBuffer buffer;
    PagedBufferToOutputStreamAdapter out(&buffer);
    {
        Archive ar(&out);
        rc->m_typeOps.m_serialiseN(ar, &b, sizeof(b), 1);
    }
    xvector<uint8_t> bytes;
    buffer.CopyTo(bytes);
    const uint8_t expected[] = {1, 1, 10, 0, 0, 0, 2, 0, 0, 0};
    ASSERT_EQ(bytes.size(), 10);
    EXPECT_EQ(std::memcmp(bytes.data(), expected, 10), 0);
    OpenGLWndForView c;
    rc->m_typeOps.m_deserialiseN(InputArchive(bytes.data(), size_t(bytes.size())), &c, sizeof(c), 1);
    EXPECT_TRUE(rc->m_typeOps.m_equal(&b, &c));
    bytes[0] = 2;
    EXPECT_THROW(rc->m_typeOps.m_deserialiseN(InputArchive(bytes.data(), size_t(bytes.size())), &c, sizeof(c), 1),
                 DeserialisationException);
}

// ---- drawing in a real window ------------------------------------------------------

class DrawnViewWindow : public ViewWindow {
protected:
    static void SetUpTestSuite()
    {
        const char* display = std::getenv("DISPLAY");
        const char* driver = std::getenv("SDL_VIDEODRIVER");
        if ((!display || !*display) && (!driver || !*driver)) setenv("SDL_VIDEODRIVER", "offscreen", 1);
        EnablePlatformErrorBoxes(false);
        std::string error;
        ASSERT_TRUE(StartWindowSystem(&error)) << error;
    }
    void SetUp() override
    {
        ViewWindow::SetUp();
        std::string error;
        ASSERT_TRUE(SetGlPixelFormat(GlPixelFormat{8, 8, 24, 8, true}));
        m_platform = CreatePlatformWindow("view window", 40, 40, 128, 96, &error);
        ASSERT_NE(m_platform, nullptr) << error;
        m_window.m_hWnd = m_platform;
        m_window.m_hDC = m_platform;
        m_window.m_hGLRC = CreatePlatformGlContext(m_platform, nullptr, &error);
        ASSERT_NE(m_window.m_hGLRC, nullptr) << error;
        ShowPlatformWindow(m_platform);
    }
    void TearDown() override
    {
        m_window.OnDestroy();
        m_window.m_hWnd = nullptr;
        if (m_platform) DestroyPlatformWindow(m_platform);
        ViewWindow::TearDown();
    }
    // Draws one frame as a paint does and reads pixel (x, y) (y from the top) back.
    uint32_t DrawAndRead(int32_t x, int32_t y)
    {
        EXPECT_TRUE(MakePlatformGlCurrent(m_window.m_hDC, m_window.m_hGLRC));
        m_window.DrawScene();
        glFinish();
        uint8_t rgba[4] = {};
        glReadBuffer(GL_BACK);
        glReadPixels(x, 96 - 1 - y, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, rgba);
        MakePlatformGlCurrent(nullptr, nullptr);
        return uint32_t(rgba[0]) << 16 | uint32_t(rgba[1]) << 8 | rgba[2];
    }
    PlatformWindow* m_platform = nullptr;
};

TEST_F(DrawnViewWindow, DisplayAgentDrawsRepaintsOnceAfterAFieldWriteAndNeverForItsOwnPaint)
{
    m_window.OnCreate(0);
    EXPECT_EQ(m_view.m_created, 1);
    m_window.OnSize(SIZE_RESTORED, 128, 96);
    TakePlatformRepaint(m_platform);

    // The square is half the width read from SizeX: 64 pixels.
    EXPECT_EQ(DrawAndRead(10, 10), 0xFF0000u);
    EXPECT_EQ(DrawAndRead(63, 63), 0xFF0000u);
    EXPECT_EQ(DrawAndRead(64, 10), 0x000000u);
    EXPECT_EQ(m_view.m_side, 128);
    EXPECT_FALSE(TakePlatformRepaint(m_platform)) << "a paint asked for another paint of itself";

    // A write of what the drawing read asks for one repaint; the next paint draws anew.
    m_window.OnSize(SIZE_RESTORED, 100, 96);
    EXPECT_TRUE(TakePlatformRepaint(m_platform));
    EXPECT_FALSE(TakePlatformRepaint(m_platform));
    EXPECT_EQ(DrawAndRead(49, 10), 0xFF0000u);
    EXPECT_EQ(DrawAndRead(50, 10), 0x000000u);

    // A drawing that writes what it read does not loop.
    m_view.m_writeWhileDrawing = true;
    DrawAndRead(0, 0);
    EXPECT_FALSE(TakePlatformRepaint(m_platform));

    // Focus is a model field as well, but the drawing did not read it.
    m_window.OnSetFocus(nullptr);
    EXPECT_TRUE(m_window.HasFocus);
    EXPECT_FALSE(TakePlatformRepaint(m_platform));

    // Losing the focus clears it; a drawing that read it repaints.
    m_view.m_readFocus = true;
    DrawAndRead(0, 0);
    EXPECT_FALSE(TakePlatformRepaint(m_platform));
    m_window.OnKillFocus(nullptr);
    EXPECT_FALSE(m_window.HasFocus);
    EXPECT_TRUE(TakePlatformRepaint(m_platform));

    // After OnDestroy the agents observe nothing: writes ask for no paint.
    m_window.OnDestroy();
    EXPECT_EQ(m_view.m_destroyed, 1);
    EXPECT_TRUE(m_space->GetDGState().GetObservers().empty());
    {
        CSpaceLock lock(m_space);
        m_window.SetSizeX(77);
    }
    EXPECT_FALSE(TakePlatformRepaint(m_platform));
}

TEST_F(DrawnViewWindow, WheelPointReachesTheViewInClientCoordinates)
{
    SetPlatformClientPlacement(m_platform, 40, 30, 128, 96);
    int32_t ox = 0, oy = 0;
    GetPlatformClientOrigin(m_platform, &ox, &oy);
    ASSERT_TRUE(ox != 0 || oy != 0) << "the client area must not be at the screen's origin";
    m_window.OnMouse(WHEEL, 0, 120, Point2i(ox + 10, oy + 20));
    // Every other kind arrives in client coordinates already.
    m_window.OnMouse(MOVE, 0, 0, Point2i(10, 20));
    ASSERT_EQ(m_view.m_mouse.size(), 2u);
    EXPECT_EQ(m_view.m_mouse[0].pos, Point2i(10, 20));
    EXPECT_EQ(m_view.m_mouse[0].zDelta, 120);
    EXPECT_EQ(m_view.m_mouse[1].pos, Point2i(10, 20));
}

} // namespace
} // namespace vorn
