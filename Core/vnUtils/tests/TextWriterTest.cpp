#include "vnUtils/TextWriter.h"
#include "vnUtils/Guid.h"
#include <gtest/gtest.h>
#include <cstdio>
#include <iomanip>
#include <stdexcept>
#include <string>

using namespace vorn;

namespace {

// Records what a writer sends: the bytes, the number of WriteStream and Flush calls.
struct CaptureStream : IOutputStream {
    std::string text;
    int writes = 0;
    int flushes = 0;
    void WriteStream(const void* p, ssize_t n) override
    {
        text.append(static_cast<const char*>(p), size_t(n));
        ++writes;
    }
    void Flush() override { ++flushes; }
};

// Refuses every write.
struct FailingStream : IOutputStream {
    void WriteStream(const void*, ssize_t) override { throw std::runtime_error("refused"); }
    void Flush() override {}
};

template <class F>
std::string Format(F f)
{
    CaptureStream out;
    {
        TextWriter w(&out);
        f(w);
    }
    return out.text;
}

} // namespace

TEST(TextWriterIntegers, DecimalSignsAndExtremes)
{
    EXPECT_EQ(Format([](TextWriter& w) { w << int32_t(INT32_MIN); }), "-2147483648");
    EXPECT_EQ(Format([](TextWriter& w) { w << int64_t(INT64_MIN); }), "-9223372036854775808");
    EXPECT_EQ(Format([](TextWriter& w) { w << uint64_t(UINT64_MAX); }), "18446744073709551615");
    EXPECT_EQ(Format([](TextWriter& w) { w << int16_t(-32768) << ' ' << uint16_t(65535); }), "-32768 65535");
    EXPECT_EQ(Format([](TextWriter& w) { w << int32_t(0) << int32_t(7); }), "07");
    EXPECT_EQ(Format([](TextWriter& w) { w << std::showpos << uint32_t(5) << ' ' << int32_t(5) << ' ' << int32_t(0); }),
              "5 +5 +0");
    EXPECT_EQ(Format([](TextWriter& w) { w << std::showpos << int32_t(-5); }), "-5");
}

TEST(TextWriterIntegers, HexadecimalAndOctal)
{
    EXPECT_EQ(Format([](TextWriter& w) { w << std::hex << int16_t(-1); }), "ffff");
    EXPECT_EQ(Format([](TextWriter& w) { w << std::hex << int32_t(-1); }), "ffffffff");
    EXPECT_EQ(Format([](TextWriter& w) { w << std::hex << int64_t(-1); }), "ffffffffffffffff");
    EXPECT_EQ(Format([](TextWriter& w) { w << std::hex << std::showbase << 255; }), "0xff");
    EXPECT_EQ(Format([](TextWriter& w) { w << std::hex << std::showbase << std::uppercase << 255; }), "0XFF");
    EXPECT_EQ(Format([](TextWriter& w) { w << std::hex << std::uppercase << 0xabcu; }), "ABC");
    EXPECT_EQ(Format([](TextWriter& w) { w << std::hex << std::showbase << 0 << ' ' << std::oct << 0; }), "0 0");
    EXPECT_EQ(Format([](TextWriter& w) { w << std::oct << 8 << ' ' << std::showbase << 8; }), "10 010");
    EXPECT_EQ(Format([](TextWriter& w) { w << std::oct << int16_t(-1); }), "177777");
    // showpos applies to decimal only.
    EXPECT_EQ(Format([](TextWriter& w) { w << std::showpos << std::hex << 10; }), "a");
    // Several base flags at once mean decimal.
    EXPECT_EQ(Format([](TextWriter& w) {
                  w.GetStream().setf(std::ios_base::hex | std::ios_base::oct, std::ios_base::basefield);
                  w << 255;
              }),
              "255");
    EXPECT_EQ(Format([](TextWriter& w) {
                  w.GetStream().unsetf(std::ios_base::basefield);
                  w << 255;
              }),
              "255");
}

