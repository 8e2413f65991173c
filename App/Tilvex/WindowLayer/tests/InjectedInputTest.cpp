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
    test::StartTestWindowSystem();
    if (std::string(GetWindowSystemDriver()) != "x11")
        GTEST_SKIP() << "input can be injected only into a real X server (driver " << GetWindowSystemDriver() << ")";
    ResetMessageLoop();
    std::vector<Call> log;
    auto* w = new test::RecordingWnd(&log);
    const std::string title = "vorn input test " + std::to_string(std::random_device()());
    ASSERT_TRUE(vnWIN32::CreateWindow(w, title.c_str(), Rect2i(900, 700, 1200, 900), WS_OVERLAPPEDWINDOW));
    vnWIN32::ShowWindow(w);
    test::PumpMessages(200);
    log.clear();

    // Clicks at one spot more than the double-click time apart, except the right pair.
    // Keyboard focus goes to the window explicitly: tests beside this one show windows too.
    const char* args[] = {"xdotool", "search", "--sync", "--name", title.c_str(), "windowfocus", "--sync", "mousemove", "0", "0", "mousemove", "1000", "760", "sleep", "0.2", "click", "1", "sleep", "0.7",
                          "click", "--repeat", "2", "--delay", "80", "3", "sleep", "0.7", "click", "4", "windowfocus", "--sync", "%1",
                          "key", "alt+Return", "type", "o", nullptr};
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
    // Windows of tests running beside this one may cover the spot or take the focus for
    // a moment (without a window manager every window shown takes it): the input is
    // sent again then.
    size_t missing = 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        log.clear();
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
        test::PumpMessages(150);
        if (exitCode != 0) continue; // the window could not be found or focused in time
        size_t at = 0;
        missing = expected.size();
        for (size_t i = 0; i < expected.size(); ++i)
            if (!Has(log, expected[i], &at)) {
                missing = i;
                break;
            }
        if (missing == expected.size()) break;
    }
    EXPECT_EQ(missing, expected.size()) << "the first input not seen in order";
    w->Destroy();
    ResetMessageLoop();
}

} // namespace
} // namespace vorn
