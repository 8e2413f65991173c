#include "Tilvex/WindowLayer/MessageLoop.h"
#include "vnUtils/XString.h"
#include <algorithm>
#include <chrono>
#include <deque>

namespace vorn {

namespace {

using Clock = std::chrono::steady_clock;

struct Timer {
    HWND hwnd;
    uint32_t id;
    uint32_t period;
    Clock::time_point due;
};

struct LoopState {
    std::deque<MSG> queue;
    std::vector<Timer> timers;
    bool quit = false;
    int32_t exitCode = 0;
    uint32_t buttons = 0; // PButtonMask bits held
    HWND capture = nullptr;
};

LoopState& State()
{
    static LoopState s;
    return s;
}

constexpr uint32_t VK_BACK = 0x08;
constexpr uint32_t VK_TAB = 0x09;
constexpr uint32_t VK_RETURN = 0x0D;
constexpr uint32_t VK_ESCAPE = 0x1B;

uint32_t MouseKeyFlags(uint32_t buttons, uint32_t mods)
{
    uint32_t f = 0;
    if (buttons & PButtonMask(PBUTTON_LEFT)) f |= MK_LBUTTON;
    if (buttons & PButtonMask(PBUTTON_RIGHT)) f |= MK_RBUTTON;
    if (buttons & PButtonMask(PBUTTON_MIDDLE)) f |= MK_MBUTTON;
    if (mods & PMOD_SHIFT) f |= MK_SHIFT;
    if (mods & PMOD_CTRL) f |= MK_CONTROL;
    return f;
}

uint32_t ButtonMessage(uint32_t button, bool down, int32_t clicks)
{
    // Every second click at one spot is a double click (a third starts again).
    const bool dbl = down && clicks >= 2 && clicks % 2 == 0;
    switch (button) {
    case PBUTTON_LEFT: return !down ? WM_LBUTTONUP : dbl ? WM_LBUTTONDBLCLK : WM_LBUTTONDOWN;
    case PBUTTON_RIGHT: return !down ? WM_RBUTTONUP : dbl ? WM_RBUTTONDBLCLK : WM_RBUTTONDOWN;
    default: return !down ? WM_MBUTTONUP : dbl ? WM_MBUTTONDBLCLK : WM_MBUTTONDOWN;
    }
}

void LoseCapture(std::vector<MSG>* out)
{
    LoopState& st = State();
    if (!st.capture) return;
    out->push_back(MSG{st.capture, WM_CAPTURECHANGED, 0, 0});
    st.capture = nullptr;
    if (IsWindowSystemStarted()) CapturePlatformMouse(false);
}

// Forgets the timers of windows that are gone, before any timer is looked at or set.
void DropTimersOfGoneWindows()
{
    auto& timers = State().timers;
    timers.erase(std::remove_if(timers.begin(), timers.end(), [](const Timer& t) { return !IsWindow(t.hwnd); }),
                 timers.end());
}

// The next message made by the loop itself (paint, timer), if any.
bool TakeGeneratedMessage(MSG* msg, Clock::time_point now)
{
    for (PlatformWindow* w : GetPlatformWindows()) {
        if (TakePlatformRepaint(w)) {
            *msg = MSG{w, WM_PAINT, 0, 0};
            return true;
        }
    }
    LoopState& st = State();
    DropTimersOfGoneWindows();
    for (Timer& t : st.timers) {
        if (t.due <= now) {
            // One waiting WM_TIMER per timer: the next is due a period after this one is taken.
            t.due = now + std::chrono::milliseconds(t.period);
            *msg = MSG{t.hwnd, WM_TIMER, t.id, 0};
            return true;
        }
    }
    return false;
}

// Milliseconds until the first timer is due (-1: no timer).
int32_t TimeToNextTimer(Clock::time_point now)
{
    int64_t best = -1;
    for (const Timer& t : State().timers) {
        const int64_t ms = std::max<int64_t>(
            0, std::chrono::duration_cast<std::chrono::milliseconds>(t.due - now).count() + 1);
        if (best < 0 || ms < best) best = ms;
    }
    return int32_t(std::min<int64_t>(best, INT32_MAX));
}

void Translate(const PlatformEvent& e)
{
    std::vector<MSG> msgs;
    TranslatePlatformEvent(e, &msgs);
    for (const MSG& m : msgs) State().queue.push_back(m);
}

// The message loop: timeoutMs < 0 waits without limit. Returns 1 for a message, 0 for
// WM_QUIT (or no window left), -1 when the time ran out.
int NextMessage(MSG* msg, int32_t timeoutMs)
{
    LoopState& st = State();
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        PlatformEvent e;
        if (st.queue.empty()) {
            while (IsWindowSystemStarted() && WaitPlatformEvent(&e, 0)) Translate(e);
        }
        if (!st.queue.empty()) {
            *msg = st.queue.front();
            st.queue.pop_front();
            return 1;
        }
        if (st.quit) {
            *msg = MSG{nullptr, WM_QUIT, WPARAM(st.exitCode), 0};
            st.quit = false;
            return 0;
        }
        const Clock::time_point now = Clock::now();
        if (TakeGeneratedMessage(msg, now)) return 1;
        if (GetPlatformWindows().empty()) {
            *msg = MSG{nullptr, WM_QUIT, 0, 0};
            return 0;
        }
        int32_t wait = TimeToNextTimer(now);
        if (timeoutMs >= 0) {
            const int64_t left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
            if (left <= 0) {
                *msg = MSG{};
                return -1;
            }
            wait = wait < 0 ? int32_t(left) : std::min<int32_t>(wait, int32_t(left));
        }
        if (WaitPlatformEvent(&e, wait)) Translate(e);
    }
}

} // namespace