TEST(TextWriterIntegers, WidthFillAndAdjustment)
{
    EXPECT_EQ(Format([](TextWriter& w) { w.SetFill('0') << std::internal; w.SetWidth(8) << -42; }), "-0000042");
    EXPECT_EQ(Format([](TextWriter& w) { w.SetFill('0') << std::internal << std::hex << std::showbase; w.SetWidth(8) << 255; }),
              "0x0000ff");
    // Octal's '0' is not a prefix: internal padding goes in front.
    EXPECT_EQ(Format([](TextWriter& w) { w.SetFill('.') << std::internal << std::oct << std::showbase; w.SetWidth(5) << 8; }),
              "..010");
    EXPECT_EQ(Format([](TextWriter& w) { w.SetWidth(5) << 42; }), "   42");
    EXPECT_EQ(Format([](TextWriter& w) { w.SetFill('*') << std::left; w.SetWidth(5) << -4; }), "-4***");
    EXPECT_EQ(Format([](TextWriter& w) { w.SetWidth(2) << 12345; }), "12345");
    // The width applies to one output only.
    EXPECT_EQ(Format([](TextWriter& w) { w.SetWidth(6); w << 1 << 2; }), "     12");
}

TEST(TextWriterText, WidthOnPlainText)
{
    EXPECT_EQ(Format([](TextWriter& w) { w.SetFill('*') << std::left; w.SetWidth(5) << "ab"; }), "ab***");
    EXPECT_EQ(Format([](TextWriter& w) { w.SetWidth(5) << "ab"; }), "   ab");
    // Internal counts as right for text.
    EXPECT_EQ(Format([](TextWriter& w) { w << std::internal; w.SetWidth(4) << "ab"; }), "  ab");
    EXPECT_EQ(Format([](TextWriter& w) { w.SetWidth(3); w.Put('x'); w.Put('y'); }), "  xy");
    // A range pads its first character only.
    EXPECT_EQ(Format([](TextWriter& w) { w.SetWidth(3); w << SubString8("abc"); }), "  abc");
    // WriteString neither honours nor resets the width.
    EXPECT_EQ(Format([](TextWriter& w) { w.SetWidth(3); w.WriteString(xstring("ab")); w << 1; }), "ab  1");
    EXPECT_EQ(Format([](TextWriter& w) { w << SubString16(u"AB"); }), "6566");
    EXPECT_EQ(Format([](TextWriter& w) { w << true << false << std::boolalpha << true << ' ' << false; }),
              "10true false");
    EXPECT_EQ(Format([](TextWriter& w) { w.WriteHex32(0x1a); w.SetWidth(10); w.WriteHex32(0xFFFFFFFFu); }),
              "0000001A  FFFFFFFF");
    EXPECT_EQ(Format([](TextWriter& w) { w << reinterpret_cast<const void*>(uintptr_t(0xABC)); }), "0000000000000ABC");
    EXPECT_EQ(Format([](TextWriter& w) { w << 1.5 << ' '; w.SetPrecision(3); w << 3.14159; }), "1.5 3.14");
}

TEST(TextWriterHexBytes, LastByteFirst)
{
    const uint32_t v = 0x01020304;
    EXPECT_EQ(Format([&](TextWriter& w) { WriteHexBytes(4, &v, w); }), "01020304");
    EXPECT_EQ(Format([&](TextWriter& w) { WriteHexBytes(0, &v, w); WriteHexBytes(-3, &v, w); }), "");
    const uint8_t ab = 0xAB;
    EXPECT_EQ(Format([&](TextWriter& w) { WriteHexBytes(1, &ab, w); }), "ab");

    uint8_t bytes[300];
    std::string expected;
    for (int i = 0; i < 300; ++i) bytes[i] = uint8_t(i * 7);
    for (int i = 299; i >= 0; --i) {
        char two[3];
        std::snprintf(two, sizeof(two), "%02x", bytes[i]);
        expected += two;
    }
    EXPECT_EQ(Format([&](TextWriter& w) { WriteHexBytes(300, bytes, w); }), expected);
}

