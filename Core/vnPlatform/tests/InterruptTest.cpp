// Signals while a partial file is armed, held or released, each in a child process: an
// armed file goes (only while the name is still its own) and the status is 1 whatever
// signal would have ended the process; a signal that comes while interrupts are held
// is acted on when they are released; released interrupts never remove the file again;
// a key wait gives the terminal its echo back however the process ends. A key wait runs
// on a pseudo-terminal that the test holds.
#include "vnPlatform/Console.h"
#include "vnPlatform/Interrupt.h"
#include "vnPlatform/Thread.h"
#include <gtest/gtest.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
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

std::string MakeFile(const char* name)
{
    const std::string path = (std::filesystem::temp_directory_path() /
                              (std::string("vorn-interrupt-") + name + "-" + std::to_string(getpid()) + ".part"))
                                 .string();
    std::FILE* f = std::fopen(path.c_str(), "w");
    EXPECT_NE(f, nullptr);
    if (f) std::fclose(f);
    return path;
}

vorn::FileIdentity IdentityOf(const std::string& path)
{
    vorn::FileIdentity id;
    EXPECT_EQ(vorn::QueryFileIdentity(path.c_str(), &id), 0);
    return id;
}

// Runs body in a child process and returns its wait status.
int InChild(const std::function<void()>& body)
{
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        body();
        _exit(0);
    }
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    return status;
}

bool ExitedWith(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
bool KilledBy(int status, int sig) { return WIFSIGNALED(status) && WTERMSIG(status) == sig; }

// A pseudo-terminal whose other side a child takes as its standard input.
struct Pty {
    int master = -1;
    int slave = -1;
    std::string slaveName;
    Pty()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(master, 0);
        EXPECT_EQ(grantpt(master), 0);
        EXPECT_EQ(unlockpt(master), 0);
        slaveName = ptsname(master);
        slave = open(slaveName.c_str(), O_RDWR | O_NOCTTY);
        EXPECT_GE(slave, 0);
        EXPECT_TRUE(EchoIsOn(slave));
    }
    ~Pty()
    {
        close(slave);
        close(master);
    }
    // In the child: the terminal becomes its standard input.
    void TakeAsInput() const
    {
        setsid();
        const int tty = open(slaveName.c_str(), O_RDWR);
        if (tty < 0 || dup2(tty, STDIN_FILENO) < 0) _exit(3);
    }
};

// Starts setup and then a key wait in a child on pty, sends sig once the wait has begun
// (the terminal's echo is off), and returns the child's wait status.
int SignalDuringKeyWait(const Pty& pty, int sig, const std::function<void()>& setup)
{
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        pty.TakeAsInput();
        setup();
        vorn::WaitForKey();
        _exit(2); // no key comes
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (EchoIsOn(pty.slave) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(EchoIsOn(pty.slave)) << "the child never waited for a key";
    kill(child, sig);
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    return status;
}

TEST(Interrupt, DuringAKeyWaitRemovesTheFileAndGivesTheTerminalItsEchoBack)
{
    const std::string path = MakeFile("wait");
    const vorn::FileIdentity id = IdentityOf(path);
    Pty pty;
    const int status = SignalDuringKeyWait(pty, SIGINT, [&] { vorn::RemoveOnInterrupt(path.c_str(), id); });
    EXPECT_TRUE(ExitedWith(status, 1)) << status;
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(EchoIsOn(pty.slave)) << "the terminal was left without echo";
    std::filesystem::remove(path);
}

// After the file has its final name (interrupts released), Ctrl-C at the last key
// wait ends the process as Ctrl-C does, with the terminal given back; the file that
// now has the old name is not touched.
TEST(Interrupt, AfterReleaseASignalAtAKeyWaitGivesTheTerminalBackAndRemovesNothing)
{
    for (const int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig);
        const std::string path = MakeFile("late");
        const vorn::FileIdentity id = IdentityOf(path);
        Pty pty;
        const int status = SignalDuringKeyWait(pty, sig, [&] {
            vorn::RemoveOnInterrupt(path.c_str(), id);
            vorn::HoldInterrupts();
            vorn::ReleaseInterrupts();
        });
        EXPECT_TRUE(KilledBy(status, sig)) << status;
        EXPECT_TRUE(std::filesystem::exists(path));
        EXPECT_TRUE(EchoIsOn(pty.slave)) << "the terminal was left without echo";
        std::filesystem::remove(path);
    }
}

// Every signal that would end the process removes an armed file and ends it with 1,
// the real-time ones too.
TEST(Interrupt, EverySignalThatWouldEndTheProcessRemovesTheArmedFile)
{
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT, SIGUSR1, SIGALRM, int(SIGRTMIN),
                          int(SIGRTMIN) + 1, int(SIGRTMAX)}) {
        SCOPED_TRACE(sig);
        const std::string path = MakeFile("every");
        const vorn::FileIdentity id = IdentityOf(path);
        const int status = InChild([&] {
            vorn::RemoveOnInterrupt(path.c_str(), id);
            raise(sig);
            _exit(2);
        });
        EXPECT_TRUE(ExitedWith(status, 1)) << status;
        EXPECT_FALSE(std::filesystem::exists(path));
        std::filesystem::remove(path);
    }
}

