#include "vnUtils/XString.h"
#include "vnPlatform/Text.h"
#include <algorithm>
#include <new>

namespace vorn {

// ---------------------------------------------------------------- xstring

const char* xstring::c_str()
{
    if (m_capacity < m_size + 1) Reallocate(int64_t(m_size) + 1);
    m_data[m_size] = 0;
    return m_data;
}

char* xstring::DiscardAndResize(int32_t n, int32_t minCapacity)
{
    if (m_capacity < minCapacity) {
        Release();
        Reallocate(minCapacity);
    }
    m_size = n;
    return m_data;
}

bool xstring::operator==(const char* z) const
{
    const size_t n = z ? std::strlen(z) : 0;
    if (n != size_t(m_size)) return false;
    return n == 0 || std::memcmp(m_data, z, n) == 0;
}

bool xstring::operator<(const xstring& o) const { return CompareBytes(Range(), o.Range()) < 0; }

xstring xstring::FromUtf16(const char16_t* z)
{
    xstring s;
    Utf16ToUtf8(z, s);
    return s;
}

static xstring Concat(const char* a, int32_t na, const char* b, int32_t nb)
{
    xstring s;
    const int32_t n = detail::CheckedBytes(int64_t(na) + nb);
    char* p = s.DiscardAndResize(n, n);
    if (na) std::memcpy(p, a, size_t(na));
    if (nb) std::memcpy(p + na, b, size_t(nb));
    return s;
}

xstring operator+(const xstring& a, const xstring& b) { return Concat(a.data(), a.size(), b.data(), b.size()); }
xstring operator+(const xstring& a, const char* b)
{
    return Concat(a.data(), a.size(), b, b ? int32_t(std::strlen(b)) : 0);
}
xstring operator+(const char* a, const xstring& b)
{
    return Concat(a, a ? int32_t(std::strlen(a)) : 0, b.data(), b.size());
}

// ---------------------------------------------------------------- string16

string16::string16(const string16& o) : xvector<char16_t>(o) {}

string16& string16::operator=(const string16& o)
{
    xvector<char16_t>::operator=(o);
    return *this;
}

string16 string16::FromUtf8(const char* z)
{
    string16 s;
    Utf8ToUtf16(z, s);
    return s;
}

string16 string16::FromUtf8(const xstring& s)
{
    string16 r;
    Utf8ToUtf16(s.Range(), r);
    return r;
}

const char16_t* string16::c_str()
{
    const int32_t n = size();
    if (capacity() < n + 1) Reallocate(int64_t(n) + 1);
    m_data[n] = 0;
    return m_data;
}

char16_t* string16::DiscardAndResize(int32_t n, int32_t minCapacity)
{
    if (capacity() < minCapacity) {
        Release();
        Reallocate(minCapacity);
    }
    m_size = n * int32_t(sizeof(char16_t));
    return m_data;
}

void DestroyStringVector(xvector<xstring>& v) { v.Release(); }

// ---------------------------------------------------------------- comparisons

int CompareBytes(SubString8 a, SubString8 b)
{
    const size_t na = size_t(a.size()), nb = size_t(b.size());
    const size_t n = std::min(na, nb);
    if (n) {
        // memcmp compares as unsigned bytes, word by word.
        const int c = std::memcmp(a.m_begin, b.m_begin, n);
        if (c) return c < 0 ? -1 : 1;
    }
    return na < nb ? -1 : (na > nb ? 1 : 0);
}

int CompareUtf16(SubString16 a, SubString16 b)
{
    const size_t na = size_t(a.size()), nb = size_t(b.size());
    const size_t n = std::min(na, nb);
    const char16_t* p = a.m_begin;
    const char16_t* q = b.m_begin;
    size_t i = 0;
    // Skip equal four-unit blocks, then find the first differing unit.
    while (i + 4 <= n) {
        uint64_t x, y;
        std::memcpy(&x, p + i, 8);
        std::memcpy(&y, q + i, 8);
        if (x != y) break;
        i += 4;
    }
    for (; i < n; ++i)
        if (p[i] != q[i]) return p[i] < q[i] ? -1 : 1;
    return na < nb ? -1 : (na > nb ? 1 : 0);
}

bool EqualUtf16(SubString16 a, SubString16 b)
{
    const int32_t n = a.size();
    return n == b.size() && (n == 0 || std::memcmp(a.m_begin, b.m_begin, size_t(n) * 2) == 0);
}

bool EqualRanges(SubString8 a, SubString8 b)
{
    const int32_t n = a.size();
    return n == b.size() && (n == 0 || std::memcmp(a.m_begin, b.m_begin, size_t(n)) == 0);
}

int CompareStrToRange(const char* z, SubString8 range)
{
    // Positive when the range is greater, negative when the string is.
    const char* r = range.m_begin;
    const int32_t n = range.size();
    for (int32_t i = 0;; ++i) {
        const unsigned char c = z ? static_cast<unsigned char>(z[i]) : 0;
        if (i == n) return c ? -1 : 0;
        if (c == 0) return 1;
        const unsigned char d = static_cast<unsigned char>(r[i]);
        if (c != d) return d > c ? 1 : -1;
    }
}

bool RangeStartsWith(SubString8 range, SubString8 prefix)
{
    const int32_t n = prefix.size();
    return range.size() >= n && (n == 0 || std::memcmp(range.m_begin, prefix.m_begin, size_t(n)) == 0);
}

// ---------------------------------------------------------------- conversions

bool Utf8ToUtf16(SubString8 in, string16& out)
{
    const size_t n = size_t(in.size());
    if (n == 0) {
        out.Release();
        return true;
    }
    const int64_t units = CountUtf8AsUtf16(in.m_begin, n);
    if (units < 0) return false;
    const int32_t u = detail::CheckedBytes(units * 2) / 2;
    ConvertUtf8ToUtf16(in.m_begin, n, out.DiscardAndResize(u, u));
    return true;
}

bool Utf8ToUtf16(const char* z, string16& out)
{
    const size_t n = z ? std::strlen(z) : 0;
    const int64_t units = CountUtf8AsUtf16(z, n);
    if (units < 0) return false;
    // Room for the terminator behind the size, so data() is a wide C string.
    const int32_t u = detail::CheckedBytes((units + 1) * 2) / 2 - 1;
    char16_t* p = out.DiscardAndResize(u, u + 1);
    ConvertUtf8ToUtf16(z, n, p);
    p[u] = 0;
    return true;
}

bool Utf16ToUtf8(SubString16 in, xstring& out)
{
    const size_t n = size_t(in.size());
    const int64_t bytes = CountUtf16AsUtf8(in.m_begin, n);
    if (bytes < 0) {
        out.Release();
        return false;
    }
    if (n == 0) {
        out.clear();
        return true;
    }
    // Room for a terminator behind the size, so c_str needs no reallocation.
    const int32_t b = detail::CheckedBytes(bytes + 1) - 1;
    char* p = out.DiscardAndResize(b, b + 1);
    ConvertUtf16ToUtf8(in.m_begin, n, p);
    p[b] = 0;
    return true;
}

bool Utf16ToUtf8(const char16_t* z, xstring& out)
{
    return Utf16ToUtf8(z ? SubString16(z) : SubString16(), out);
}

xstring Utf16ToUtf8String(const char16_t* z)
{
    xstring s;
    Utf16ToUtf8(z, s);
    return s;
}

// ---------------------------------------------------------------- paths and case

xstring ToForwardSlashes(SubString8 path)
{
    xstring s(path);
    ToForwardSlashesInPlace(s);
    return s;
}

void ToForwardSlashesInPlace(xstring& s)
{
    for (char& c : s)
        if (c == '\\') c = '/';
}

void ToLowerInPlace(xstring& s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c + ('a' - 'A'));
}

