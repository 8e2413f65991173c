// OpenGL windows drawn with the pixel projection and read back pixel for pixel, on
// the test's X server or the offscreen driver (both give Mesa's software renderer);
// how they end: a view window closed by the user, windows still open when the window
// system stops, and a context left alive then; which contexts a new context shares with.
#include "WindowTestSupport.h"
#include "vnObject/CSpace.h"
#include "vnObject/ObjectModule.h"
#include "vnWindows/OpenGLWndForView.h"
#include "vnWindows/OpenGL.h"
#include "vnWindows/PixelProjection.h"
#include "vnWindows/WindowCalls.h"
#include <array>

namespace vorn {
namespace {

constexpr int kW = 700;
constexpr int kH = 500;
using Rgb = std::array<uint8_t, 3>;

// A 4 x 4 texture, stored blue-green-red, rows top first.
std::vector<uint8_t> TextureBgr()
{
    std::vector<uint8_t> t;
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) {
            t.push_back(uint8_t(10 + 60 * x)); // blue
            t.push_back(uint8_t(20 + 50 * y)); // green
            t.push_back(uint8_t(200 - 40 * x - 10 * y)); // red
        }
    return t;
}
Rgb Texel(int x, int y) { return {uint8_t(200 - 40 * x - 10 * y), uint8_t(20 + 50 * y), uint8_t(10 + 60 * x)}; }

void Quad(int x1, int y1, int x2, int y2)
{
    glBegin(GL_QUADS);
    glTexCoord2f(0, 0);
    glVertex2i(x1, y1);
    glTexCoord2f(1, 0);
    glVertex2i(x2, y1);
    glTexCoord2f(1, 1);
    glVertex2i(x2, y2);
    glTexCoord2f(0, 1);
    glVertex2i(x1, y2);
    glEnd();
}

// Draws a fixed picture and reads the back buffer before it is shown.
class PatternWnd : public OpenGLWnd {
public:
    explicit PatternWnd(bool upload) : m_upload(upload) {}
    void InitGL(HDC, HGLRC) override
    {
        m_contextAtInit = glGetString(GL_VERSION) != nullptr;
        glDisable(GL_DEPTH_TEST);
    }
    void DrawScene() override
    {
        ++m_draws;
        GLSetPixelProjection(Rect2i(0, 0, kW, kH));
        glClearColor(0, 0, 0, 0);
        glClear(GL_COLOR_BUFFER_BIT);
        glDisable(GL_TEXTURE_2D);
        glColor3ub(255, 0, 0);
        Quad(0, 0, 1, 1);
        glColor3ub(0, 255, 0);
        Quad(kW - 1, kH - 1, kW, kH);
        glColor3ub(0, 0, 255);
        Quad(10, 20, 110, 70);
        // Texture 1 is named without glGenTextures; a window made later shares it.
        glEnable(GL_TEXTURE_2D);
        glBindTexture(GL_TEXTURE_2D, 1);
        if (m_upload) {
            const std::vector<uint8_t> t = TextureBgr();
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
            glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, 4, 4, 0, GL_BGR_EXT, GL_UNSIGNED_BYTE, t.data());
        }
        glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
        Quad(300, 300, 304, 304); // 1:1
        Quad(400, 300, 408, 308); // magnified twice
        glDisable(GL_TEXTURE_2D);
        m_pixels.assign(size_t(kW) * kH * 3, 0);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glReadPixels(0, 0, kW, kH, GL_RGB, GL_UNSIGNED_BYTE, m_pixels.data());
    }
    // Pixel (x, y) with y from the top.
    Rgb At(int x, int y) const
    {
        const size_t i = (size_t(kH - 1 - y) * kW + x) * 3;
        return {m_pixels[i], m_pixels[i + 1], m_pixels[i + 2]};
    }

    bool m_upload;
    bool m_contextAtInit = false;
    int m_draws = 0;
    std::vector<uint8_t> m_pixels;
};

Rgb Expected(int x, int y)
{
    if (x == 0 && y == 0) return {255, 0, 0};
    if (x == kW - 1 && y == kH - 1) return {0, 255, 0};
    if (x >= 10 && x < 110 && y >= 20 && y < 70) return {0, 0, 255};
    if (x >= 300 && x < 304 && y >= 300 && y < 304) return Texel(x - 300, y - 300);
    if (x >= 400 && x < 408 && y >= 300 && y < 308) return Texel((x - 400) / 2, (y - 300) / 2);
    return {0, 0, 0};
}

int WrongPixels(const PatternWnd& w)
{
    int wrong = 0;
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            if (w.At(x, y) != Expected(x, y)) ++wrong;
    return wrong;
}

class OpenGLWindow : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test::StartTestWindowSystem(); }
    void TearDown() override
    {
        test::DestroyLeftoverWindows();
        ResetMessageLoop();
    }
};

