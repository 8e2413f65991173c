// The window system under X: a wake-up that reaches a window already destroyed (the
// library sends them from the waking thread while the loop's thread may destroy the
// window) must not end the process, also when its error is read only as the library
// closes its connections at the stop; any other X error still goes to the library's
// handling.
#include "vnPlatform/Window.h"
#include <gtest/gtest.h>
#include <SDL.h>
#include <SDL_syswm.h>
#include <X11/Xlib.h>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace vorn {
namespace {

// Starts the window system; false when it does not run on an X server here.
bool StartOnX()
{
    std::string error;
    if (!std::getenv("DISPLAY")) return false;
    if (!StartWindowSystem(&error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    return std::string(GetWindowSystemDriver()) == "x11";
}

// A window made on a connection of its own and destroyed again, as the server sees it.
struct GoneWindow {
    Display* display = XOpenDisplay(nullptr);
    Window window = 0;
    GoneWindow()
    {
        window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
        XDestroyWindow(display, window);
    }
};

TEST(XErrors, OnlyASendToAWindowThatIsGoneIsDropped)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Decided without connecting: a connection that ends here would let a server that
    // resets when its last client goes refuse the child's.
    const char* display = std::getenv("DISPLAY");
    const char* driver = std::getenv("SDL_VIDEODRIVER");
    if (!display || !*display || (driver && *driver && std::string(driver) != "x11"))
        GTEST_SKIP() << "needs an X server (DISPLAY)";
    // The send: the error is dropped and the program goes on.
    EXPECT_EXIT(
        {
            if (!StartOnX()) std::exit(2);
            GoneWindow gone;
            XEvent event{};
            event.xclient.type = ClientMessage;
            event.xclient.window = gone.window;
            event.xclient.format = 32;
            XSendEvent(gone.display, gone.window, False, NoEventMask, &event);
            XSync(gone.display, False);
            std::exit(3);
        },
        ::testing::ExitedWithCode(3), "");
    // The same send on one of the library's own connections, left unread: its error
    // arrives while the library closes that connection as the window system stops.
    EXPECT_EXIT(
        {
            if (!StartOnX()) std::exit(2);
            SDL_Window* own = SDL_CreateWindow("", 0, 0, 1, 1, SDL_WINDOW_HIDDEN);
            SDL_SysWMinfo info;
            SDL_VERSION(&info.version);
            if (!own || !SDL_GetWindowWMInfo(own, &info) || info.subsystem != SDL_SYSWM_X11) std::exit(2);
            Display* display = info.info.x11.display;
            const Window gone = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
            XDestroyWindow(display, gone);
            XEvent event{};
            event.xclient.type = ClientMessage;
            event.xclient.window = gone;
            event.xclient.format = 32;
            XSendEvent(display, gone, False, NoEventMask, &event);
            XFlush(display);
            StopWindowSystem(); // also destroys the library's window
            std::exit(3);
        },
        ::testing::ExitedWithCode(3), "");
    // Any other request on a gone window is still an error that ends the program.
    EXPECT_EXIT(
        {
            if (!StartOnX()) std::exit(2);
            GoneWindow gone;
            XMapWindow(gone.display, gone.window);
            XSync(gone.display, False);
            std::exit(3);
        },
        ::testing::ExitedWithCode(1), "BadWindow");
}

} // namespace
} // namespace vorn