void TranslatePlatformEvent(const PlatformEvent& e, std::vector<MSG>* out)
{
    LoopState& st = State();
    if (e.kind == PEV_QUIT) {
        for (PlatformWindow* w : GetPlatformWindows()) out->push_back(MSG{w, WM_CLOSE, 0, 0});
        return;
    }
    HWND h = e.window;
    if (!h) return;
    switch (e.kind) {
    case PEV_CLOSE: out->push_back(MSG{h, WM_CLOSE, 0, 0}); break;
    case PEV_SIZED:
    case PEV_RESTORED: out->push_back(MSG{h, WM_SIZE, SIZE_RESTORED, LPARAM(MakeLong(e.x, e.y))}); break;
    case PEV_MINIMISED: out->push_back(MSG{h, WM_SIZE, SIZE_MINIMIZED, 0}); break;
    case PEV_EXPOSED: InvalidateRect(h); break;
    case PEV_FOCUS_GAINED: out->push_back(MSG{h, WM_SETFOCUS, 0, 0}); break;
    case PEV_FOCUS_LOST:
        if (st.capture == h) LoseCapture(out);
        out->push_back(MSG{h, WM_KILLFOCUS, 0, 0});
        break;
    case PEV_MOUSE_MOVE:
        st.buttons = e.buttons;
        out->push_back(MSG{h, WM_MOUSEMOVE, MouseKeyFlags(st.buttons, e.mods), LPARAM(MakeLong(e.x, e.y))});
        break;
    case PEV_BUTTON_DOWN:
    case PEV_BUTTON_UP: {
        const bool down = e.kind == PEV_BUTTON_DOWN;
        if (down)
            st.buttons |= PButtonMask(e.button);
        else
            st.buttons &= ~PButtonMask(e.button);
        out->push_back(MSG{h, ButtonMessage(e.button, down, e.clicks), MouseKeyFlags(st.buttons, e.mods),
                           LPARAM(MakeLong(e.x, e.y))});
        break;
    }
    case PEV_WHEEL: {
        const int32_t delta = e.wheel * WHEEL_DELTA;
        const WPARAM w = WPARAM(MakeLong(int32_t(MouseKeyFlags(e.buttons, e.mods)), delta));
        out->push_back(MSG{h, WM_MOUSEWHEEL, w, LPARAM(MakeLong(e.screenX, e.screenY))});
        break;
    }
    case PEV_KEY_DOWN:
    case PEV_KEY_UP: {
        if (!e.key) break;
        const bool alt = (e.mods & PMOD_ALT) != 0;
        const bool down = e.kind == PEV_KEY_DOWN;
        uint32_t flags = alt ? KF_ALTDOWN : 0;
        if (!down) flags |= KF_UP | KF_REPEAT;
        else if (e.repeat) flags |= KF_REPEAT;
        const LPARAM l = LPARAM(MakeLong(1, int32_t(flags)));
        const uint32_t msg = down ? (alt ? WM_SYSKEYDOWN : WM_KEYDOWN) : (alt ? WM_SYSKEYUP : WM_KEYUP);
        out->push_back(MSG{h, msg, e.key, l});
        // Keys whose characters the text input does not give.
        if (down && (e.key == VK_RETURN || e.key == VK_BACK || e.key == VK_TAB || e.key == VK_ESCAPE) &&
            !(e.mods & PMOD_CTRL))
            out->push_back(MSG{h, alt ? WM_SYSCHAR : WM_CHAR, e.key, l});
        break;
    }
    case PEV_TEXT: {
        const bool alt = (e.mods & PMOD_ALT) != 0;
        const LPARAM l = LPARAM(MakeLong(1, alt ? int32_t(KF_ALTDOWN) : 0));
        // One character message per UTF-16 unit: a character beyond U+FFFF comes as its
        // two surrogates. Text that is not UTF-8 gives none.
        string16 units;
        if (Utf8ToUtf16(e.text, units))
            for (char16_t u : units) out->push_back(MSG{h, alt ? WM_SYSCHAR : WM_CHAR, u, l});
        break;
    }
    default: break;
    }
}

