#include "Tilvex/Tilvexgen/ShownName.h"

namespace vorn {

namespace {

// The length of the well-formed UTF-8 sequence of two or more bytes at p (before e),
// or 0: no overlong forms, no surrogates, nothing above U+10FFFF.
int32_t SequenceLength(const unsigned char* p, const unsigned char* e)
{
    const unsigned c = p[0];
    int32_t n;
    unsigned lo = 0x80, hi = 0xBF; // the range of the second byte
    if (c >= 0xC2 && c <= 0xDF) n = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else
        return 0;
    if (e - p < n || p[1] < lo || p[1] > hi) return 0;
    for (int32_t i = 2; i < n; ++i)
        if ((p[i] & 0xC0) != 0x80) return 0;
    return n;
}

} // namespace

xstring ShownName(SubString8 name)
{
    static const char kHex[] = "0123456789ABCDEF";
    const auto* p = reinterpret_cast<const unsigned char*>(name.begin());
    const auto* e = reinterpret_cast<const unsigned char*>(name.end());
    xstring out;
    out.reserve(name.size());
    while (p < e) {
        if (*p >= 0x20 && *p < 0x7F) {
            out += char(*p++);
            continue;
        }
        if (const int32_t n = *p >= 0x80 ? SequenceLength(p, e) : 0) {
            out.append(reinterpret_cast<const char*>(p), n);
            p += n;
            continue;
        }
        const char esc[4] = {'\\', 'x', kHex[*p >> 4], kHex[*p & 15]};
        out.append(esc, 4);
        ++p;
    }
    return out;
}

} // namespace vorn
