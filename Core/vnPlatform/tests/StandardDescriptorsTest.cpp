// Closed standard descriptors, each set of them in a child process: every closed one is
// filled with the null device, opened for reading (0) or writing (1, 2); when the
// device cannot be opened, the call says so and leaves them closed, and a message goes
// to whichever standard stream is open.
#include "vnPlatform/StandardDescriptors.h"
#include <gtest/gtest.h>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Runs body in a child process and returns its exit status (-1 when it did not exit).
int InChild(const std::function<int()>& body)
{
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) _exit(body());
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) >= 0; }

bool IsTheNullDevice(int fd)
{
    struct stat a, b;
    return fstat(fd, &a) == 0 && stat(vorn::kNullDevice, &b) == 0 && S_ISCHR(a.st_mode) && a.st_rdev == b.st_rdev;
}

// Closes the descriptors of mask (bit n: descriptor n).
void CloseAll(int mask)
{
    for (int fd = 0; fd <= 2; ++fd)
        if (mask & (1 << fd)) close(fd);
}

} // namespace

TEST(StandardDescriptors, EveryClosedOneIsFilledWithTheNullDevice)
{
    for (int mask = 1; mask < 8; ++mask) {
        SCOPED_TRACE(mask);
        const int code = InChild([mask] {
            CloseAll(mask);
            if (vorn::OpenClosedStandardDescriptors() != 0) return 10;
            for (int fd = 0; fd <= 2; ++fd) {
                if (!IsOpen(fd)) return 20 + fd;
                if (!(mask & (1 << fd))) continue;
                if (!IsTheNullDevice(fd)) return 30 + fd;
                const int mode = fcntl(fd, F_GETFL) & O_ACCMODE;
                if (mode != (fd == 0 ? O_RDONLY : O_WRONLY)) return 40 + fd;
            }
            // The next file opened is not a standard descriptor.
            const int f = open(vorn::kNullDevice, O_RDONLY);
            return f > 2 ? 0 : 50;
        });
        EXPECT_EQ(code, 0) << "10: failed, 2x: left closed, 3x: not the null device, 4x: wrong mode, 50: reused";
    }
}

// A null device that cannot be opened (a bare chroot): the error comes back, the
// closed descriptors stay closed (so a caller that stops opens nothing in their
// place), and the message goes to standard error, else standard output.
TEST(StandardDescriptors, ANullDeviceThatCannotBeOpenedIsReportedAndFillsNothing)
{
    for (int mask = 1; mask < 8; ++mask) {
        SCOPED_TRACE(mask);
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const int code = InChild([mask, fds] {
            close(fds[0]);
            // The pipe stands in for the streams that stay open.
            for (int fd = 0; fd <= 2; ++fd)
                if (!(mask & (1 << fd))) dup2(fds[1], fd);
            CloseAll(mask);
            if (vorn::OpenClosedStandardDescriptors("/nonexistent-null-device") != ENOENT) return 10;
            for (int fd = 0; fd <= 2; ++fd)
                if ((mask & (1 << fd)) && IsOpen(fd)) return 20 + fd;
            vorn::WriteToAnOpenStandardStream("said\n", 5);
            return 0;
        });
        close(fds[1]);
        char buf[16] = {};
        const ssize_t got = read(fds[0], buf, sizeof buf);
        close(fds[0]);
        EXPECT_EQ(code, 0) << "10: not ENOENT, 2x: filled";
        const bool anOutputOpen = (mask & 6) != 6;
        EXPECT_EQ(std::string(buf, got > 0 ? size_t(got) : 0), anOutputOpen ? "said\n" : "");
    }
}