bool GetMessageW(MSG* msg) { return NextMessage(msg, -1) > 0; }

bool PeekMessageW(MSG* msg, int32_t timeoutMs) { return NextMessage(msg, timeoutMs) > 0; }

void TranslateMessage(const MSG*) {}

LRESULT DispatchMessageW(const MSG* msg)
{
    if (!IsWindow(msg->hwnd)) return 0;
    return SendMessageW(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

void PostMessageW(HWND hwnd, uint32_t msg, WPARAM wParam, LPARAM lParam)
{
    State().queue.push_back(MSG{hwnd, msg, wParam, lParam});
}

void PostQuitMessage(int32_t exitCode)
{
    State().quit = true;
    State().exitCode = exitCode;
}

uint32_t SetTimer(HWND hwnd, uint32_t id, uint32_t ms)
{
    if (!IsWindow(hwnd) || id == 0) return 0;
    DropTimersOfGoneWindows();
    ms = std::max<uint32_t>(ms, 10);
    const Clock::time_point due = Clock::now() + std::chrono::milliseconds(ms);
    for (Timer& t : State().timers) {
        if (t.hwnd == hwnd && t.id == id) {
            t.period = ms;
            t.due = due;
            return id;
        }
    }
    State().timers.push_back(Timer{hwnd, id, ms, due});
    return id;
}

bool KillTimer(HWND hwnd, uint32_t id)
{
    auto& timers = State().timers;
    const auto it = std::find_if(timers.begin(), timers.end(), [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
    if (it == timers.end()) return false;
    timers.erase(it);
    return true;
}

void KillTimersOf(HWND hwnd)
{
    auto& timers = State().timers;
    timers.erase(std::remove_if(timers.begin(), timers.end(), [&](const Timer& t) { return t.hwnd == hwnd; }),
                 timers.end());
}

uint32_t GetTimerPeriod(HWND hwnd, uint32_t id)
{
    for (const Timer& t : State().timers)
        if (t.hwnd == hwnd && t.id == id) return t.period;
    return 0;
}

HWND SetCapture(HWND hwnd)
{
    LoopState& st = State();
    const HWND prev = st.capture;
    if (!IsWindow(hwnd) || prev == hwnd) return prev;
    if (IsWindowSystemStarted()) CapturePlatformMouse(true);
    st.capture = hwnd;
    if (prev) SendMessageW(prev, WM_CAPTURECHANGED, 0, LPARAM(hwnd));
    return prev;
}

bool ReleaseCapture()
{
    std::vector<MSG> msgs;
    LoseCapture(&msgs);
    for (const MSG& m : msgs) SendMessageW(m.hwnd, m.message, m.wParam, m.lParam);
    return true;
}

HWND GetCapture() { return State().capture; }

void ResetMessageLoop()
{
    LoopState& st = State();
    st.queue.clear();
    st.timers.clear();
    st.quit = false;
    st.exitCode = 0;
    st.buttons = 0;
    st.capture = nullptr;
}

} // namespace vorn