TEST(TextWriterIndent, EveryLineIncludingEmptyOnes)
{
    EXPECT_EQ(Format([](TextWriter& w) { w.AddIndent(4); w << "a\n\nb"; }), "    a\n    \n    b");
    // Text buffered before the change keeps the old indentation; the line already begun
    // is not indented again.
    EXPECT_EQ(Format([](TextWriter& w) { w << "x"; w.AddIndent(2); w << "y\nz\n"; w.AddIndent(-2); w << "q"; }),
              "xy\n  z\nq");
    EXPECT_EQ(Format([](TextWriter& w) { w.AddIndent(300); w << "a"; }), std::string(300, ' ') + "a");
    EXPECT_EQ(Format([](TextWriter& w) { w.AddIndent(-3); w << "a\nb"; }), "a\nb");
}

TEST(TextWriterIndent, LinesAcrossFullPutAreas)
{
    std::string line(1000, 'x');
    std::string expected;
    const std::string out = Format([&](TextWriter& w) {
        w.AddIndent(3);
        for (int i = 0; i < 20; ++i) {
            w << line.c_str() << "\n";
            expected += "   " + line + "\n";
        }
    });
    EXPECT_EQ(out, expected);
}

TEST(TextWriterIndent, GuardFlushesAndRestores)
{
    CaptureStream out;
    {
        TextWriter w(&out);
        {
            TextIndentGuard g(w, 2);
            w << "a\n";
        }
        EXPECT_EQ(out.text, "  a\n");
        EXPECT_EQ(out.flushes, 1);
        w << "b\n";
    }
    EXPECT_EQ(out.text, "  a\nb\n");
    EXPECT_EQ(out.flushes, 1); // destruction writes without calling Flush
}

TEST(TextWriterLifetime, FlushAndDestruction)
{
    CaptureStream out;
    {
        TextWriter w(&out);
        w << "abc";
        EXPECT_EQ(out.text, ""); // still in the put area
        w.Flush();
        EXPECT_EQ(out.text, "abc");
        EXPECT_EQ(out.flushes, 1);
        w << "def";
    }
    EXPECT_EQ(out.text, "abcdef");
    EXPECT_EQ(out.writes, 2);
}

TEST(TextWriterLifetime, DestructorNeverThrows)
{
    FailingStream bad;
    EXPECT_NO_THROW({
        TextWriter w(&bad);
        w << "lost";
    });
    // An exception passing through a writer's scope is the one that arrives.
    try {
        TextWriter w(&bad);
        w << "lost";
        throw std::logic_error("first");
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "first");
    }
}

TEST(TextWriterLifetime, TargetErrorsReachTheCaller)
{
    FailingStream bad;
    TextWriter w(&bad);
    const std::string big(5000, 'z');
    EXPECT_THROW(w << big.c_str(), std::runtime_error);
    w << "abc";
    EXPECT_THROW(w.Flush(), std::runtime_error);
    // Through the standard stream as well; the writer stays usable afterwards.
    for (int i = 0; i < 4096; ++i) w.Put('y');
    EXPECT_THROW(w << 2.5, std::runtime_error);
    EXPECT_TRUE(w.GetStream().good());
}

TEST(StringTextWriter, TakeTextEmptiesAndReuses)
{
    StringTextWriter w;
    w << "one " << 1;
    EXPECT_EQ(w.TakeText(), "one 1");
    EXPECT_EQ(w.GetBuffer().GetSize(), 0);
    EXPECT_EQ(w.GetBuffer().GetWritePosition(), 0);
    EXPECT_EQ(w.TakeText(), "");
    std::string big;
    for (int i = 0; i < 3000; ++i) big += "0123456789";
    w << big.c_str();
    const xstring text = w.TakeText();
    EXPECT_EQ(std::string(text.data(), size_t(text.size())), big);
}

TEST(TextWriterText, GuidText)
{
    Guid g;
    ASSERT_TRUE(ParseGuid("{7C3E52A0-58B1-12C4-A4E7-00C0F03D81B6}", g));
    StringTextWriter w;
    w << g;
    EXPECT_EQ(w.TakeText(), "{7C3E52A0-58B1-12C4-A4E7-00C0F03D81B6}");
}
