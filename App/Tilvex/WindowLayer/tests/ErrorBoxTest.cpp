// Error boxes: a box does not stop the program that shows it (its loop goes on), and no
// box outlives it, whether it is killed or asked to end while the box is up.
#include "WindowTestSupport.h"
#include <csignal>

namespace vorn {
namespace {

using test::PrivateXServer;

// In a child process (exit status 3 when it got through): shows a box and, once the box
// is on the screen, ends as end says. A box that waited for the user would keep the
// child from ever getting there: a watchdog then ends it with status 9.
void ShowABoxThen(void (*end)())
{
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::minutes(2));
        std::_Exit(9);
    }).detach();
    test::StartTestWindowSystem();
    EnablePlatformErrorBoxes(true);
    ShowPlatformErrorBox("A box that must not stop its program");
    // The loop goes on while the box is up: a wake-up arrives.
    WakePlatformEventLoop();
    PlatformEvent e;
    while (WaitPlatformEvent(&e, -1) && e.kind != PEV_WAKE) {
    }
    if (!test::WaitUntil([] { return test::CountErrorBoxes() == 1; })) std::_Exit(8);
    end();
    std::exit(3);
}

TEST(ErrorBoxes, ABoxLetsItsProgramGoOnAndEndsWithIt)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // a fresh process for each box
    PrivateXServer server;
    if (!server.Running()) GTEST_SKIP() << "boxes are shown only on a real X server (Xvfb)";
    // Killed: nothing of the program runs any more, and its box goes all the same.
    EXPECT_EXIT(ShowABoxThen([] { std::raise(SIGKILL); }), ::testing::KilledBySignal(SIGKILL), "");
    EXPECT_TRUE(test::WaitUntil([] { return test::CountErrorBoxes() == 0; })) << "the killed program's box stayed";
    // A stop signal reaches the loop as a request to end; the program then takes its
    // boxes down instead of waiting for the user to close them.
    EXPECT_EXIT(ShowABoxThen([] {
                    std::raise(SIGTERM);
                    PlatformEvent e;
                    while (WaitPlatformEvent(&e, -1) && e.kind != PEV_QUIT) {
                    }
                    StopWindowSystem();
                    WaitPlatformErrorBoxes();
                    if (test::CountErrorBoxes() != 0) std::_Exit(7);
                }),
                ::testing::ExitedWithCode(3), "A box that must not stop its program");
    EXPECT_EQ(test::CountErrorBoxes(), 0);
}

} // namespace
} // namespace vorn
