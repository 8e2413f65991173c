#include "vnPlatform/Text.h"
#include <cstring>

namespace vorn {

namespace {

constexpr uint64_t kHighBits8 = 0x8080808080808080ull;

// Length of the run of ASCII bytes at p (at most n), found eight bytes at a time.
inline size_t AsciiRun(const unsigned char* p, size_t n)
{
    size_t i = 0;
    while (i + 8 <= n) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        if (w & kHighBits8) break;
        i += 8;
    }
    while (i < n && p[i] < 0x80) ++i;
    return i;
}

inline bool IsCont(unsigned char c) { return (c & 0xC0) == 0x80; }

// Decodes one non-ASCII sequence at p (p < end, *p >= 0x80); advances p past it and
// returns the code point, or -1 for a malformed sequence (p is then unspecified).
inline int32_t DecodeMultiByte(const unsigned char*& p, const unsigned char* end)
{
    const unsigned char c = *p;
    const size_t left = size_t(end - p);
    if (c >= 0xC2 && c <= 0xDF) {
        if (left < 2 || !IsCont(p[1])) return -1;
        const int32_t cp = ((c & 0x1F) << 6) | (p[1] & 0x3F);
        p += 2;
        return cp;
    }
    if (c >= 0xE0 && c <= 0xEF) {
        if (left < 3) return -1;
        const unsigned char c1 = p[1];
        // E0 needs A0..BF (no overlong forms), ED needs 80..9F (no surrogates).
        const unsigned char lo = c == 0xE0 ? 0xA0 : 0x80;
        const unsigned char hi = c == 0xED ? 0x9F : 0xBF;
        if (c1 < lo || c1 > hi || !IsCont(p[2])) return -1;
        const int32_t cp = ((c & 0x0F) << 12) | ((c1 & 0x3F) << 6) | (p[2] & 0x3F);
        p += 3;
        return cp;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (left < 4) return -1;
        const unsigned char c1 = p[1];
        // F0 needs 90..BF (no overlong forms), F4 needs 80..8F (nothing above U+10FFFF).
        const unsigned char lo = c == 0xF0 ? 0x90 : 0x80;
        const unsigned char hi = c == 0xF4 ? 0x8F : 0xBF;
        if (c1 < lo || c1 > hi || !IsCont(p[2]) || !IsCont(p[3])) return -1;
        const int32_t cp = ((c & 0x07) << 18) | ((c1 & 0x3F) << 12) | ((p[2] & 0x3F) << 6) | (p[3] & 0x3F);
        p += 4;
        return cp;
    }
    // Stray continuation byte, C0, C1 or F5..FF.
    return -1;
}

inline bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
inline bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

} // namespace

int64_t CountUtf8AsUtf16(const char* s, size_t n)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
    const unsigned char* end = p + n;
    int64_t units = 0;
    while (p < end) {
        const size_t run = AsciiRun(p, size_t(end - p));
        p += run;
        units += int64_t(run);
        if (p == end) break;
        const int32_t cp = DecodeMultiByte(p, end);
        if (cp < 0) return -1;
        units += cp >= 0x10000 ? 2 : 1;
    }
    return units;
}

size_t ConvertUtf8ToUtf16(const char* s, size_t n, char16_t* out)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
    const unsigned char* end = p + n;
    char16_t* o = out;
    while (p < end) {
        const size_t run = AsciiRun(p, size_t(end - p));
        for (size_t i = 0; i < run; ++i) o[i] = char16_t(p[i]);
        p += run;
        o += run;
        if (p == end) break;
        const int32_t cp = DecodeMultiByte(p, end);
        if (cp < 0) break;
        if (cp >= 0x10000) {
            const int32_t v = cp - 0x10000;
            *o++ = char16_t(0xD800 | (v >> 10));
            *o++ = char16_t(0xDC00 | (v & 0x3FF));
        } else {
            *o++ = char16_t(cp);
        }
    }
    return size_t(o - out);
}

int64_t CountUtf16AsUtf8(const char16_t* s, size_t n)
{
    int64_t bytes = 0;
    for (size_t i = 0; i < n; ++i) {
        const char16_t u = s[i];
        if (u < 0x80) {
            bytes += 1;
        } else if (u < 0x800) {
            bytes += 2;
        } else if (IsHighSurrogate(u)) {
            if (i + 1 >= n || !IsLowSurrogate(s[i + 1])) return -1;
            ++i;
            bytes += 4;
        } else if (IsLowSurrogate(u)) {
            return -1;
        } else {
            bytes += 3;
        }
    }
    return bytes;
}

size_t ConvertUtf16ToUtf8(const char16_t* s, size_t n, char* out)
{
    char* o = out;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t u = s[i];
        if (u < 0x80) {
            *o++ = char(u);
        } else if (u < 0x800) {
            *o++ = char(0xC0 | (u >> 6));
            *o++ = char(0x80 | (u & 0x3F));
        } else if (IsHighSurrogate(char16_t(u))) {
            if (i + 1 >= n || !IsLowSurrogate(s[i + 1])) break;
            const uint32_t cp = 0x10000 + ((u - 0xD800) << 10) + (uint32_t(s[i + 1]) - 0xDC00);
            ++i;
            *o++ = char(0xF0 | (cp >> 18));
            *o++ = char(0x80 | ((cp >> 12) & 0x3F));
            *o++ = char(0x80 | ((cp >> 6) & 0x3F));
            *o++ = char(0x80 | (cp & 0x3F));
        } else if (IsLowSurrogate(char16_t(u))) {
            break;
        } else {
            *o++ = char(0xE0 | (u >> 12));
            *o++ = char(0x80 | ((u >> 6) & 0x3F));
            *o++ = char(0x80 | (u & 0x3F));
        }
    }
    return size_t(o - out);
}

} // namespace vorn
