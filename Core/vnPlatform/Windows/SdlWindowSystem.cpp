#include "vnPlatform/Window.h"
#include "vnPlatform/Gl.h"
#include <SDL.h>
#include <X11/Xlib.h>
#include <X11/Xproto.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <mutex>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace vorn {

struct PlatformWindow {
    SDL_Window* sdl = nullptr;
    // Never given to another window of the process: a window that is gone is known by
    // it even when a later window's record lies at the same address.
    uint64_t id = 0;
    void* data = nullptr;
    bool bordered = true; // kept here: some drivers cannot change the border
    std::atomic<bool> repaint{false};
};

struct PlatformGlContext {
    SDL_GLContext sdl = nullptr;  // null once the window system stopped under it
    uint64_t madeOn = 0;          // id of the window it was made for (made current on it to share)
};

namespace sdl {

std::vector<PlatformWindow*> GetPlatformWindows();
void DestroyPlatformWindow(PlatformWindow* window);

namespace {

constexpr const char* kWindowDataName = "vorn.window";

// The live windows; read from any thread (repaint requests), changed on the main one.
std::mutex g_windowsLock;
std::vector<PlatformWindow*> g_windows;

std::atomic<bool> g_started{false};
// The last window id given (main thread).
uint64_t g_lastWindowId = 0;
// The contexts not yet deleted (main thread): those still alive when the system stops
// are released with it.
std::vector<PlatformGlContext*> g_contexts;
std::atomic<uint32_t> g_wakeEventType{0};
SDL_Cursor* g_cursors[3] = {};

// The X error handler that was in place before ours (Xlib's own), while ours is. Ours
// is installed before the library starts and removed after it has stopped: the library
// puts in its own handler at its start, which passes every error on to ours, and puts
// ours back before it closes its connections, whose last reads may still meet an error.
std::atomic<XErrorHandler> g_nextXErrorHandler{nullptr};
bool g_xErrorHandlerInstalled = false; // main thread
// A request to end the process (SIGTERM, SIGINT) reached the event loop.
std::atomic<bool> g_stopRequested{false};

// The library wakes a waiting event loop from the waking thread by sending an event to
// one of its windows, over a connection of its own. The loop's thread may destroy that
// window meanwhile (it has stopped waiting), and the server then answers the send with
// BadWindow, which Xlib's default handler turns into the end of the process. A wake-up
// whose window is gone has nothing left to wake: that error, and no other, is dropped.
int DropWakeUpsToGoneWindows(Display* display, XErrorEvent* e)
{
    if (e->error_code == BadWindow && e->request_code == X_SendEvent) return 0;
    const XErrorHandler next = g_nextXErrorHandler.load();
    return next ? next(display, e) : 0;
}

void InstallXErrorHandler()
{
    const XErrorHandler previous = XSetErrorHandler(&DropWakeUpsToGoneWindows);
    if (previous != &DropWakeUpsToGoneWindows) g_nextXErrorHandler.store(previous);
    g_xErrorHandlerInstalled = true;
}

// Puts Xlib's handler back once the library has stopped.
void RemoveXErrorHandler()
{
    if (!g_xErrorHandlerInstalled) return;
    XSetErrorHandler(g_nextXErrorHandler.load());
    g_xErrorHandlerInstalled = false;
}

bool IsLiveLocked(const PlatformWindow* w)
{
    return std::find(g_windows.begin(), g_windows.end(), w) != g_windows.end();
}

// The live window of that id, or null.
PlatformWindow* FindLiveWindow(uint64_t id)
{
    std::lock_guard<std::mutex> lock(g_windowsLock);
    const auto it = std::find_if(g_windows.begin(), g_windows.end(), [id](const PlatformWindow* w) { return w->id == id; });
    return it == g_windows.end() ? nullptr : *it;
}

PlatformWindow* FromSdlId(uint32_t id)
{
    SDL_Window* sdl = SDL_GetWindowFromID(id);
    return sdl ? static_cast<PlatformWindow*>(SDL_GetWindowData(sdl, kWindowDataName)) : nullptr;
}

uint32_t MapKey(SDL_Keycode k)
{
    if (k >= SDLK_a && k <= SDLK_z) return uint32_t('A' + (k - SDLK_a));
    if (k >= SDLK_0 && k <= SDLK_9) return uint32_t('0' + (k - SDLK_0));
    if (k >= SDLK_F1 && k <= SDLK_F12) return 0x70u + uint32_t(k - SDLK_F1);
    switch (k) {
    case SDLK_BACKSPACE: return 0x08;
    case SDLK_TAB: return 0x09;
    case SDLK_RETURN: case SDLK_KP_ENTER: return 0x0D;
    case SDLK_LSHIFT: case SDLK_RSHIFT: return 0x10;
    case SDLK_LCTRL: case SDLK_RCTRL: return 0x11;
    case SDLK_LALT: case SDLK_RALT: return 0x12;
    case SDLK_ESCAPE: return 0x1B;
    case SDLK_SPACE: return 0x20;
    case SDLK_PAGEUP: return 0x21;
    case SDLK_PAGEDOWN: return 0x22;
    case SDLK_END: return 0x23;
    case SDLK_HOME: return 0x24;
    case SDLK_LEFT: return 0x25;
    case SDLK_UP: return 0x26;
    case SDLK_RIGHT: return 0x27;
    case SDLK_DOWN: return 0x28;
    case SDLK_INSERT: return 0x2D;
    case SDLK_DELETE: return 0x2E;
    default: return 0;
    }
}

uint32_t MapMods(uint32_t m)
{
    return ((m & KMOD_SHIFT) ? PMOD_SHIFT : 0) | ((m & KMOD_CTRL) ? PMOD_CTRL : 0) | ((m & KMOD_ALT) ? PMOD_ALT : 0);
}

uint32_t HeldButtons()
{
    const uint32_t s = SDL_GetMouseState(nullptr, nullptr);
    return s & (SDL_BUTTON_LMASK | SDL_BUTTON_MMASK | SDL_BUTTON_RMASK);
}

// Keeps every library loaded now (the GL driver that the window library loaded among
// them) loaded until the process ends. Stopping the window system then unloads none of
// them, so that their process-lifetime allocations keep their library's name in leak
// reports, and a later start finds them loaded.
void PinLoadedLibraries()
{
    std::vector<std::string> names;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* out) {
            if (info->dlpi_name && *info->dlpi_name) static_cast<std::vector<std::string>*>(out)->push_back(info->dlpi_name);
            return 0;
        },
        &names);
    for (const std::string& name : names) {
        if (void* handle = dlopen(name.c_str(), RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE)) dlclose(handle);
    }
}