TEST_F(OpenGLWindow, DrawsPixelExactAndSharesTexturesWithTheFirstContext)
{
    auto* first = new PatternWnd(true);
    ASSERT_TRUE(OpenGLWnd::Create(first, Rect2i(100, 100, 100 + kW, 100 + kH), "Open GL Wnd"));
    EXPECT_TRUE(first->m_contextAtInit);
    EXPECT_TRUE(IsPlatformWindowVisible(first->m_hWnd));
    EXPECT_EQ(SharedGLContext, first->m_hGLRC);
    vnWIN32::InvalidateRect(first);
    test::PumpMessages(50);
    ASSERT_GE(first->m_draws, 1); // a display may add paints of its own (exposure)
    EXPECT_EQ(WrongPixels(*first), 0);
    EXPECT_EQ(glGetString(GL_VERSION), nullptr); // current only during the paint

    // The second window draws texture 1 without uploading it.
    auto* second = new PatternWnd(false);
    ASSERT_TRUE(OpenGLWnd::Create(second, Rect2i(120, 120, 120 + kW, 120 + kH), "second"));
    EXPECT_EQ(SharedGLContext, first->m_hGLRC);
    vnWIN32::InvalidateRect(second);
    test::PumpMessages(50);
    ASSERT_GE(second->m_draws, 1);
    EXPECT_EQ(WrongPixels(*second), 0);

    // Destroying the owner of the shared context clears it; the next context is shared.
    first->Destroy();
    EXPECT_EQ(SharedGLContext, nullptr);
    auto* third = new PatternWnd(true);
    ASSERT_TRUE(OpenGLWnd::Create(third, Rect2i(0, 0, kW, kH), "third"));
    EXPECT_EQ(SharedGLContext, third->m_hGLRC);
    second->Destroy();
    third->Destroy();
    EXPECT_EQ(SharedGLContext, nullptr);
}

TEST_F(OpenGLWindow, APaintThatThrowsLeavesNoContextCurrent)
{
    struct ThrowingWnd : OpenGLWnd {
        void DrawScene() override { throw 5; }
    };
    auto* w = new ThrowingWnd;
    ASSERT_TRUE(OpenGLWnd::Create(w, Rect2i(0, 0, 64, 64), "throws"));
    EXPECT_THROW(SendMessageW(w->m_hWnd, WM_PAINT, 0, 0), int);
    EXPECT_EQ(glGetString(GL_VERSION), nullptr);
    w->Destroy();
}

// A view window is an object of its space: closing its window destroys the window and
// leaves the object to the space.
TEST_F(OpenGLWindow, AViewWindowClosedByTheUserIsDestroyedAndTheObjectStaysWithItsSpace)
{
    InstallObjectSpaceHooks();
    CSpace* space = CreateCSpace(false, GCThreadFn{});
    CSpace* saved = GetThreadCSpace();
    SetThreadCSpace(space);
    auto* w = new OpenGLWndForView;
    space->RegisterGcObject(w->AsObject());
    ASSERT_TRUE(OpenGLWnd::Create(w, Rect2i(100, 100, 300, 250), "view"));
    const HWND h = w->m_hWnd;
    EXPECT_EQ(space->GetDGState().GetObservers().size(), 2u); // its agents observe

    SendMessageW(h, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(h));
    EXPECT_EQ(w->m_hWnd, nullptr);
    EXPECT_EQ(w->m_hGLRC, nullptr);
    EXPECT_EQ(SharedGLContext, nullptr);
    EXPECT_TRUE(space->GetDGState().GetObservers().empty());
    EXPECT_EQ(space->GetNumObjects(), 1);
    SetThreadCSpace(saved);
    space->Destroy(); // deletes the object, through its object table
}

// The windows still open when the window system stops are destroyed as closing destroys
// them: no context of the closed display is left to share, and after a new start the
// first context is the shared one again.
TEST_F(OpenGLWindow, StoppingTheWindowSystemDestroysTheOpenWindowsAndTheNextStartSharesAnew)
{
    std::vector<test::Call> logA, logB;
    auto* a = new test::RecordingWnd(&logA);
    auto* b = new test::RecordingWnd(&logB);
    ASSERT_TRUE(OpenGLWnd::Create(a, Rect2i(0, 0, 64, 64), "a"));
    ASSERT_TRUE(OpenGLWnd::Create(b, Rect2i(80, 0, 144, 64), "b"));
    ASSERT_EQ(SharedGLContext, a->m_hGLRC);
    logA.clear();
    logB.clear();

    StopWindowSystem();
    const std::vector<std::string> destroyed{"destroy", "ncdestroy", "deleted"};
    EXPECT_EQ(test::Names(logA), destroyed);
    EXPECT_EQ(test::Names(logB), destroyed);
    ASSERT_EQ(SharedGLContext, nullptr);
    EXPECT_FALSE(IsWindowSystemStarted());

    test::StartTestWindowSystem();
    auto* first = new PatternWnd(true);
    ASSERT_TRUE(OpenGLWnd::Create(first, Rect2i(100, 100, 100 + kW, 100 + kH), "first"));
    EXPECT_EQ(SharedGLContext, first->m_hGLRC);
    auto* second = new PatternWnd(false);
    ASSERT_TRUE(OpenGLWnd::Create(second, Rect2i(120, 120, 120 + kW, 120 + kH), "second"));
    vnWIN32::InvalidateRect(first);
    test::PumpMessages(50);
    ASSERT_GE(first->m_draws, 1);
    vnWIN32::InvalidateRect(second);
    test::PumpMessages(50);
    ASSERT_GE(second->m_draws, 1);
    EXPECT_EQ(WrongPixels(*second), 0); // drew the texture that the first uploaded
    first->Destroy();
    second->Destroy();
}

