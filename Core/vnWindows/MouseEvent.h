// A mouse event as a view receives it: where it happened (client coordinates), the
// previous position when known ((-999, -999) otherwise), the wheel delta, the key
// flags of the message (MK_...), its kind, and two words the view shares with its
// window: the window's mouse state (handed in and taken back after the call) and the
// cursor the view wants (0: the standard arrow). Copies are bytewise.
#pragma once
#include "vnUtils/Geometry.h"
#include "vnWindows/WindowEvents.h"
#include <cstdint>

namespace vorn {

class TextWriter;

// The cursors a view may ask for (the system cursor ids).
constexpr uintptr_t kViewCursorArrow = 32512;
constexpr uintptr_t kViewCursorSizeAll = 32646;
constexpr uintptr_t kViewCursorHand = 32649;

constexpr int32_t kUnknownMousePos = -999;

struct MouseEvent {
    Point2i pos;
    Point2i prevPos{kUnknownMousePos, kUnknownMousePos};
    int32_t zDelta = 0;
    uint32_t flags = 0;
    EMouseEventType type = UNINITIALISED;
    // Not reflected.
    int32_t m_mouseState = 0;
    uintptr_t m_cursor = 0;
};

// "MouseEvent(" pos "," prevPos "," zDelta "," flags "," type ")".
TextWriter& operator<<(TextWriter& w, const MouseEvent& e);

} // namespace vorn