void ToUpperInPlace(xstring& s)
{
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = char(c - ('a' - 'A'));
}

SubString8 SplitAtLastSlash(const char* begin, const char* end)
{
    for (const char* p = end; p != begin;)
        if (*--p == '/') return SubString8(begin, p);
    return SubString8(begin, begin);
}

static inline char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? char(c - ('a' - 'A')) : c; }

static const char* FindLastDot(const char* begin, const char* end)
{
    for (const char* p = end; p != begin;)
        if (*--p == '.') return p;
    return nullptr;
}

xstring GetExtension(const char* begin, const char* end)
{
    const char* dot = FindLastDot(begin, end);
    if (!dot) return xstring();
    xstring s(dot + 1, end);
    ToUpperInPlace(s);
    return s;
}

bool HasExtension(SubString8 path, const char* ext)
{
    const char* dot = FindLastDot(path.m_begin, path.m_end);
    const char* e = dot ? dot + 1 : path.m_end;
    const size_t n = size_t(path.m_end - e);
    if (std::strlen(ext) != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (AsciiUpper(e[i]) != AsciiUpper(ext[i])) return false;
    return true;
}

namespace {

bool IsExactly(SubString8 r, const char* z) { return CompareStrToRange(z, r) == 0; }

bool IsAbsolute(SubString8 r)
{
    const int32_t n = r.size();
    if (n >= 1 && r.m_begin[0] == '/') return true;
    return n > 3 && r.m_begin[1] == ':' && r.m_begin[2] == '/';
}

// Length of the root of an absolute directory ("/" or "C:/"), 0 for a relative one.
int32_t RootLength(SubString8 dir)
{
    const int32_t n = dir.size();
    if (n >= 1 && dir.m_begin[0] == '/') return 1;
    if (n >= 3 && dir.m_begin[1] == ':' && dir.m_begin[2] == '/') return 3;
    return 0;
}

// Whether the last component of dir is "..": a parent step cannot resolve against it.
bool EndsInDotDot(SubString8 dir)
{
    const int32_t n = dir.size();
    if (n < 2 || dir.m_begin[n - 1] != '.' || dir.m_begin[n - 2] != '.') return false;
    return n == 2 || dir.m_begin[n - 3] == '/';
}

xstring Join(SubString8 dir, SubString8 rel)
{
    const bool slash = dir.m_begin[dir.size() - 1] != '/';
    const int32_t nd = dir.size(), nr = rel.size();
    xstring s;
    const int32_t n = detail::CheckedBytes(int64_t(nd) + slash + nr);
    char* p = s.DiscardAndResize(n, n);
    std::memcpy(p, dir.m_begin, size_t(nd));
    if (slash) p[nd] = '/';
    if (nr) std::memcpy(p + nd + slash, rel.m_begin, size_t(nr));
    return s;
}

} // namespace

xstring CombinePaths(SubString8 dir, SubString8 rel)
{
    for (;;) {
        if (dir.empty() || IsExactly(dir, ".")) return rel.ToString();
        if (IsAbsolute(rel)) return rel.ToString();
        if (IsExactly(rel, ".")) return dir.ToString();
        const int32_t nr = rel.size();
        const bool parentStep = nr >= 2 && rel.m_begin[0] == '.' && rel.m_begin[1] == '.' &&
                                (nr == 2 || rel.m_begin[2] == '/');
        if (!parentStep || EndsInDotDot(dir)) return Join(dir, rel);

        rel.m_begin += nr == 2 ? 2 : 3;
        const int32_t root = RootLength(dir);
        if (dir.size() > root) {
            SubString8 parent = SplitAtLastSlash(dir.m_begin, dir.m_end);
            // A parent inside the root (the "/" of "/a", the "C:/" of "C:/a") is the root.
            if (parent.size() < root) parent.m_end = dir.m_begin + root;
            dir = parent;
        } else if (root) {
            dir.m_end = dir.m_begin + root; // already at the root: stay there
        }
        if (rel.empty()) return dir.ToString();
    }
}

} // namespace vorn