// Fills *out from e; false for events that mean nothing here.
bool Translate(const SDL_Event& e, PlatformEvent* out)
{
    *out = PlatformEvent{};
    out->mods = MapMods(SDL_GetModState());
    if (e.type == g_wakeEventType.load()) {
        out->kind = PEV_WAKE;
        return true;
    }
    switch (e.type) {
    case SDL_QUIT:
        g_stopRequested.store(true);
        out->kind = PEV_QUIT;
        return true;
    case SDL_WINDOWEVENT:
        out->window = FromSdlId(e.window.windowID);
        switch (e.window.event) {
        case SDL_WINDOWEVENT_CLOSE: out->kind = PEV_CLOSE; return true;
        case SDL_WINDOWEVENT_SIZE_CHANGED:
            out->kind = PEV_SIZED;
            out->x = e.window.data1;
            out->y = e.window.data2;
            return true;
        case SDL_WINDOWEVENT_MINIMIZED: out->kind = PEV_MINIMISED; return true;
        case SDL_WINDOWEVENT_RESTORED:
            out->kind = PEV_RESTORED;
            if (out->window) SDL_GetWindowSize(out->window->sdl, &out->x, &out->y);
            return true;
        case SDL_WINDOWEVENT_EXPOSED: out->kind = PEV_EXPOSED; return true;
        case SDL_WINDOWEVENT_FOCUS_GAINED: out->kind = PEV_FOCUS_GAINED; return true;
        case SDL_WINDOWEVENT_FOCUS_LOST: out->kind = PEV_FOCUS_LOST; return true;
        default: return false;
        }
    case SDL_MOUSEMOTION:
        if (e.motion.which == SDL_TOUCH_MOUSEID) return false;
        out->kind = PEV_MOUSE_MOVE;
        out->window = FromSdlId(e.motion.windowID);
        out->x = e.motion.x;
        out->y = e.motion.y;
        out->buttons = e.motion.state & (SDL_BUTTON_LMASK | SDL_BUTTON_MMASK | SDL_BUTTON_RMASK);
        return true;
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP:
        if (e.button.which == SDL_TOUCH_MOUSEID) return false;
        if (e.button.button < SDL_BUTTON_LEFT || e.button.button > SDL_BUTTON_RIGHT) return false;
        out->kind = e.type == SDL_MOUSEBUTTONDOWN ? PEV_BUTTON_DOWN : PEV_BUTTON_UP;
        out->window = FromSdlId(e.button.windowID);
        out->x = e.button.x;
        out->y = e.button.y;
        out->button = e.button.button;
        out->clicks = e.button.clicks;
        out->buttons = HeldButtons();
        return true;
    case SDL_MOUSEWHEEL: {
        if (e.wheel.which == SDL_TOUCH_MOUSEID || e.wheel.y == 0) return false;
        out->kind = PEV_WHEEL;
        out->window = FromSdlId(e.wheel.windowID);
        out->wheel = e.wheel.direction == SDL_MOUSEWHEEL_FLIPPED ? -e.wheel.y : e.wheel.y;
        out->x = e.wheel.mouseX;
        out->y = e.wheel.mouseY;
        int ox = 0, oy = 0;
        if (out->window) SDL_GetWindowPosition(out->window->sdl, &ox, &oy);
        out->screenX = ox + out->x;
        out->screenY = oy + out->y;
        out->buttons = HeldButtons();
        return true;
    }
    case SDL_KEYDOWN:
    case SDL_KEYUP:
        out->kind = e.type == SDL_KEYDOWN ? PEV_KEY_DOWN : PEV_KEY_UP;
        out->window = FromSdlId(e.key.windowID);
        out->key = MapKey(e.key.keysym.sym);
        out->repeat = e.key.repeat != 0;
        out->mods = MapMods(e.key.keysym.mod);
        return true;
    case SDL_TEXTINPUT:
        out->kind = PEV_TEXT;
        out->window = FromSdlId(e.text.windowID);
        std::memcpy(out->text, e.text.text, strnlen(e.text.text, sizeof(out->text) - 1));
        return true;
    default:
        return false;
    }
}

} // namespace

