// Names of window messages for the window procedure's diagnostics.
#pragma once
#include "vnUtils/XString.h"
#include "vnWindows/WindowSystem.h"

namespace vorn {

struct MessageName {
    uint32_t m_message;
    const char* m_name;
};

// The table of known messages, searched in order (first match wins).
const MessageName* GetMessageNameTable(int32_t* count);

// The message's name; "WM_USER + " and msg - WM_USER as 8 lower-case hexadecimal
// digits from WM_USER on; "Unknown : " and the number likewise for others.
xstring GetMessageName(uint32_t msg);

// "hWnd= " handle (at least 8 upper-case hexadecimal digits) "  msg= " name "  w= "
// wParam "  l= " lParam (at least 8 lower-case hexadecimal digits each) and a line feed.
xstring FormatMessageLine(HWND hwnd, uint32_t msg, WPARAM wParam, LPARAM lParam);

} // namespace vorn