// A signal the program was started to ignore (nohup) stays ignored.
TEST(Interrupt, AnIgnoredSignalStaysIgnored)
{
    const std::string path = MakeFile("ignored");
    const vorn::FileIdentity id = IdentityOf(path);
    const int status = InChild([&] {
        signal(SIGHUP, SIG_IGN);
        vorn::RemoveOnInterrupt(path.c_str(), id);
        raise(SIGHUP);
        _exit(4);
    });
    EXPECT_TRUE(ExitedWith(status, 4)) << status;
    EXPECT_TRUE(std::filesystem::exists(path));
    std::filesystem::remove(path);
}

// A signal while interrupts are held waits, and is acted on when they are released:
// then as before arming, so it neither removes the file nor ends with status 1.
TEST(Interrupt, ASignalWhileHeldIsActedOnWhenReleased)
{
    const std::string path = MakeFile("held");
    const vorn::FileIdentity id = IdentityOf(path);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const int status = InChild([&] {
        vorn::RemoveOnInterrupt(path.c_str(), id);
        vorn::HoldInterrupts();
        raise(SIGTERM);
        if (write(fds[1], "held", 4) != 4) _exit(5);
        vorn::ReleaseInterrupts();
        _exit(6); // the signal was lost
    });
    close(fds[1]);
    char buf[8] = {};
    EXPECT_EQ(read(fds[0], buf, sizeof buf), 4) << "the held signal ended the process at once";
    close(fds[0]);
    EXPECT_TRUE(KilledBy(status, SIGTERM)) << status;
    EXPECT_TRUE(std::filesystem::exists(path));
    std::filesystem::remove(path);
}

// A signal while interrupts are held, when they are then resumed (the file was not
// renamed after all), removes the file and ends with 1; so does one after resuming.
TEST(Interrupt, ASignalWhileHeldOrAfterResumingRemovesTheFile)
{
    for (const bool whileHeld : {true, false}) {
        SCOPED_TRACE(whileHeld ? "while held" : "after resuming");
        const std::string path = MakeFile("resumed");
        const vorn::FileIdentity id = IdentityOf(path);
        const int status = InChild([&] {
            vorn::RemoveOnInterrupt(path.c_str(), id);
            vorn::HoldInterrupts();
            if (whileHeld) raise(SIGTERM);
            vorn::ResumeInterrupts();
            if (!whileHeld) raise(SIGTERM);
            _exit(6); // the signal was lost
        });
        EXPECT_TRUE(ExitedWith(status, 1)) << status;
        EXPECT_FALSE(std::filesystem::exists(path));
        std::filesystem::remove(path);
    }
}

// Held before the file exists (while it is being created), a signal is acted on when
// the file is armed: the new file goes and the status is 1.
TEST(Interrupt, ASignalHeldWhileTheFileIsCreatedRemovesItOnceArmed)
{
    const std::string path = MakeFile("creating");
    const int status = InChild([&] {
        vorn::CatchInterrupts();
        vorn::HoldInterrupts();
        raise(SIGTERM);
        vorn::RemoveOnInterrupt(path.c_str(), IdentityOf(path));
        _exit(6); // the signal was lost
    });
    EXPECT_TRUE(ExitedWith(status, 1)) << status;
    EXPECT_FALSE(std::filesystem::exists(path));
    std::filesystem::remove(path);
}

// Another file that has taken the armed file's name is not removed.
TEST(Interrupt, OnlyTheArmedFileItselfIsRemoved)
{
    const std::string path = MakeFile("own");
    const vorn::FileIdentity id = IdentityOf(path);
    const std::string other = MakeFile("other");
    ASSERT_EQ(std::rename(other.c_str(), path.c_str()), 0);
    const int status = InChild([&] {
        vorn::RemoveOnInterrupt(path.c_str(), id);
        raise(SIGINT);
        _exit(2);
    });
    EXPECT_TRUE(ExitedWith(status, 1)) << status;
    EXPECT_TRUE(std::filesystem::exists(path));
    std::filesystem::remove(path);
}

// Threads of the framework start with the signals sent to end the process blocked, so
// that those reach the main thread, which acts on them at once.
TEST(Interrupt, FrameworkThreadsLeaveTheSignalsToTheMainThread)
{
    static int blocked;
    blocked = 0;
    uint32_t id = 0;
    vorn::PlatformHandle* thread = nullptr;
    ASSERT_EQ(vorn::CreateThreadHandle(
                  [](void*) -> uint32_t {
                      sigset_t mask;
                      pthread_sigmask(SIG_BLOCK, nullptr, &mask);
                      for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
                          if (sigismember(&mask, sig) == 1) ++blocked;
                      // A closed pipe is met by the thread's own write: not blocked.
                      if (sigismember(&mask, SIGPIPE) == 1) blocked += 100;
                      return 0;
                  },
                  nullptr, &id, &thread),
              0);
    EXPECT_EQ(vorn::WaitForSingleObject(thread, vorn::INFINITE), vorn::WAIT_OBJECT_0);
    vorn::CloseHandle(thread);
    EXPECT_EQ(blocked, 4);
    sigset_t mine;
    pthread_sigmask(SIG_BLOCK, nullptr, &mine);
    EXPECT_EQ(sigismember(&mine, SIGINT), 0) << "the creating thread keeps its mask";
}

} // namespace
