// Framework strings: vorn::xstring (UTF-8 bytes, no stored terminator), vorn::string16
// (UTF-16 units, size in bytes), non-owning ranges vorn::SubString8/16, the UTF
// conversions, comparisons, and path and case helpers. Paths use '/'.
#pragma once
#include "vnUtils/XVector.h"
#include <cstring>

namespace vorn {

class xstring;
class string16;

template <class C> struct StringOf;
template <> struct StringOf<char> { using type = xstring; };
template <> struct StringOf<char16_t> { using type = string16; };

// A half-open character range {begin, end}; does not own its characters.
template <class C>
struct SubStringT {
    const C* m_begin = nullptr;
    const C* m_end = nullptr;

    SubStringT() = default;
    SubStringT(const C* b, const C* e) : m_begin(b), m_end(e) {}
    // Spans a NUL-terminated string up to its terminator; a null pointer gives {null, null}.
    SubStringT(const C* z) : m_begin(z), m_end(z ? z + Length(z) : z) {}

    const C* begin() const { return m_begin; }
    const C* end() const { return m_end; }
    int32_t size() const { return int32_t(m_end - m_begin); }
    bool empty() const { return m_begin == m_end; }
    // An owned copy of the range (xstring or string16).
    typename StringOf<C>::type ToString() const;

    static size_t Length(const C* z)
    {
        size_t n = 0;
        while (z[n]) ++n;
        return n;
    }
};
using SubString8 = SubStringT<char>;
using SubString16 = SubStringT<char16_t>;
using SubString = SubString8;

// The reflected names of plain NUL-terminated strings.
using ConstString8Z = const char*;
using ConstString16Z = const char16_t*;

class xstring : public xvector<char> {
public:
    xstring() = default;
    xstring(const char* z) { if (z) assign(z); }
    xstring(const char* b, const char* e) { xvector<char>::assign(b, e); }
    xstring(SubString8 r) { xvector<char>::assign(r.m_begin, r.m_end); }
    xstring(const xstring&) = default;
    xstring(xstring&&) noexcept = default;
    xstring& operator=(const xstring&) = default;
    xstring& operator=(xstring&&) noexcept = default;
    xstring& operator=(const char* z) { clear(); if (z) assign(z); return *this; }

    // Copy of a NUL-terminated string.
    void assign(const char* z) { xvector<char>::assign(z, z + std::strlen(z)); }
    void assign(const char* b, const char* e) { xvector<char>::assign(b, e); }

    // Writes a NUL after the last byte (capacity becomes exactly size + 1 when short)
    // without changing the size, and returns the data pointer.
    const char* c_str();
    xstring& operator+=(char c) { push_back(c); return *this; }
    xstring& operator+=(const char* z) { append(z, int32_t(std::strlen(z))); return *this; }
    xstring& operator+=(const xstring& s) { if (&s == this) { xstring t(s); append(t.data(), t.size()); } else append(s.data(), s.size()); return *this; }
    xstring& operator+=(SubString8 r) { append(r.m_begin, r.size()); return *this; }

    SubString8 Range() const { return SubString8(data(), data() + size()); }
    bool operator==(const xstring& o) const { return xvector<char>::operator==(o); }
    bool operator!=(const xstring& o) const { return !(*this == o); }
    bool operator==(const char* z) const;
    bool operator!=(const char* z) const { return !(*this == z); }
    bool operator<(const xstring& o) const;

    // UTF-16 to UTF-8 (an unpaired surrogate gives an empty string).
    static xstring FromUtf16(const char16_t* z);

    // Makes the size n bytes with room for at least minCapacity (n <= minCapacity),
    // discarding the contents; the bytes are left unfilled. Returns the data pointer.
    char* DiscardAndResize(int32_t n, int32_t minCapacity);
};
using string8 = xstring;
xstring operator+(const xstring& a, const xstring& b);
xstring operator+(const xstring& a, const char* b);
xstring operator+(const char* a, const xstring& b);

// UTF-16 units; size() is in units, SizeInBytes() twice that.
class string16 : public xvector<char16_t> {
public:
    string16() = default;
    string16(const string16& o);
    string16(string16&&) noexcept = default;
    string16& operator=(const string16& o);
    string16& operator=(string16&&) noexcept = default;

    // Invalid UTF-8 gives an empty string.
    static string16 FromUtf8(const char* z);
    static string16 FromUtf8(const xstring& s);
    // A pointer to the units followed by a NUL unit (capacity becomes exactly
    // size + 1 units when short); the size does not change.
    const char16_t* c_str();

    // Makes the size n units with room for at least minCapacity units, discarding the
    // contents; the units are left unfilled. Returns the data pointer.
    char16_t* DiscardAndResize(int32_t n, int32_t minCapacity);
};

template <class C>
typename StringOf<C>::type SubStringT<C>::ToString() const
{
    typename StringOf<C>::type s;
    if (m_begin != m_end) s.assign(m_begin, m_end);
    return s;
}

// Frees every string's storage, then the array.
void DestroyStringVector(xvector<xstring>& v);

// Comparisons. Ranges are compared several bytes at a time; the results are those of
// the byte-by-byte definitions.
int CompareBytes(SubString8 a, SubString8 b);       // -1, 0, 1 over unsigned bytes
int CompareUtf16(SubString16 a, SubString16 b);     // the same over 16-bit units
bool EqualUtf16(SubString16 a, SubString16 b);
bool EqualRanges(SubString8 a, SubString8 b);
int CompareStrToRange(const char* z, SubString8 range);
bool RangeStartsWith(SubString8 range, SubString8 prefix);

// UTF conversions. Utf8ToUtf16 rejects malformed UTF-8 (overlong forms, surrogates,
// truncated sequences, values above U+10FFFF) with false and leaves out unchanged; an
// empty range empties out and releases its storage.
bool Utf8ToUtf16(SubString8 in, string16& out);
bool Utf8ToUtf16(const char* z, string16& out);
// A failed conversion (unpaired surrogate) gives an empty string and false.
bool Utf16ToUtf8(const char16_t* z, xstring& out);
bool Utf16ToUtf8(SubString16 in, xstring& out);
xstring Utf16ToUtf8String(const char16_t* z);

// Paths and case. GetExtension gives the upper-cased text after the last '.' of the
// whole path (the search crosses '/'); HasExtension compares it with ext (no dot),
// ignoring case. CombinePaths joins a directory and a relative path, taking a leading
// ".." component of rel as a step to the parent of dir; a step above the root of an
// absolute dir stays at the root; an absolute rel ("/x" or "C:/x") is the result.
xstring ToForwardSlashes(SubString8 path);
void ToForwardSlashesInPlace(xstring& s);
void ToLowerInPlace(xstring& s);
void ToUpperInPlace(xstring& s);
SubString8 SplitAtLastSlash(const char* begin, const char* end);
xstring GetExtension(const char* begin, const char* end);
bool HasExtension(SubString8 path, const char* ext);
xstring CombinePaths(SubString8 dir, SubString8 rel);

} // namespace vorn
