#include "vnPlatform/Interrupt.h"
#include "vnPlatform/Console.h"
#include <atomic>
#include <csignal>
#include <cstring>
#include <unistd.h>

namespace vorn {

namespace {

enum State : int { kOff, kArmed, kHeld };

constexpr int kSignals[] = {SIGINT, SIGTERM};

std::atomic<int> g_state{kOff};
std::atomic<int> g_heldSignal{0};
char g_path[4096];
struct sigaction g_previous[2];
bool g_installed = false;

int IndexOf(int sig) { return sig == SIGINT ? 0 : 1; }

// Only async-signal-safe calls here.
void OnInterrupt(int sig)
{
    switch (g_state.load()) {
    case kArmed:
        ::unlink(g_path);
        RestoreConsoleAfterInterrupt(); // a key wait leaves no terminal without echo
        ::_exit(1);
    case kHeld:
        g_heldSignal.store(sig);
        return;
    default:
        // What the program did before: the previous action, which is the default one
        // unless someone else installed one.
        ::sigaction(sig, &g_previous[IndexOf(sig)], nullptr);
        ::raise(sig);
    }
}

void Install()
{
    if (g_installed) return;
    g_installed = true;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = &OnInterrupt;
    sigemptyset(&sa.sa_mask);
    for (int sig : kSignals) sigaddset(&sa.sa_mask, sig);
    for (int sig : kSignals) ::sigaction(sig, &sa, &g_previous[IndexOf(sig)]);
}

} // namespace

void RemoveOnInterrupt(const char* path)
{
    g_state.store(kHeld);
    std::strncpy(g_path, path, sizeof g_path - 1);
    g_path[sizeof g_path - 1] = '\0';
    Install();
    g_state.store(kArmed);
    if (const int sig = g_heldSignal.exchange(0)) OnInterrupt(sig);
}

void HoldInterrupts() { g_state.store(kHeld); }

void ReleaseInterrupts()
{
    g_state.store(kOff);
    if (const int sig = g_heldSignal.exchange(0)) OnInterrupt(sig);
}

} // namespace vorn