bool StartWindowSystem(std::string* error)
{
    if (g_started.load()) return true;
    const char* driver = std::getenv("SDL_VIDEODRIVER");
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const bool named = (driver && *driver) || (display && *display) || (wayland && *wayland);
    if (!named) {
        *error = "No display: DISPLAY is not set (set SDL_VIDEODRIVER=offscreen to run without one)";
        return false;
    }
    // A display that is named but cannot be reached (a server gone, or refusing for a
    // moment) must fail the start: left to itself, the library falls through its list of
    // drivers to the offscreen one and the program would run invisibly.
    if (driver && *driver) {
        SDL_ResetHint(SDL_HINT_VIDEODRIVER);
    } else {
        std::string drivers;
        if (display && *display) drivers = "x11";
        if (wayland && *wayland) drivers += drivers.empty() ? "wayland" : ",wayland";
        SDL_SetHint(SDL_HINT_VIDEODRIVER, drivers.c_str());
    }
    // Installed whatever the driver: under another one Xlib never calls it.
    InstallXErrorHandler();
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
        *error = std::string("The window system cannot start: ") + SDL_GetError();
        SDL_Quit();
        RemoveXErrorHandler();
        return false;
    }
    // The GL library stays loaded while the system runs (the window library would
    // unload and reload it whenever the last OpenGL window goes).
    if (SDL_GL_LoadLibrary(nullptr) != 0) {
        *error = std::string("OpenGL cannot be loaded: ") + SDL_GetError();
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
        SDL_Quit();
        RemoveXErrorHandler();
        return false;
    }
    g_stopRequested.store(false);
    g_wakeEventType.store(SDL_RegisterEvents(1));
    g_started.store(true);
    return true;
}

