// An interrupt during a key wait, while a partial file is armed: the file goes, the
// process ends with status 1 and the terminal has its echo back. The child process waits
// for a key on a pseudo-terminal that the test holds.
#include "vnPlatform/Console.h"
#include "vnPlatform/Interrupt.h"
#include <gtest/gtest.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

bool EchoIsOn(int fd)
{
    termios t;
    return tcgetattr(fd, &t) == 0 && (t.c_lflag & ECHO) != 0;
}

TEST(Interrupt, DuringAKeyWaitRemovesTheFileAndGivesTheTerminalItsEchoBack)
{
    const std::string path =
        (std::filesystem::temp_directory_path() / ("vorn-interrupt-" + std::to_string(getpid()) + ".part")).string();
    std::FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);

    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slaveName = ptsname(master);
    const int slave = open(slaveName.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    ASSERT_TRUE(EchoIsOn(slave));

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setsid();
        const int tty = open(slaveName.c_str(), O_RDWR);
        if (tty < 0 || dup2(tty, STDIN_FILENO) < 0) _exit(3);
        vorn::RemoveOnInterrupt(path.c_str());
        vorn::WaitForKey();
        _exit(2); // no key comes
    }
    // The wait has begun once the terminal's echo is off.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (EchoIsOn(slave) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_FALSE(EchoIsOn(slave)) << "the child never waited for a key";
    kill(child, SIGINT);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(EchoIsOn(slave)) << "the terminal was left without echo";
    close(slave);
    close(master);
    std::filesystem::remove(path);
}

} // namespace
