#include "vnPlatform/Console.h"
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <termios.h>
#include <unistd.h>

namespace vorn {

namespace {

// The terminal's mode from before the key wait in progress (set while it lasts), for
// an interrupt that ends the process meanwhile.
std::atomic<bool> g_waiting{false};
termios g_saved;

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
        g_saved = saved;
        g_waiting.store(true);
        if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) {
            const int c = ReadOneByte();
            g_waiting.store(false);
            tcsetattr(STDIN_FILENO, TCSANOW, &saved);
            return c;
        }
        g_waiting.store(false);
    }
    return ReadOneByte();
}

void RestoreConsoleAfterInterrupt()
{
    if (g_waiting.load()) tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
}

} // namespace vorn
