// Top-level windows with an OpenGL context, their input events, the mouse cursor and
// capture, and error boxes, over the system's window library (SDL2).
//
// The functions here reach the window system that the program links: a program that
// links vnPlatformWindows (SDL2 and OpenGL) has it from start-up on; in any other (the
// console builder) StartWindowSystem fails with a reason, no window exists and error
// boxes go to standard error only, so that such a program needs neither library.
//
// Everything here runs on the thread that started the window system (the main thread),
// except the calls marked "any thread": IsPlatformWindow, RequestPlatformRepaint and
// WakePlatformEventLoop, which never call into the window library's video functions.
// A window is created hidden with its client area at the given screen position and
// size; the window library sends no event for that first size.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace vorn {

struct PlatformWindow;
struct PlatformGlContext;

// Starts the window system once (later calls return true at once). Fails with a reason
// in *error when the window library cannot start, or when no display is named (DISPLAY
// and WAYLAND_DISPLAY unset) and no driver was chosen explicitly (SDL_VIDEODRIVER), so
// that a program started without a display never runs invisibly. Without a chosen
// driver only the named displays are tried: one that cannot be reached fails the start.
bool StartWindowSystem(std::string* error);
bool IsWindowSystemStarted();
// The name of the driver in use ("x11", "offscreen", ...), or "" when not started.
const char* GetWindowSystemDriver();
// Lets the stop handler destroy the windows still open, destroys those it left, and the
// cursors, releases the OpenGL contexts not yet deleted (their owners may then only
// delete them: DeletePlatformGlContext) and stops the window system.
void StopWindowSystem();
// The owner of the windows (the framework's window calls) destroys them here as it
// destroys any window, so that each lets go of what it holds (its object, its OpenGL
// context) while the system still runs. Null (the default): none.
void SetWindowSystemStopHandler(void (*handler)());

// ---- windows ---------------------------------------------------------------------

// A hidden OpenGL-capable window whose client area is width x height at (x, y) on the
// screen, made with the pixel format set last (SetGlPixelFormat). Null, with the
// reason in *error, when it cannot be made.
PlatformWindow* CreatePlatformWindow(const char* title, int32_t x, int32_t y, int32_t width, int32_t height,
                                     std::string* error);
// Destroys the window; the handle is invalid afterwards (IsPlatformWindow says false).
void DestroyPlatformWindow(PlatformWindow* window);
// True while window is a window made here and not destroyed (any thread).
bool IsPlatformWindow(const PlatformWindow* window);
// The windows alive now, in creation order.
std::vector<PlatformWindow*> GetPlatformWindows();

// One pointer of the owner's, null until set.
void SetPlatformWindowData(PlatformWindow* window, void* data);
void* GetPlatformWindowData(const PlatformWindow* window);

// Shows the window; true when it was visible before.
bool ShowPlatformWindow(PlatformWindow* window);
bool IsPlatformWindowVisible(PlatformWindow* window);
void GetPlatformClientSize(PlatformWindow* window, int32_t* width, int32_t* height);
// The screen position of the client area's top-left pixel.
void GetPlatformClientOrigin(PlatformWindow* window, int32_t* x, int32_t* y);
// Moves and sizes the client area.
void SetPlatformClientPlacement(PlatformWindow* window, int32_t x, int32_t y, int32_t width, int32_t height);
bool IsPlatformWindowBordered(PlatformWindow* window);
void SetPlatformWindowBordered(PlatformWindow* window, bool bordered);
void SetPlatformWindowOnTop(PlatformWindow* window, bool onTop);
// The size of the desktop of the window's display (the first display for null).
void GetPlatformDesktopSize(PlatformWindow* window, int32_t* width, int32_t* height);

// ---- repaint requests ------------------------------------------------------------

// Any thread: marks the window as needing a paint and, when it was not marked yet,
// wakes the event loop once. False (nothing done) when window is not a live window.
bool RequestPlatformRepaint(PlatformWindow* window);
// Clears the window's mark; true when it was set.
bool TakePlatformRepaint(PlatformWindow* window);

// ---- events ----------------------------------------------------------------------

