#include "vnUtils/Guid.h"
#include "vnUtils/SmallString.h"
#include "vnUtils/XString.h"
#include <gtest/gtest.h>
#include <climits>
#include <new>
#include <random>
#include <string>

using namespace vorn;

namespace {

SubString8 R(const std::string& s) { return SubString8(s.data(), s.data() + s.size()); }
std::u16string U16(const string16& s) { return std::u16string(s.data(), s.data() + s.size()); }
std::string Str(const xstring& s) { return std::string(s.data(), s.data() + s.size()); }
std::string Combine(const char* dir, const char* rel) { return Str(CombinePaths(dir, rel)); }

// The comparison order written out one byte at a time.
int ReferenceCompare(const std::string& a, const std::string& b)
{
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
        const unsigned x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

} // namespace

TEST(XVector, AppendGrowthRule)
{
    xvector<char> v;
    EXPECT_EQ(v.data(), nullptr);
    v.push_back('a');
    EXPECT_EQ(v.CapacityInBytes(), 1);
    v.push_back('b');
    EXPECT_EQ(v.CapacityInBytes(), 3);
    v.push_back('c');
    EXPECT_EQ(v.CapacityInBytes(), 3);
    v.push_back('d');
    EXPECT_EQ(v.CapacityInBytes(), 7);

    // Copies allocate exactly the source size.
    xvector<char> copy(v);
    EXPECT_EQ(copy.CapacityInBytes(), 4);
    xvector<int32_t> filled(5, 9);
    EXPECT_EQ(filled.capacity(), 5);
    EXPECT_EQ(filled[4], 9);
}

TEST(XVector, Int32GrowthOverflowThrows)
{
    xvector<int32_t> v;
    EXPECT_THROW(v.resize(INT32_MAX / 4 + 1), std::bad_alloc);
    EXPECT_THROW(v.reserve(INT32_MAX), std::bad_alloc);
    v.push_back(1);
    int32_t one = 1;
    EXPECT_THROW(v.append(&one, INT32_MAX), std::bad_alloc);
    EXPECT_EQ(v.size(), 1);
    EXPECT_EQ(v[0], 1);
}

TEST(XString, CStrOnEmptyAndFull)
{
    xstring e;
    const char* z = e.c_str();
    ASSERT_NE(z, nullptr);
    EXPECT_EQ(z[0], 0);
    EXPECT_EQ(e.size(), 0);
    EXPECT_EQ(e.capacity(), 1);

    xstring s("abc");
    EXPECT_STREQ(s.c_str(), "abc");
    EXPECT_EQ(s.size(), 3);
    EXPECT_EQ(s.capacity(), 4);

    // A string kept in a vector built from a fill value.
    xvector<xstring> v(3, xstring("x"));
    EXPECT_STREQ(v[2].c_str(), "x");
    DestroyStringVector(v);
    EXPECT_EQ(v.size(), 0);
    EXPECT_EQ(v.data(), nullptr);
}

TEST(XString, OperatorsAndRanges)
{
    const xstring a("ab"), b("abc");
    EXPECT_TRUE(a < b);
    EXPECT_FALSE(b < a);
    EXPECT_TRUE(a == "ab");
    EXPECT_TRUE(a != "abc");
    EXPECT_TRUE(xstring() == "");
    EXPECT_EQ(Str(a + b), "ababc");
    EXPECT_EQ(Str(a + "!"), "ab!");
    EXPECT_EQ(Str("<" + a), "<ab");
    xstring c(a);
    c += c;
    c += 'z';
    EXPECT_EQ(Str(c), "ababz");

    SubString8 none(static_cast<const char*>(nullptr));
    EXPECT_EQ(none.m_begin, nullptr);
    EXPECT_TRUE(none.empty());
    SubString8 r("hello");
    EXPECT_EQ(r.size(), 5);
    EXPECT_EQ(Str(r.ToString()), "hello");
    EXPECT_EQ(U16(SubString16(u"wide").ToString()), u"wide");
}

TEST(StringCompare, BytesInOrder)
{
    EXPECT_EQ(CompareBytes("ab", "abc"), -1);
    EXPECT_EQ(CompareBytes("abc", "ab"), 1);
    EXPECT_EQ(CompareBytes("abc", "abc"), 0);
    EXPECT_EQ(CompareBytes("", ""), 0);
    EXPECT_EQ(CompareBytes("\x80", "z"), 1) << "bytes above 0x7F sort after ASCII letters";
    EXPECT_EQ(CompareBytes("z", "\xff"), -1);

    // Differences at every position of long ranges give the byte-by-byte result.
    std::mt19937 rng(5);
    for (int i = 0; i < 2000; ++i) {
        std::string a(size_t(rng() % 40), 'q');
        for (auto& ch : a) ch = char(rng() % 4 == 0 ? 0x80 + rng() % 3 : 'a' + rng() % 3);
        std::string b = a;
        if (!b.empty() && rng() % 2) b[rng() % b.size()] = char(rng() % 256);
        if (rng() % 3 == 0) b.resize(rng() % (b.size() + 1));
        EXPECT_EQ(CompareBytes(R(a), R(b)), ReferenceCompare(a, b)) << a << " / " << b;
        EXPECT_EQ(EqualRanges(R(a), R(b)), a == b);
    }

    const char16_t hi[] = {u'a', 0x8000, 0};
    const char16_t lo[] = {u'a', 0x7FFF, u'z', 0};
    EXPECT_EQ(CompareUtf16(hi, lo), 1);
    EXPECT_EQ(CompareUtf16(u"abcdefgh", u"abcdefghi"), -1);
    EXPECT_EQ(CompareUtf16(u"abcdefgX", u"abcdefgh"), -1);
    EXPECT_EQ(CompareUtf16(u"abcdefgh", u"abcdefgh"), 0);
    EXPECT_TRUE(EqualUtf16(u"abc", u"abc"));
    EXPECT_FALSE(EqualUtf16(u"abc", u"abd"));
    EXPECT_FALSE(EqualUtf16(u"abc", u"ab"));
}

TEST(StringCompare, StringToRangeAndPrefix)
{
    EXPECT_EQ(CompareStrToRange("abc", "abc"), 0);
    EXPECT_EQ(CompareStrToRange("ab", "abc"), 1);
    EXPECT_EQ(CompareStrToRange("abc", "ab"), -1);
    EXPECT_NE(CompareStrToRange("abd", "abc"), 0);
    EXPECT_EQ(CompareStrToRange("", SubString8()), 0);
    EXPECT_TRUE(RangeStartsWith("abcdef", "abc"));
    EXPECT_TRUE(RangeStartsWith("abc", ""));
    EXPECT_FALSE(RangeStartsWith("ab", "abc"));
    EXPECT_FALSE(RangeStartsWith("abd", "abc"));
}

TEST(Utf, ValidFormsBothWays)
{
    struct Case { const char* utf8; std::u16string utf16; };
    const Case cases[] = {
        {"A", u"A"},
        {"\x7f", u"\x7f"},
        {"\xc2\x80", u"\x80"},
        {"\xc3\xa9", u"\xe9"},
        {"\xdf\xbf", u"\x7ff"},
        {"\xe0\xa0\x80", u"\x800"},
        {"\xe2\x82\xac", u"\x20ac"},
        {"\xed\x9f\xbf", u"\xd7ff"},
        {"\xee\x80\x80", u"\xe000"},
        {"\xef\xbf\xbf", u"\xffff"},
        {"\xf0\x90\x80\x80", u"\U00010000"},
        {"\xf0\x9f\x98\x80", u"\U0001F600"},
        {"\xf4\x8f\xbf\xbf", u"\U0010FFFF"},
        {"plain ascii text longer than eight \xe2\x82\xac bytes", u"plain ascii text longer than eight \x20ac bytes"},
    };
    for (const Case& c : cases) {
        string16 w;
        ASSERT_TRUE(Utf8ToUtf16(SubString8(c.utf8), w)) << c.utf8;
        EXPECT_EQ(U16(w), c.utf16);
        string16 wz;
        ASSERT_TRUE(Utf8ToUtf16(c.utf8, wz));
        EXPECT_EQ(U16(wz), c.utf16);
        EXPECT_EQ(wz.data()[wz.size()], 0) << "terminator behind the size";
        xstring back;
        ASSERT_TRUE(Utf16ToUtf8(wz.c_str(), back));
        EXPECT_EQ(Str(back), c.utf8);
        EXPECT_EQ(Str(xstring::FromUtf16(wz.c_str())), c.utf8);
    }
    // A NUL inside a range is a character like any other.
    const char withNul[] = {'a', 0, 'b'};
    string16 w;
    ASSERT_TRUE(Utf8ToUtf16(SubString8(withNul, withNul + 3), w));
    EXPECT_EQ(w.size(), 3);
}

TEST(Utf, MalformedUtf8IsRejected)
{
    const std::string bad[] = {
        "\xc0\x80", "\xc1\xbf", "\xe0\x80\x80", "\xe0\x9f\xbf", "\xf0\x80\x80\x80", "\xf0\x8f\xbf\xbf", // overlong
        "\xed\xa0\x80", "\xed\xbf\xbf", "\xed\xb0\x80",                                                // surrogates
        "\xc3", "\xe2\x82", "\xf0\x9f\x98", "abc\xe2",                                                 // truncated
        "\x80", "\xbf", "ab\x80" "cd", "\xc3\xa9\xa9",                                                // stray continuations
        "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xf8\x88\x80\x80\x80", "\xfe", "\xff",               // too large / never valid
        "\xc3(", "\xe2\x28\xa1", "\xf0\x9f\x28\x80",                                                  // bad continuation
        "0123456789abcdefghij\xed\xa0\x80",                                                           // after an ASCII run
    };
    for (const std::string& s : bad) {
        string16 w;
        ASSERT_TRUE(Utf8ToUtf16("keep", w));
        EXPECT_FALSE(Utf8ToUtf16(R(s), w)) << testing::PrintToString(s);
        EXPECT_EQ(U16(w), u"keep") << "a failed conversion leaves the target as it was";
        EXPECT_FALSE(Utf8ToUtf16(s.c_str(), w));
        EXPECT_EQ(U16(w), u"keep");
        EXPECT_EQ(string16::FromUtf8(s.c_str()).size(), 0);
        EXPECT_EQ(string16::FromUtf8(xstring(s.c_str())).size(), 0);
    }
}

TEST(Utf, EmptyAndUnpaired)
{
    string16 w;
    ASSERT_TRUE(Utf8ToUtf16("abc", w));
    EXPECT_TRUE(Utf8ToUtf16(SubString8(), w));
    EXPECT_EQ(w.size(), 0);
    EXPECT_EQ(w.data(), nullptr) << "an empty conversion releases the storage";
    EXPECT_EQ(w.capacity(), 0);

    const char16_t loneHigh[] = {u'a', 0xD800, 0};
    const char16_t highThenA[] = {0xD83D, u'a', 0};
    const char16_t loneLow[] = {0xDE00, u'a', 0};
    for (const char16_t* z : {loneHigh, highThenA, loneLow}) {
        xstring s("old");
        EXPECT_FALSE(Utf16ToUtf8(z, s));
        EXPECT_EQ(s.size(), 0);
        EXPECT_EQ(Utf16ToUtf8String(z).size(), 0);
    }
    xstring s;
    EXPECT_TRUE(Utf16ToUtf8(u"", s));
    EXPECT_EQ(s.size(), 0);
}

TEST(Paths, CombinePaths)
{
    EXPECT_EQ(Combine("a/b", "../c"), "a/c");
    EXPECT_EQ(Combine("a/b", "../../c"), "c");
    EXPECT_EQ(Combine("a/b", ".."), "a");
    EXPECT_EQ(Combine("a/b", "../"), "a");
    EXPECT_EQ(Combine("..", "../x"), "../../x");
    EXPECT_EQ(Combine("../..", "../x"), "../../../x");
    EXPECT_EQ(Combine("", "x"), "x");
    EXPECT_EQ(Combine(".", "x"), "x");
    EXPECT_EQ(Combine("", "../x"), "../x");
    EXPECT_EQ(Combine("a", "/x"), "/x");
    EXPECT_EQ(Combine("a", "C:/x"), "C:/x");
    EXPECT_EQ(Combine("a", "C:/"), "a/C:/");
    EXPECT_EQ(Combine("a", "."), "a");
    EXPECT_EQ(Combine("a", "./b"), "a/./b");
    EXPECT_EQ(Combine("a", "b/c"), "a/b/c");
    EXPECT_EQ(Combine("a/", "b"), "a/b");
    // ".." is a parent step only as a whole component.
    EXPECT_EQ(Combine("a/b", "..c"), "a/b/..c");
    EXPECT_EQ(Combine("a/b", "...c"), "a/b/...c");
    // Climbing above the root of an absolute directory stays at the root.
    EXPECT_EQ(Combine("/a", "../../x"), "/x");
    EXPECT_EQ(Combine("/a", "../x"), "/x");
    EXPECT_EQ(Combine("/a", ".."), "/");
    EXPECT_EQ(Combine("/", "x"), "/x");
    EXPECT_EQ(Combine("/a/b", "../c"), "/a/c");
    EXPECT_EQ(Combine("C:/a", "../../x"), "C:/x");
}

TEST(Paths, ExtensionsSlashesAndCase)
{
    const auto ext = [](const char* p) { return Str(GetExtension(p, p + std::strlen(p))); };
    EXPECT_EQ(ext("dir.v/file"), "V/FILE");
    EXPECT_EQ(ext("photo.jpg"), "JPG");
    EXPECT_EQ(ext("noext"), "");
    EXPECT_EQ(ext("trailing."), "");
    EXPECT_EQ(ext("a.tar.Gz"), "GZ");
    EXPECT_TRUE(HasExtension("x/y/Image.JpG", "jpg"));
    EXPECT_TRUE(HasExtension("x/y/Image.jpg", "JPG"));
    EXPECT_FALSE(HasExtension("x/y/Image.jpeg", "jpg"));
    EXPECT_FALSE(HasExtension("x/y/jpg", "jpg"));
    EXPECT_TRUE(HasExtension("noext", ""));

    EXPECT_EQ(Str(ToForwardSlashes("a\\b\\c")), "a/b/c");
    xstring s("MiXeD\\Path \xc3\x89");
    ToForwardSlashesInPlace(s);
    ToLowerInPlace(s);
    EXPECT_EQ(Str(s), "mixed/path \xc3\x89") << "only ASCII letters change";
    ToUpperInPlace(s);
    EXPECT_EQ(Str(s), "MIXED/PATH \xc3\x89");

    const char* p = "a/b/c";
    SubString8 parent = SplitAtLastSlash(p, p + 5);
    EXPECT_EQ(Str(parent.ToString()), "a/b");
    const char* q = "abc";
    SubString8 none = SplitAtLastSlash(q, q + 3);
    EXPECT_EQ(none.m_begin, q);
    EXPECT_TRUE(none.empty());
}

TEST(GuidText, RoundTripAndRejections)
{
    const Guid g = {0x7C3E52A0, 0x58B1, 0x12C4, {0xA4, 0xE7, 0x00, 0xC0, 0xF0, 0x3D, 0x81, 0xB6}};
    const xstring text = GuidToString(g);
    EXPECT_EQ(Str(text), "{7C3E52A0-58B1-12C4-A4E7-00C0F03D81B6}");
    Guid back{};
    ASSERT_TRUE(ParseGuid("{7c3e52a0-58b1-12c4-a4e7-00c0f03d81b6}", back));
    EXPECT_TRUE(back == g);
    const Guid zero{};
    EXPECT_EQ(Str(GuidToString(zero)), "{00000000-0000-0000-0000-000000000000}");

    const char* bad[] = {
        "",
        "7C3E52A0-58B1-12C4-A4E7-00C0F03D81B6",
        "{7C3E52A0-58B1-12C4-A4E7-00C0F03D81B}",
        "{7C3E52A0-58B1-12C4-A4E7-00C0F03D81B6}x",
        "{7C3E52A0-58B1-12C4-A4E700C0F03D81B6-}",
        "{7C3E52A0-58B1-12C4-A4E7-00C0F03D81BG}",
        "(7C3E52A0-58B1-12C4-A4E7-00C0F03D81B6)",
        "{7C3E52A0+58B1-12C4-A4E7-00C0F03D81B6}",
    };
    for (const char* z : bad) EXPECT_FALSE(ParseGuid(z, back)) << z;
    EXPECT_FALSE(ParseGuid(nullptr, back));
}

namespace {

// The UTF-8 rules stated plainly: the lead byte gives the length, every further byte is
// 10xxxxxx, and the value is the shortest form's, not a surrogate, at most U+10FFFF.
bool ReferenceValid(const unsigned char* p, size_t n)
{
    size_t i = 0;
    while (i < n) {
        const unsigned c = p[i];
        size_t len;
        uint32_t v;
        if (c < 0x80) { ++i; continue; }
        if ((c & 0xE0) == 0xC0) { len = 2; v = c & 0x1F; }
        else if ((c & 0xF0) == 0xE0) { len = 3; v = c & 0x0F; }
        else if ((c & 0xF8) == 0xF0) { len = 4; v = c & 0x07; }
        else return false;
        if (i + len > n) return false;
        for (size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            v = (v << 6) | (p[i + k] & 0x3F);
        }
        const uint32_t minimum = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
        if (v < minimum || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

} // namespace

TEST(Utf, DecoderAgreesWithTheRulesOnShortSequences)
{
    string16 w;
    unsigned char b[3];
    for (unsigned x = 0; x < 256; ++x)
        for (unsigned y = 0; y < 256; ++y) {
            b[0] = uint8_t(x);
            b[1] = uint8_t(y);
            const SubString8 r(reinterpret_cast<const char*>(b), reinterpret_cast<const char*>(b) + 2);
            ASSERT_EQ(Utf8ToUtf16(r, w), ReferenceValid(b, 2)) << x << " " << y;
        }
    for (unsigned x = 0xE0; x < 0x100; ++x)
        for (unsigned y = 0; y < 256; ++y)
            for (unsigned z : {0x00u, 0x7Fu, 0x80u, 0x9Fu, 0xA0u, 0xBFu, 0xC0u}) {
                b[0] = uint8_t(x);
                b[1] = uint8_t(y);
                b[2] = uint8_t(z);
                const SubString8 r(reinterpret_cast<const char*>(b), reinterpret_cast<const char*>(b) + 3);
                ASSERT_EQ(Utf8ToUtf16(r, w), ReferenceValid(b, 3)) << x << " " << y << " " << z;
            }
}

TEST(Utf, EveryCodePointRoundTrips)
{
    // All scalar values in one string: encoded by hand, decoded, and encoded back.
    std::string utf8;
    std::u16string utf16;
    for (uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        if (cp < 0x80) {
            utf8 += char(cp);
        } else if (cp < 0x800) {
            utf8 += char(0xC0 | (cp >> 6));
            utf8 += char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            utf8 += char(0xE0 | (cp >> 12));
            utf8 += char(0x80 | ((cp >> 6) & 0x3F));
            utf8 += char(0x80 | (cp & 0x3F));
        } else {
            utf8 += char(0xF0 | (cp >> 18));
            utf8 += char(0x80 | ((cp >> 12) & 0x3F));
            utf8 += char(0x80 | ((cp >> 6) & 0x3F));
            utf8 += char(0x80 | (cp & 0x3F));
        }
        if (cp < 0x10000) {
            utf16 += char16_t(cp);
        } else {
            utf16 += char16_t(0xD800 | ((cp - 0x10000) >> 10));
            utf16 += char16_t(0xDC00 | ((cp - 0x10000) & 0x3FF));
        }
    }
    string16 w;
    ASSERT_TRUE(Utf8ToUtf16(R(utf8), w));
    ASSERT_TRUE(U16(w) == utf16);
    xstring back;
    ASSERT_TRUE(Utf16ToUtf8(SubString16(w.data(), w.data() + w.size()), back));
    ASSERT_TRUE(Str(back) == utf8);
}

TEST(SmallString, InlineUpToSixteenBytes)
{
    const char text[] = "0123456789abcdefghijklmnop";
    SmallString s(text, 16);
    EXPECT_EQ(s.capacity(), 16);
    EXPECT_EQ(std::memcmp(s.data(), text, 16), 0);
    s.resize(20);
    EXPECT_EQ(s.capacity(), 20);
    EXPECT_EQ(std::memcmp(s.data(), text, 16), 0);
    EXPECT_EQ(s.data()[19], 0);
    SmallString copy(s);
    EXPECT_TRUE(copy == s);
    s.assign(s.data() + 2, 18); // from its own block
    EXPECT_EQ(std::memcmp(s.data(), text + 2, 14), 0);
    SmallString moved(std::move(copy));
    EXPECT_EQ(moved.size(), 20);
    EXPECT_EQ(copy.size(), 0);
    moved.resize(3);
    EXPECT_EQ(moved.capacity(), 16);
    EXPECT_EQ(std::memcmp(moved.data(), "012", 3), 0);
    moved = std::move(s);
    EXPECT_EQ(moved.size(), 18);
}