// A context that its owner left alive is released when the system stops; after a new
// start it is made current nowhere and shared with nothing, and deleting it is safe.
TEST_F(OpenGLWindow, AContextLeftAliveAcrossAStopIsNeverUsedAgain)
{
    std::string error;
    PlatformWindow* w = CreatePlatformWindow("left", 0, 0, 32, 32, &error);
    ASSERT_NE(w, nullptr) << error;
    PlatformGlContext* left = CreatePlatformGlContext(w, nullptr, &error);
    ASSERT_NE(left, nullptr) << error;
    StopWindowSystem();

    test::StartTestWindowSystem();
    PlatformWindow* v = CreatePlatformWindow("next", 0, 0, 32, 32, &error);
    ASSERT_NE(v, nullptr) << error;
    EXPECT_FALSE(MakePlatformGlCurrent(v, left));
    PlatformGlContext* fresh = CreatePlatformGlContext(v, left, &error);
    ASSERT_NE(fresh, nullptr) << error;
    ASSERT_TRUE(MakePlatformGlCurrent(v, fresh));
    EXPECT_NE(glGetString(GL_VERSION), nullptr);
    MakePlatformGlCurrent(nullptr, nullptr);
    DeletePlatformGlContext(left);
    DeletePlatformGlContext(fresh);
    DestroyPlatformWindow(v);
}

// A new context shares with the one it is given only while the window that one was
// made for lives: not once that window is destroyed (however many windows came and
// went since, one of them perhaps at its address), and not once the window system
// stopped under it. Texture 1, named in the first context, shows whether the new
// context sees the first one's textures.
TEST_F(OpenGLWindow, ANewContextSharesOnlyWithAContextWhoseWindowLives)
{
    enum EFirstWindow { KEPT, DESTROYED, DESTROYED_AFTER_OTHERS, GONE_WITH_A_STOP };
    struct Case {
        const char* name;
        EFirstWindow first;
        bool shares;
    };
    const Case cases[] = {
        {"window kept", KEPT, true},
        {"window destroyed", DESTROYED, false},
        {"window destroyed, others made and destroyed", DESTROYED_AFTER_OTHERS, false},
        {"window system stopped", GONE_WITH_A_STOP, false},
    };
    const std::vector<uint8_t> texels = TextureBgr();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        PlatformWindow* a = CreatePlatformWindow("a", 0, 0, 32, 32, &error);
        ASSERT_NE(a, nullptr) << error;
        PlatformGlContext* first = CreatePlatformGlContext(a, nullptr, &error);
        ASSERT_NE(first, nullptr) << error;
        ASSERT_TRUE(MakePlatformGlCurrent(a, first));
        glBindTexture(GL_TEXTURE_2D, 1);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, 4, 4, 0, GL_BGR_EXT, GL_UNSIGNED_BYTE, texels.data());
        ASSERT_TRUE(glIsTexture(1));
        MakePlatformGlCurrent(nullptr, nullptr);

        switch (c.first) {
        case KEPT: break;
        case DESTROYED: DestroyPlatformWindow(a); break;
        case DESTROYED_AFTER_OTHERS:
            DestroyPlatformWindow(a);
            for (int i = 0; i < 3; ++i) {
                PlatformWindow* other = CreatePlatformWindow("other", 0, 0, 32, 32, &error);
                ASSERT_NE(other, nullptr) << error;
                DestroyPlatformWindow(other);
            }
            break;
        case GONE_WITH_A_STOP:
            StopWindowSystem();
            test::StartTestWindowSystem();
            break;
        }
        PlatformWindow* b = CreatePlatformWindow("b", 40, 0, 32, 32, &error);
        ASSERT_NE(b, nullptr) << error;
        PlatformGlContext* next = CreatePlatformGlContext(b, first, &error);
        ASSERT_NE(next, nullptr) << error;
        ASSERT_TRUE(MakePlatformGlCurrent(b, next));
        EXPECT_EQ(glIsTexture(1) == GL_TRUE, c.shares);
        MakePlatformGlCurrent(nullptr, nullptr);
        // A context released by a stop is never made current again.
        if (c.first == GONE_WITH_A_STOP) {
            EXPECT_FALSE(MakePlatformGlCurrent(b, first));
        }
        DeletePlatformGlContext(next);
        DeletePlatformGlContext(first);
        DestroyPlatformWindow(b);
        if (c.first == KEPT) DestroyPlatformWindow(a);
    }
}

} // namespace
} // namespace vorn