enum EPlatformEventKind : int32_t {
    PEV_NONE = 0,
    PEV_QUIT,          // the process was asked to end (SIGTERM, SIGINT)
    PEV_WAKE,          // WakePlatformEventLoop or a repaint request
    PEV_CLOSE,         // the user asked to close the window
    PEV_SIZED,         // the client area's size changed: x, y = new width, height
    PEV_MINIMISED,
    PEV_RESTORED,      // x, y = client width, height
    PEV_EXPOSED,       // the window's content must be drawn again
    PEV_FOCUS_GAINED,
    PEV_FOCUS_LOST,
    PEV_MOUSE_MOVE,    // x, y; buttons
    PEV_BUTTON_DOWN,   // x, y; button; clicks
    PEV_BUTTON_UP,     // x, y; button
    PEV_WHEEL,         // wheel; x, y; screenX, screenY
    PEV_KEY_DOWN,      // key; repeat
    PEV_KEY_UP,        // key
    PEV_TEXT,          // text
};

// Bits of PlatformEvent::buttons and numbers of PlatformEvent::button.
constexpr uint32_t PBUTTON_LEFT = 1;
constexpr uint32_t PBUTTON_MIDDLE = 2;
constexpr uint32_t PBUTTON_RIGHT = 3;
constexpr uint32_t PButtonMask(uint32_t button) { return 1u << (button - 1); }

// Bits of PlatformEvent::mods.
constexpr uint32_t PMOD_SHIFT = 1;
constexpr uint32_t PMOD_CTRL = 2;
constexpr uint32_t PMOD_ALT = 4;

struct PlatformEvent {
    EPlatformEventKind kind = PEV_NONE;
    // The window the event is for; null for events of no window and for windows that
    // no longer exist.
    PlatformWindow* window = nullptr;
    int32_t x = 0;        // client coordinates of the mouse, or a size (see the kinds)
    int32_t y = 0;
    int32_t screenX = 0;  // screen coordinates of the mouse (wheel)
    int32_t screenY = 0;
    uint32_t button = 0;  // PBUTTON_...
    int32_t clicks = 0;   // 1 for a single click, 2 for a double click, ...
    int32_t wheel = 0;    // notches, positive when turned away from the user
    uint32_t buttons = 0; // buttons held (PButtonMask bits)
    uint32_t mods = 0;    // modifier keys held (PMOD_...)
    // Virtual-key code in the Windows numbering: 'A'..'Z', '0'..'9', 0x08 Backspace,
    // 0x09 Tab, 0x0D Return, 0x10 Shift, 0x11 Control, 0x12 Alt, 0x1B Escape, 0x20
    // Space, 0x21..0x28 PageUp, PageDown, End, Home, Left, Up, Right, Down, 0x2D Insert,
    // 0x2E Delete, 0x70.. F1..F12; 0 for keys without one.
    uint32_t key = 0;
    bool repeat = false;  // a key-down that repeats a held key
    char text[32] = {};   // UTF-8, NUL-terminated (PEV_TEXT)
};

// Waits up to timeoutMs milliseconds (negative: no limit) for the next event; false
// when none came in time. Events of the window library that mean nothing here are
// skipped.
bool WaitPlatformEvent(PlatformEvent* event, int32_t timeoutMs);
// Any thread: makes a waiting WaitPlatformEvent return a PEV_WAKE event.
void WakePlatformEventLoop();

// ---- mouse -----------------------------------------------------------------------

enum EPlatformCursor : int32_t { PCURSOR_ARROW = 0, PCURSOR_HAND, PCURSOR_SIZEALL };
// Shows one of the system's cursors (each made once).
void SetPlatformCursor(EPlatformCursor cursor);
// Keeps mouse events coming to the focused window while the pointer is outside it (on)
// or stops that (off); false when the system refused.
bool CapturePlatformMouse(bool on);

// ---- error boxes -----------------------------------------------------------------

// Writes text and a line feed to standard error, then, when boxes are enabled, shows
// it in a box captioned "Error" (nothing more where no box can be shown, as under the
// offscreen driver, or while 8 boxes are up). The box does not wait for the user: the
// program goes on, its windows drawn and its events handled, while the box is up. No
// box outlives the program: its boxes end with it, however it ends. Main thread.
void ShowPlatformErrorBox(const char* text);
// Waits until the user has closed every box shown. When the process was asked to end
// (a stop signal reached the event loop, or came after its last wait), it takes them
// down at once instead. Called after StopWindowSystem, a stop signal during the wait
// ends the process, and its boxes with it. Main thread.
void WaitPlatformErrorBoxes();
// Boxes are enabled by default; tests and headless runs turn them off. Returns the
// previous setting.
bool EnablePlatformErrorBoxes(bool enable);