bool IsWindowSystemStarted() { return g_started.load(); }

const char* GetWindowSystemDriver()
{
    if (!g_started.load()) return "";
    const char* d = SDL_GetCurrentVideoDriver();
    return d ? d : "";
}

void StopWindowSystem()
{
    if (!g_started.load()) return;
    for (PlatformWindow* w : sdl::GetPlatformWindows()) sdl::DestroyPlatformWindow(w);
    // A context outlives neither its display nor the library: its owner may only delete
    // it now.
    SDL_GL_MakeCurrent(nullptr, nullptr);
    for (PlatformGlContext* c : g_contexts) {
        SDL_GL_DeleteContext(c->sdl);
        c->sdl = nullptr;
    }
    g_contexts.clear();
    for (SDL_Cursor*& c : g_cursors) {
        if (c) SDL_FreeCursor(c);
        c = nullptr;
    }
    PinLoadedLibraries();
    SDL_GL_UnloadLibrary();
    // A stop signal already turned into a quit event that the loop did not take.
    if (SDL_HasEvent(SDL_QUIT)) g_stopRequested.store(true);
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
    SDL_Quit();
    RemoveXErrorHandler();
    g_started.store(false);
}

// ---- windows ---------------------------------------------------------------------

PlatformWindow* CreatePlatformWindow(const char* title, int32_t x, int32_t y, int32_t width, int32_t height,
                                     std::string* error)
{
    SDL_Window* sdl = SDL_CreateWindow(title, x, y, width, height,
                                       SDL_WINDOW_OPENGL | SDL_WINDOW_HIDDEN | SDL_WINDOW_RESIZABLE);
    if (!sdl) {
        *error = SDL_GetError();
        return nullptr;
    }
    auto* w = new PlatformWindow;
    w->sdl = sdl;
    w->id = ++g_lastWindowId;
    SDL_SetWindowData(sdl, kWindowDataName, w);
    std::lock_guard<std::mutex> lock(g_windowsLock);
    g_windows.push_back(w);
    return w;
}

void DestroyPlatformWindow(PlatformWindow* window)
{
    {
        std::lock_guard<std::mutex> lock(g_windowsLock);
        const auto it = std::find(g_windows.begin(), g_windows.end(), window);
        if (it == g_windows.end()) return;
        g_windows.erase(it);
    }
    SDL_SetWindowData(window->sdl, kWindowDataName, nullptr);
    SDL_DestroyWindow(window->sdl);
    delete window;
}

bool IsPlatformWindow(const PlatformWindow* window)
{
    std::lock_guard<std::mutex> lock(g_windowsLock);
    return IsLiveLocked(window);
}

std::vector<PlatformWindow*> GetPlatformWindows()
{
    std::lock_guard<std::mutex> lock(g_windowsLock);
    return g_windows;
}

void SetPlatformWindowData(PlatformWindow* window, void* data) { window->data = data; }
void* GetPlatformWindowData(const PlatformWindow* window) { return window->data; }

