#include "vnUtils/Guid.h"

namespace vorn {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

inline char* PutHex(char* p, uint64_t v, int digits)
{
    for (int i = digits - 1; i >= 0; --i) {
        p[i] = kHex[v & 0xF];
        v >>= 4;
    }
    return p + digits;
}

inline int HexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Reads exactly digits hex digits at p into v.
inline bool GetHex(const char* p, int digits, uint64_t& v)
{
    v = 0;
    for (int i = 0; i < digits; ++i) {
        const int h = HexValue(p[i]);
        if (h < 0) return false;
        v = (v << 4) | uint64_t(h);
    }
    return true;
}

} // namespace

xstring GuidToString(const Guid& g)
{
    xstring s;
    char* p = s.DiscardAndResize(38, 38);
    *p++ = '{';
    p = PutHex(p, g.Data1, 8);
    *p++ = '-';
    p = PutHex(p, g.Data2, 4);
    *p++ = '-';
    p = PutHex(p, g.Data3, 4);
    *p++ = '-';
    p = PutHex(p, g.Data4[0], 2);
    p = PutHex(p, g.Data4[1], 2);
    *p++ = '-';
    for (int i = 2; i < 8; ++i) p = PutHex(p, g.Data4[i], 2);
    *p = '}';
    return s;
}

bool ParseGuid(const char* text, Guid& g)
{
    if (!text) return false;
    // Check the length without reading past a short string's terminator.
    for (int i = 0; i < 38; ++i)
        if (text[i] == 0) return false;
    if (text[38] != 0 || text[0] != '{' || text[37] != '}' || text[9] != '-' || text[14] != '-' ||
        text[19] != '-' || text[24] != '-')
        return false;
    uint64_t d1, d2, d3, b[8];
    if (!GetHex(text + 1, 8, d1) || !GetHex(text + 10, 4, d2) || !GetHex(text + 15, 4, d3) ||
        !GetHex(text + 20, 2, b[0]) || !GetHex(text + 22, 2, b[1]))
        return false;
    for (int i = 0; i < 6; ++i)
        if (!GetHex(text + 25 + 2 * i, 2, b[2 + i])) return false;
    g.Data1 = uint32_t(d1);
    g.Data2 = uint16_t(d2);
    g.Data3 = uint16_t(d3);
    for (int i = 0; i < 8; ++i) g.Data4[i] = uint8_t(b[i]);
    return true;
}

} // namespace vorn
