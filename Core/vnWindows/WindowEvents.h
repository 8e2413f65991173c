// The kinds of mouse and key input that windows hand to their handlers, with the
// values the rest of the framework stores and compares.
#pragma once
#include <cstdint>

namespace vorn {

enum EMouseEventType : int32_t {
    UNINITIALISED = 0,
    LBUTTON_DOWN = 1,
    MBUTTON_DOWN = 2,
    RBUTTON_DOWN = 3,
    LBUTTON_UP = 4,
    MBUTTON_UP = 5,
    RBUTTON_UP = 6,
    LBUTTON_DBL_CLICK = 7,
    MBUTTON_DBL_CLICK = 8,
    RBUTTON_DBL_CLICK = 9,
    MOVE = 10,
    WHEEL = 11,
    LOSE_CAPTURE = 12,
    GAIN = 13,
    LOSE = 14,
};

enum EWindowsKeyEvent : int32_t {
    WND_KEY_DOWN = 0,
    WND_KEY_UP = 1,
    WND_KEY_CHAR = 2,
    WND_SYS_KEY_DOWN = 3,
    WND_SYS_KEY_UP = 4,
    WND_SYS_KEY_CHAR = 5,
};

// One key or character message: the kind, the virtual key (key messages) or the
// UTF-16 character (character messages), the repeat count and the key flags (the high
// 16 bits of the message's key data: 0x2000 Alt held, 0x4000 key was down, 0x8000 up).
struct WindowsKeyEvent {
    EWindowsKeyEvent keyEvent = WND_KEY_DOWN;
    uint32_t vkeyOrChar = 0;
    int32_t cRepeat = 0;
    uint32_t nFlags = 0;
};

} // namespace vorn