bool ShowPlatformWindow(PlatformWindow* window)
{
    const bool was = IsPlatformWindowVisible(window);
    SDL_ShowWindow(window->sdl);
    return was;
}

bool IsPlatformWindowVisible(PlatformWindow* window)
{
    return (SDL_GetWindowFlags(window->sdl) & SDL_WINDOW_SHOWN) != 0;
}

void GetPlatformClientSize(PlatformWindow* window, int32_t* width, int32_t* height)
{
    SDL_GetWindowSize(window->sdl, width, height);
}

void GetPlatformClientOrigin(PlatformWindow* window, int32_t* x, int32_t* y)
{
    SDL_GetWindowPosition(window->sdl, x, y);
}

void SetPlatformClientPlacement(PlatformWindow* window, int32_t x, int32_t y, int32_t width, int32_t height)
{
    SDL_SetWindowSize(window->sdl, width, height);
    SDL_SetWindowPosition(window->sdl, x, y);
}

bool IsPlatformWindowBordered(PlatformWindow* window) { return window->bordered; }

void SetPlatformWindowBordered(PlatformWindow* window, bool bordered)
{
    window->bordered = bordered;
    SDL_SetWindowBordered(window->sdl, bordered ? SDL_TRUE : SDL_FALSE);
}

void SetPlatformWindowOnTop(PlatformWindow* window, bool onTop)
{
    SDL_SetWindowAlwaysOnTop(window->sdl, onTop ? SDL_TRUE : SDL_FALSE);
}

void GetPlatformDesktopSize(PlatformWindow* window, int32_t* width, int32_t* height)
{
    int index = window ? SDL_GetWindowDisplayIndex(window->sdl) : 0;
    if (index < 0) index = 0;
    SDL_DisplayMode mode{};
    if (SDL_GetDesktopDisplayMode(index, &mode) != 0) {
        *width = *height = 0;
        return;
    }
    *width = mode.w;
    *height = mode.h;
}

// ---- repaint requests ------------------------------------------------------------

bool RequestPlatformRepaint(PlatformWindow* window)
{
    bool wake;
    {
        std::lock_guard<std::mutex> lock(g_windowsLock);
        if (!IsLiveLocked(window)) return false;
        wake = !window->repaint.exchange(true);
    }
    if (wake) WakePlatformEventLoop();
    return true;
}

bool TakePlatformRepaint(PlatformWindow* window) { return window->repaint.exchange(false); }

// ---- events ----------------------------------------------------------------------

bool WaitPlatformEvent(PlatformEvent* event, int32_t timeoutMs)
{
    const uint64_t start = SDL_GetTicks64();
    for (;;) {
        SDL_Event e;
        int got;
        if (timeoutMs < 0) {
            got = SDL_WaitEvent(&e);
        } else {
            const uint64_t spent = SDL_GetTicks64() - start;
            if (spent > uint64_t(timeoutMs)) return false;
            got = SDL_WaitEventTimeout(&e, int(uint64_t(timeoutMs) - spent));
        }
        if (!got) {
            if (timeoutMs < 0) continue; // an error of the wait: wait again
            if (SDL_GetTicks64() - start >= uint64_t(timeoutMs)) return false;
            continue;
        }
        if (Translate(e, event)) return true;
    }
}

void WakePlatformEventLoop()
{
    const uint32_t type = g_wakeEventType.load();
    if (type == 0 || type == uint32_t(-1)) return;
    SDL_Event e{};
    e.type = type;
    SDL_PushEvent(&e);
}

// ---- mouse -----------------------------------------------------------------------

void SetPlatformCursor(EPlatformCursor cursor)
{
    static const SDL_SystemCursor kIds[] = {SDL_SYSTEM_CURSOR_ARROW, SDL_SYSTEM_CURSOR_HAND,
                                            SDL_SYSTEM_CURSOR_SIZEALL};
    const int i = cursor >= PCURSOR_ARROW && cursor <= PCURSOR_SIZEALL ? int(cursor) : 0;
    if (!g_cursors[i]) g_cursors[i] = SDL_CreateSystemCursor(kIds[i]);
    if (g_cursors[i]) SDL_SetCursor(g_cursors[i]);
}

