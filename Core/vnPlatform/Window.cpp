#include "vnPlatform/Window.h"
#include <atomic>
#include <cstdio>

namespace vorn {

namespace {

const PlatformWindowSystem* g_system = nullptr;
std::atomic<bool> g_boxesEnabled{true};
void (*g_stopHandler)() = nullptr;

} // namespace

void InstallPlatformWindowSystem(const PlatformWindowSystem* system) { g_system = system; }

bool StartWindowSystem(std::string* error)
{
    if (g_system) return g_system->StartWindowSystem(error);
    *error = "No window system: this program is built without one";
    return false;
}

bool IsWindowSystemStarted() { return g_system && g_system->IsWindowSystemStarted(); }
const char* GetWindowSystemDriver() { return g_system ? g_system->GetWindowSystemDriver() : ""; }

void StopWindowSystem()
{
    if (!g_system || !g_system->IsWindowSystemStarted()) return;
    if (g_stopHandler) g_stopHandler();
    g_system->StopWindowSystem();
}

void SetWindowSystemStopHandler(void (*handler)()) { g_stopHandler = handler; }

// Without a window system no window is ever made, so the calls on windows below only
// ever reach one.

PlatformWindow* CreatePlatformWindow(const char* title, int32_t x, int32_t y, int32_t width, int32_t height,
                                     std::string* error)
{
    if (g_system) return g_system->CreatePlatformWindow(title, x, y, width, height, error);
    *error = "No window system: this program is built without one";
    return nullptr;
}

void DestroyPlatformWindow(PlatformWindow* window) { g_system->DestroyPlatformWindow(window); }
bool IsPlatformWindow(const PlatformWindow* window) { return g_system && g_system->IsPlatformWindow(window); }

std::vector<PlatformWindow*> GetPlatformWindows()
{
    return g_system ? g_system->GetPlatformWindows() : std::vector<PlatformWindow*>();
}

void SetPlatformWindowData(PlatformWindow* window, void* data) { g_system->SetPlatformWindowData(window, data); }
void* GetPlatformWindowData(const PlatformWindow* window) { return g_system->GetPlatformWindowData(window); }
bool ShowPlatformWindow(PlatformWindow* window) { return g_system->ShowPlatformWindow(window); }
bool IsPlatformWindowVisible(PlatformWindow* window) { return g_system->IsPlatformWindowVisible(window); }

void GetPlatformClientSize(PlatformWindow* window, int32_t* width, int32_t* height)
{
    g_system->GetPlatformClientSize(window, width, height);
}

void GetPlatformClientOrigin(PlatformWindow* window, int32_t* x, int32_t* y)
{
    g_system->GetPlatformClientOrigin(window, x, y);
}

void SetPlatformClientPlacement(PlatformWindow* window, int32_t x, int32_t y, int32_t width, int32_t height)
{
    g_system->SetPlatformClientPlacement(window, x, y, width, height);
}

bool IsPlatformWindowBordered(PlatformWindow* window) { return g_system->IsPlatformWindowBordered(window); }
void SetPlatformWindowBordered(PlatformWindow* window, bool bordered) { g_system->SetPlatformWindowBordered(window, bordered); }
void SetPlatformWindowOnTop(PlatformWindow* window, bool onTop) { g_system->SetPlatformWindowOnTop(window, onTop); }

void GetPlatformDesktopSize(PlatformWindow* window, int32_t* width, int32_t* height)
{
    if (g_system) {
        g_system->GetPlatformDesktopSize(window, width, height);
    } else {
        *width = 0;
        *height = 0;
    }
}

bool RequestPlatformRepaint(PlatformWindow* window) { return g_system && g_system->RequestPlatformRepaint(window); }
bool TakePlatformRepaint(PlatformWindow* window) { return g_system->TakePlatformRepaint(window); }

bool WaitPlatformEvent(PlatformEvent* event, int32_t timeoutMs)
{
    return g_system && g_system->WaitPlatformEvent(event, timeoutMs);
}

void WakePlatformEventLoop()
{
    if (g_system) g_system->WakePlatformEventLoop();
}

void SetPlatformCursor(EPlatformCursor cursor)
{
    if (g_system) g_system->SetPlatformCursor(cursor);
}

bool CapturePlatformMouse(bool on) { return g_system && g_system->CapturePlatformMouse(on); }

void ShowPlatformErrorBox(const char* text)
{
    std::fprintf(stderr, "%s\n", text);
    std::fflush(stderr);
    if (g_system && g_boxesEnabled.load()) g_system->ShowPlatformErrorBox(text);
}

void WaitPlatformErrorBoxes()
{
    if (g_system) g_system->WaitPlatformErrorBoxes();
}

bool EnablePlatformErrorBoxes(bool enable) { return g_boxesEnabled.exchange(enable); }

int32_t ChooseGlPixelFormat(const GlPixelFormat* formats, int32_t count)
{
    return g_system ? g_system->ChooseGlPixelFormat(formats, count) : -1;
}

bool SetGlPixelFormat(const GlPixelFormat& format) { return g_system && g_system->SetGlPixelFormat(format); }

PlatformGlContext* CreatePlatformGlContext(PlatformWindow* window, PlatformGlContext* share, std::string* error)
{
    return g_system->CreatePlatformGlContext(window, share, error);
}

void DeletePlatformGlContext(PlatformGlContext* context) { g_system->DeletePlatformGlContext(context); }
bool MakePlatformGlCurrent(PlatformWindow* window, PlatformGlContext* context)
{
    return g_system && g_system->MakePlatformGlCurrent(window, context);
}
void SwapPlatformWindow(PlatformWindow* window) { g_system->SwapPlatformWindow(window); }

} // namespace vorn