// ---- OpenGL ----------------------------------------------------------------------

struct GlPixelFormat {
    int32_t colourBits;   // per channel: red, green and blue
    int32_t alphaBits;
    int32_t depthBits;
    int32_t stencilBits;
    bool doubleBuffer;
};

// The index of the first of count formats with which this display can give a window
// and an OpenGL context (tried on a hidden probe window; the answer is kept per
// list content), or -1 when none can.
int32_t ChooseGlPixelFormat(const GlPixelFormat* formats, int32_t count);
// Makes format the one of windows created from now on; false when the library refused.
bool SetGlPixelFormat(const GlPixelFormat& format);

// A context for window; with share (a live context) the two share textures and display
// lists, while the window share was made for lives (else the new context shares
// nothing). Leaves no context current. Null, with the reason in *error, on failure.
PlatformGlContext* CreatePlatformGlContext(PlatformWindow* window, PlatformGlContext* share, std::string* error);
// Releases the context (it must not be used afterwards); releases it first when current.
void DeletePlatformGlContext(PlatformGlContext* context);
// Makes context current on window for the calling thread; both null releases the
// current one. False on failure.
bool MakePlatformGlCurrent(PlatformWindow* window, PlatformGlContext* context);
// Shows the back buffer of a double-buffered window (failures cannot be seen).
void SwapPlatformWindow(PlatformWindow* window);

// ---- the window system in use ---------------------------------------------------

// The entry points of one window system, one for each function above but the error
// box switch (ShowPlatformErrorBox here only shows the box).
struct PlatformWindowSystem {
    bool (*StartWindowSystem)(std::string* error);
    bool (*IsWindowSystemStarted)();
    const char* (*GetWindowSystemDriver)();
    void (*StopWindowSystem)();
    PlatformWindow* (*CreatePlatformWindow)(const char* title, int32_t x, int32_t y, int32_t width, int32_t height,
                                            std::string* error);
    void (*DestroyPlatformWindow)(PlatformWindow* window);
    bool (*IsPlatformWindow)(const PlatformWindow* window);
    std::vector<PlatformWindow*> (*GetPlatformWindows)();
    void (*SetPlatformWindowData)(PlatformWindow* window, void* data);
    void* (*GetPlatformWindowData)(const PlatformWindow* window);
    bool (*ShowPlatformWindow)(PlatformWindow* window);
    bool (*IsPlatformWindowVisible)(PlatformWindow* window);
    void (*GetPlatformClientSize)(PlatformWindow* window, int32_t* width, int32_t* height);
    void (*GetPlatformClientOrigin)(PlatformWindow* window, int32_t* x, int32_t* y);
    void (*SetPlatformClientPlacement)(PlatformWindow* window, int32_t x, int32_t y, int32_t width, int32_t height);
    bool (*IsPlatformWindowBordered)(PlatformWindow* window);
    void (*SetPlatformWindowBordered)(PlatformWindow* window, bool bordered);
    void (*SetPlatformWindowOnTop)(PlatformWindow* window, bool onTop);
    void (*GetPlatformDesktopSize)(PlatformWindow* window, int32_t* width, int32_t* height);
    bool (*RequestPlatformRepaint)(PlatformWindow* window);
    bool (*TakePlatformRepaint)(PlatformWindow* window);
    bool (*WaitPlatformEvent)(PlatformEvent* event, int32_t timeoutMs);
    void (*WakePlatformEventLoop)();
    void (*SetPlatformCursor)(EPlatformCursor cursor);
    bool (*CapturePlatformMouse)(bool on);
    void (*ShowPlatformErrorBox)(const char* text);
    void (*WaitPlatformErrorBoxes)();
    int32_t (*ChooseGlPixelFormat)(const GlPixelFormat* formats, int32_t count);
    bool (*SetGlPixelFormat)(const GlPixelFormat& format);
    PlatformGlContext* (*CreatePlatformGlContext)(PlatformWindow* window, PlatformGlContext* share, std::string* error);
    void (*DeletePlatformGlContext)(PlatformGlContext* context);
    bool (*MakePlatformGlCurrent)(PlatformWindow* window, PlatformGlContext* context);
    void (*SwapPlatformWindow)(PlatformWindow* window);
};

// Makes system the one the functions above reach (vnPlatformWindows calls it during
// static initialisation); null, the state of a program without one, removes it.
void InstallPlatformWindowSystem(const PlatformWindowSystem* system);

} // namespace vorn