bool CapturePlatformMouse(bool on) { return SDL_CaptureMouse(on ? SDL_TRUE : SDL_FALSE) == 0; }

// ---- error boxes -----------------------------------------------------------------
//
// A box is shown by a process of its own, the program's own executable started again
// under a name that makes it show one box and end (RunErrorBoxProcess), so that the
// program goes on while the box is up: its windows are drawn and its timers run. The
// box process and the one the library forks to draw the box form a process group that
// ends as a whole when the program ends, when it takes its boxes down, or when either
// is asked to end.

namespace {

constexpr const char* kErrorBoxProcessName = "vorn-error-box";
constexpr int kMaxErrorBoxes = 8;
// The box processes not yet reaped (main thread); each leads a process group.
pid_t g_boxes[kMaxErrorBoxes] = {};
int g_numBoxes = 0;

// Forgets boxes that have ended; with block, waits for each first.
void ReapErrorBoxes(bool block)
{
    int kept = 0;
    for (int i = 0; i < g_numBoxes; ++i) {
        pid_t r;
        do {
            r = waitpid(g_boxes[i], nullptr, block ? 0 : WNOHANG);
        } while (r < 0 && errno == EINTR);
        if (r == 0) g_boxes[kept++] = g_boxes[i];
    }
    g_numBoxes = kept;
}

void EndBoxGroup(int) { kill(0, SIGKILL); }

// The start of a box process, before anything else of the program runs: argv is the
// process name, the pid of the program that shows the box, and the text.
void RunErrorBoxProcess(int argc, char** argv, char**)
{
    if (argc != 3 || !argv || !argv[0] || std::strcmp(argv[0], kErrorBoxProcessName) != 0) return;
    // The library's own box process inherits these: whichever of the two is asked to
    // end, or learns that the program has ended, ends both.
    struct sigaction sa{};
    sa.sa_handler = &EndBoxGroup;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &sa, nullptr);
    prctl(PR_SET_PDEATHSIG, SIGHUP);
    if (getppid() != pid_t(std::strtol(argv[1], nullptr, 10))) _exit(0); // the program is gone already
    SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_ERROR, "Error", argv[2], nullptr);
    _exit(0);
}

// Run by the C library with the program's arguments, among the program's initialisers.
[[gnu::used, gnu::section(".init_array")]] void (*g_errorBoxProcessEntry)(int, char**, char**) =
    &RunErrorBoxProcess;

} // namespace

void ShowPlatformErrorBox(const char* text)
{
    // The library's box is drawn by its X11 or Wayland code. Its X11 box centres itself
    // with the running driver's display data, taken to be X11's: under any other driver
    // (offscreen) it reads through a null pointer. No box there; the caller has written
    // the text to standard error.
    if (g_started.load()) {
        const char* d = SDL_GetCurrentVideoDriver();
        if (!d || (std::strcmp(d, "x11") != 0 && std::strcmp(d, "wayland") != 0)) return;
    }
    ReapErrorBoxes(false);
    if (g_numBoxes == kMaxErrorBoxes) return; // enough boxes are up; the text is on standard error
    char parent[24];
    std::snprintf(parent, sizeof parent, "%ld", long(getpid()));
    char* const args[] = {const_cast<char*>(kErrorBoxProcessName), parent, const_cast<char*>(text), nullptr};
    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0) return;
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    if (posix_spawn(&pid, "/proc/self/exe", nullptr, &attr, args, environ) == 0) g_boxes[g_numBoxes++] = pid;
    posix_spawnattr_destroy(&attr);
}

