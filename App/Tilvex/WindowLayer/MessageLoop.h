// The viewer's message loop over the platform's events. Input events become the
// window messages the window procedure dispatches: mouse messages with double clicks
// from the click count and MK_ key flags, wheel messages of 120 per notch at screen
// coordinates, key messages (system ones while Alt is held) with the flags 0x2000 Alt,
// 0x4000 repeat, 0x8000 up, character messages from text input (and Enter, Backspace,
// Tab, Escape from their keys), focus, minimise, restore and close. A request to end
// the process (SIGTERM, SIGINT) closes every window through WM_CLOSE.
// GetMessageW returns posted and input messages first, then one WM_PAINT per window
// that asked for a repaint, then one WM_TIMER per timer that is due (a timer never has
// more than one waiting). Everything here runs on the main thread.
#pragma once
#include "vnWindows/WindowSystem.h"
#include <cstdint>
#include <vector>

namespace vorn {

// The next message; false when it is WM_QUIT, and also when no window is left and
// nothing is waiting, so that a loop whose windows are all gone always ends.
bool GetMessageW(MSG* msg);
// Like GetMessageW, but returns false at once (msg->message = WM_NULL) when no
// message is ready within timeoutMs milliseconds.
bool PeekMessageW(MSG* msg, int32_t timeoutMs = 0);
// Characters come from the platform's text input already: nothing to do.
void TranslateMessage(const MSG* msg);
// Hands the message to the window procedure; messages for windows that no longer
// exist are dropped (result 0).
LRESULT DispatchMessageW(const MSG* msg);
// Queues a message behind the waiting ones.
void PostMessageW(HWND hwnd, uint32_t msg, WPARAM wParam, LPARAM lParam);
// Makes GetMessageW return WM_QUIT with the code once the posted messages are done.
void PostQuitMessage(int32_t exitCode);

// Starts (or restarts) timer id of hwnd with a period of ms milliseconds (at least
// 10); returns id, or 0 for a non-window or id 0. A window's timers stop when it is
// destroyed.
uint32_t SetTimer(HWND hwnd, uint32_t id, uint32_t ms);
// False when there was no such timer.
bool KillTimer(HWND hwnd, uint32_t id);
// Stops every timer of hwnd (the window procedure's last message does this, so a later
// window at the same address never gets the old window's ticks).
void KillTimersOf(HWND hwnd);
// The period of timer id of hwnd in ms; 0 when there is no such timer.
uint32_t GetTimerPeriod(HWND hwnd, uint32_t id);

// Mouse capture: while a window has it, mouse input keeps coming to it outside its
// client area. Taking it from another window, releasing it, and losing focus while
// captured send WM_CAPTURECHANGED to the window that loses it.
HWND SetCapture(HWND hwnd);
bool ReleaseCapture();
HWND GetCapture();

// Appends the messages that event stands for to out, tracking the buttons held and
// the capture. Events for no window (but the request to end) are dropped. Used by the
// loop; tests feed it events directly.
void TranslatePlatformEvent(const PlatformEvent& event, std::vector<MSG>* out);
// Forgets the loop's queue, timers, quit request, buttons and capture (tests).
void ResetMessageLoop();

} // namespace vorn
