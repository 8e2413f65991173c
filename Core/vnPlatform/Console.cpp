#include "vnPlatform/Console.h"
#include <cerrno>
#include <cstdio>
#include <termios.h>
#include <unistd.h>

namespace vorn {

namespace {

int ReadOneByte()
{
    unsigned char c;
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n == 1) return c;
        if (n < 0 && errno == EINTR) continue;
        return -1;
    }
}

} // namespace

int WaitForKey()
{
    std::fflush(stdout);
    termios saved;
    if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0) {
        termios raw = saved;
        raw.c_lflag &= ~tcflag_t(ICANON | ECHO);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) {
            const int c = ReadOneByte();
            tcsetattr(STDIN_FILENO, TCSANOW, &saved);
            return c;
        }
    }
    return ReadOneByte();
}

} // namespace vorn