void WaitPlatformErrorBoxes()
{
    if (g_stopRequested.load()) {
        for (int i = 0; i < g_numBoxes; ++i) kill(-g_boxes[i], SIGKILL);
    }
    ReapErrorBoxes(true);
}

// ---- OpenGL ----------------------------------------------------------------------

namespace {

bool ApplyFormat(const GlPixelFormat& f)
{
    int failures = 0;
    failures += SDL_GL_SetAttribute(SDL_GL_RED_SIZE, f.colourBits) != 0;
    failures += SDL_GL_SetAttribute(SDL_GL_GREEN_SIZE, f.colourBits) != 0;
    failures += SDL_GL_SetAttribute(SDL_GL_BLUE_SIZE, f.colourBits) != 0;
    failures += SDL_GL_SetAttribute(SDL_GL_ALPHA_SIZE, f.alphaBits) != 0;
    failures += SDL_GL_SetAttribute(SDL_GL_DEPTH_SIZE, f.depthBits) != 0;
    failures += SDL_GL_SetAttribute(SDL_GL_STENCIL_SIZE, f.stencilBits) != 0;
    failures += SDL_GL_SetAttribute(SDL_GL_DOUBLEBUFFER, f.doubleBuffer ? 1 : 0) != 0;
    return failures == 0;
}

bool SameFormats(const std::vector<GlPixelFormat>& a, const GlPixelFormat* b, int32_t n)
{
    if (int32_t(a.size()) != n) return false;
    for (int32_t i = 0; i < n; ++i)
        if (std::memcmp(&a[i], &b[i], sizeof(GlPixelFormat)) != 0) return false;
    return true;
}

// Restores the calling thread's current context when it goes.
class CurrentContextKeeper {
public:
    CurrentContextKeeper() : m_window(SDL_GL_GetCurrentWindow()), m_context(SDL_GL_GetCurrentContext()) {}
    ~CurrentContextKeeper() { SDL_GL_MakeCurrent(m_context ? m_window : nullptr, m_context); }
private:
    SDL_Window* m_window;
    SDL_GLContext m_context;
};

} // namespace

int32_t ChooseGlPixelFormat(const GlPixelFormat* formats, int32_t count)
{
    static std::vector<GlPixelFormat> s_list;
    static int32_t s_choice = -1;
    if (!s_list.empty() && SameFormats(s_list, formats, count)) return s_choice;
    CurrentContextKeeper keep;
    int32_t choice = -1;
    for (int32_t i = 0; i < count && choice < 0; ++i) {
        ApplyFormat(formats[i]);
        SDL_GL_SetAttribute(SDL_GL_SHARE_WITH_CURRENT_CONTEXT, 0);
        SDL_Window* probe = SDL_CreateWindow("", 0, 0, 1, 1, SDL_WINDOW_OPENGL | SDL_WINDOW_HIDDEN);
        if (!probe) continue;
        SDL_GLContext ctx = SDL_GL_CreateContext(probe);
        if (ctx) {
            choice = i;
            SDL_GL_MakeCurrent(nullptr, nullptr);
            SDL_GL_DeleteContext(ctx);
        }
        SDL_DestroyWindow(probe);
    }
    s_list.assign(formats, formats + count);
    s_choice = choice;
    return choice;
}

bool SetGlPixelFormat(const GlPixelFormat& format) { return ApplyFormat(format); }

