#include "vnPlatform/Interrupt.h"
#include "vnPlatform/Console.h"
#include "vnPlatform/InterruptSignals.h"
#include <atomic>
#include <csignal>
#include <cstring>
#include <unistd.h>

namespace vorn {

namespace {

enum State : int { kOff, kArmed, kHeld };

// The signals whose default action ends the process and that can be caught; the
// real-time ones are added when installing.
constexpr int kSignals[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGPIPE, SIGALRM, SIGTERM,   SIGUSR1, SIGUSR2,
                            SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGPOLL, SIGSTKFLT, SIGPWR};

std::atomic<int> g_state{kOff};
std::atomic<int> g_heldSignal{0};
char g_path[4096];
FileIdentity g_id;
struct sigaction g_previous[NSIG];
bool g_installed = false;

// Only async-signal-safe calls here.
void OnInterrupt(int sig)
{
    switch (g_state.load()) {
    case kArmed:
        RemoveFileIfIdentity(g_path, g_id); // only while the name still stands for it
        RestoreConsoleAfterInterrupt();     // a key wait leaves no terminal without echo
        ::_exit(1);
    case kHeld:
        g_heldSignal.store(sig);
        return;
    default:
        // What the program did before: the previous action, which is the default one.
        RestoreConsoleAfterInterrupt();
        ::sigaction(sig, &g_previous[sig], nullptr);
        ::raise(sig);
    }
}

template <typename F>
void ForEachSignal(F f)
{
    for (int sig : kSignals) f(sig);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) f(sig);
}

} // namespace

void AddProcessInterruptSignals(sigset_t* set)
{
    ForEachSignal([&](int sig) {
        if (sig != SIGPIPE && sig != SIGXFSZ) sigaddset(set, sig);
    });
}

void CatchInterrupts()
{
    if (g_installed) return;
    g_installed = true;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = &OnInterrupt;
    sigemptyset(&sa.sa_mask);
    ForEachSignal([&](int sig) { sigaddset(&sa.sa_mask, sig); });
    ForEachSignal([&](int sig) {
        // A signal the program was started to ignore (nohup), or one that someone else
        // handles, is left to that.
        if (::sigaction(sig, nullptr, &g_previous[sig]) != 0 || g_previous[sig].sa_handler != SIG_DFL ||
            (g_previous[sig].sa_flags & SA_SIGINFO) != 0)
            return;
        ::sigaction(sig, &sa, nullptr);
    });
}

void RemoveOnInterrupt(const char* path, const FileIdentity& id)
{
    g_state.store(kHeld);
    std::strncpy(g_path, path, sizeof g_path - 1);
    g_path[sizeof g_path - 1] = '\0';
    g_id = id;
    CatchInterrupts();
    g_state.store(kArmed);
    if (const int sig = g_heldSignal.exchange(0)) OnInterrupt(sig);
}

void HoldInterrupts() { g_state.store(kHeld); }

void ResumeInterrupts()
{
    g_state.store(kArmed);
    if (const int sig = g_heldSignal.exchange(0)) OnInterrupt(sig);
}

void ReleaseInterrupts()
{
    g_state.store(kOff);
    if (const int sig = g_heldSignal.exchange(0)) OnInterrupt(sig);
}

} // namespace vorn
