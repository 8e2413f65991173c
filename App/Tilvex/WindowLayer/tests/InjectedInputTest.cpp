// Real input, injected into the X server with xdotool, reaches the handlers with the
// arguments the window procedure promises.
#include "WindowTestSupport.h"
#include "vnPlatform/Process.h"
#include "vnWindows/WindowCalls.h"
#include "Tilvex/WindowLayer/ViewerWindowCalls.h"
#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>

namespace vorn {
namespace {

using test::Call;
using test::PrivateXServer;

bool Has(const std::vector<Call>& log, const Call& c, size_t* from)
{
    for (size_t i = *from; i < log.size(); ++i) {
        const Call& x = log[i];
        if (x.what == c.what && x.a == c.a && x.b == c.b && x.c == c.c && x.d == c.d && x.e == c.e) {
            *from = i + 1;
            return true;
        }
    }
    return false;
}

TEST(InjectedInput, MouseWheelKeysAndCharactersFromTheXServer)
{
    // On a server of its own: no window of another test covers this one or takes the
    // focus, so the input is sent once and all of it must arrive.
    PrivateXServer server;
    if (!server.Running()) GTEST_SKIP() << "input can be injected only into a real X server (Xvfb)";
    // Two presses at one spot make a double click however long apart they come: the
    // clicks meant as single ones are told apart by the buttons alone. A click that SDL
    // reads within 10 ms of the focus it follows is dropped unless clicks go through: a
    // slow process (the thread sanitizer) reads both at once.
    setenv("SDL_MOUSE_DOUBLE_CLICK_TIME", "600000", 1);
    setenv("SDL_MOUSE_FOCUS_CLICKTHROUGH", "1", 1);
    test::StartTestWindowSystem();
    ASSERT_EQ(std::string(GetWindowSystemDriver()), "x11");
    ResetMessageLoop();
    std::vector<Call> log;
    auto* w = new test::RecordingWnd(&log);
    const std::string title = "vorn input test";
    ASSERT_TRUE(vnWIN32::CreateWindow(w, title.c_str(), Rect2i(900, 700, 1200, 900), WS_OVERLAPPEDWINDOW));
    vnWIN32::ShowWindow(w);

    const char* args[] = {"xdotool", "search", "--sync", "--name", title.c_str(), "windowfocus", "--sync",
                          "mousemove", "--sync", "1000", "760", "click", "1", "click", "--repeat", "2", "3",
                          "click", "4", "key", "alt+Return", "type", "o", nullptr};
    const std::vector<Call> expected = {
        {"mouse", MOVE, 0, 0, 100, 60},
        {"mouse", LBUTTON_DOWN, MK_LBUTTON, 0, 100, 60},
        {"mouse", LBUTTON_UP, 0, 0, 100, 60},
        {"mouse", RBUTTON_DOWN, MK_RBUTTON, 0, 100, 60},
        {"mouse", RBUTTON_UP, 0, 0, 100, 60},
        {"mouse", RBUTTON_DBL_CLICK, MK_RBUTTON, 0, 100, 60},
        {"mouse", WHEEL, 0, WHEEL_DELTA, 1000, 760}, // screen coordinates
        {"key", WND_SYS_KEY_DOWN, 0x0D, 1, KF_ALTDOWN},
        {"key", WND_SYS_KEY_CHAR, 13, 1, KF_ALTDOWN},
        {"key", WND_KEY_CHAR, 'o', 1, 0},
    };
    // How many of the expected calls arrived, in order.
    const auto seen = [&] {
        size_t at = 0, n = 0;
        while (n < expected.size() && Has(log, expected[n], &at)) ++n;
        return n;
    };
    ChildProcess child;
    ASSERT_EQ(StartProcess("/usr/bin/xdotool", args, nullptr, nullptr, &child), 0);
    int exitCode = -1;
    std::atomic<bool> done{false};
    // The window keeps handling its messages while the input arrives.
    std::thread waiter([&] {
        WaitProcess(child, &exitCode);
        done = true;
    });
    while (!done) test::PumpMessages(20);
    waiter.join();
    EXPECT_EQ(exitCode, 0) << "xdotool failed";
    // The server has taken all of the input; the loop gets it as fast as it is read.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (seen() < expected.size() && std::chrono::steady_clock::now() < deadline) test::PumpMessages(20);
    EXPECT_EQ(seen(), expected.size()) << "the first input not seen in order";
    w->Destroy();
    ResetMessageLoop();
    unsetenv("SDL_MOUSE_DOUBLE_CLICK_TIME");
    unsetenv("SDL_MOUSE_FOCUS_CLICKTHROUGH");
}

} // namespace
} // namespace vorn