PlatformGlContext* CreatePlatformGlContext(PlatformWindow* window, PlatformGlContext* share, std::string* error)
{
    // Sharing is chosen at creation: the context to share is current and the flag set.
    // A context is made current only on its own window while that still lives.
    bool sharing = false;
    PlatformWindow* shareWindow = share && share->sdl ? FindLiveWindow(share->madeOn) : nullptr;
    if (shareWindow && SDL_GL_MakeCurrent(shareWindow->sdl, share->sdl) == 0) sharing = true;
    SDL_GL_SetAttribute(SDL_GL_SHARE_WITH_CURRENT_CONTEXT, sharing ? 1 : 0);
    SDL_GLContext ctx = SDL_GL_CreateContext(window->sdl);
    SDL_GL_SetAttribute(SDL_GL_SHARE_WITH_CURRENT_CONTEXT, 0);
    if (!ctx) *error = SDL_GetError();
    SDL_GL_MakeCurrent(nullptr, nullptr);
    if (!ctx) return nullptr;
    auto* c = new PlatformGlContext;
    c->sdl = ctx;
    c->madeOn = window->id;
    g_contexts.push_back(c);
    return c;
}

void DeletePlatformGlContext(PlatformGlContext* context)
{
    if (!context) return;
    if (context->sdl) {
        if (SDL_GL_GetCurrentContext() == context->sdl) SDL_GL_MakeCurrent(nullptr, nullptr);
        SDL_GL_DeleteContext(context->sdl);
        g_contexts.erase(std::find(g_contexts.begin(), g_contexts.end(), context));
    }
    delete context;
}

bool MakePlatformGlCurrent(PlatformWindow* window, PlatformGlContext* context)
{
    if (!context) return SDL_GL_MakeCurrent(nullptr, nullptr) == 0;
    if (!window || !context->sdl) return false;
    return SDL_GL_MakeCurrent(window->sdl, context->sdl) == 0;
}

void SwapPlatformWindow(PlatformWindow* window) { SDL_GL_SwapWindow(window->sdl); }

} // namespace sdl

namespace {

constexpr GlCalls kSystemGlCalls = {
    glBegin, glEnd, glVertex2i, glTexCoord2f, glColor3f, glEnable, glDisable, glPolygonMode, glPixelStorei, glTexEnvi,
    glTexParameteri, glTexImage2D, glBindTexture, glClear, glClearColor, glClearDepth, glViewport, glMatrixMode,
    glLoadIdentity, glOrtho, glTranslatef,
};

constexpr PlatformWindowSystem kSdlWindowSystem = {
    sdl::StartWindowSystem,
    sdl::IsWindowSystemStarted,
    sdl::GetWindowSystemDriver,
    sdl::StopWindowSystem,
    sdl::CreatePlatformWindow,
    sdl::DestroyPlatformWindow,
    sdl::IsPlatformWindow,
    sdl::GetPlatformWindows,
    sdl::SetPlatformWindowData,
    sdl::GetPlatformWindowData,
    sdl::ShowPlatformWindow,
    sdl::IsPlatformWindowVisible,
    sdl::GetPlatformClientSize,
    sdl::GetPlatformClientOrigin,
    sdl::SetPlatformClientPlacement,
    sdl::IsPlatformWindowBordered,
    sdl::SetPlatformWindowBordered,
    sdl::SetPlatformWindowOnTop,
    sdl::GetPlatformDesktopSize,
    sdl::RequestPlatformRepaint,
    sdl::TakePlatformRepaint,
    sdl::WaitPlatformEvent,
    sdl::WakePlatformEventLoop,
    sdl::SetPlatformCursor,
    sdl::CapturePlatformMouse,
    sdl::ShowPlatformErrorBox,
    sdl::WaitPlatformErrorBoxes,
    sdl::ChooseGlPixelFormat,
    sdl::SetGlPixelFormat,
    sdl::CreatePlatformGlContext,
    sdl::DeletePlatformGlContext,
    sdl::MakePlatformGlCurrent,
    sdl::SwapPlatformWindow,
};

} // namespace

} // namespace vorn

// Every program that links this library (its link options name this symbol) has the
// window system and OpenGL from start-up on.
extern "C" const bool vornSdlWindowSystemInstalled = [] {
    vorn::InstallPlatformWindowSystem(&vorn::kSdlWindowSystem);
    vorn::InstallGlCalls(&vorn::kSystemGlCalls);
    return true;
}();
