#include "vnUtils/Exceptions.h"
#include "vnPlatform/Error.h"
#include "vnPlatform/StdFile.h"
#include "vnUtils/Guid.h"
#include "vnUtils/TextWriter.h"
#include <gtest/gtest.h>
#include <cerrno>
#include <iomanip>
#include <string>

using namespace vorn;

namespace {

std::string Text(const IException& e)
{
    const xstring s = e.Describe();
    return std::string(s.data(), size_t(s.size()));
}

} // namespace

TEST(ExceptionTexts, FixedTexts)
{
    EXPECT_EQ(Text(EndOfStreamException()), "End of stream encountered");
    EXPECT_EQ(Text(BufferOverflowException()), "Buffer overflow");
    EXPECT_EQ(Text(ExceptionBase(xstring("plain"))), "plain");
    EXPECT_EQ(Text(CorruptLSSException(xstring("bad log"))), "bad log");
    EXPECT_EQ(Text(VornException(xstring("msg"), FileErrorCategory(), 4)), "msg");
}

TEST(ExceptionTexts, SystemErrors)
{
    EXPECT_EQ(Text(SystemException(ENOENT)), "Operating system error : No such file or directory");
    EXPECT_EQ(Text(SystemException(0xFFFFFFFFu)), "Operating system error : GetLastError() returned 4294967295");
    EXPECT_EQ(Text(SystemException(9999)), "Operating system error : GetLastError() returned 9999");
    EXPECT_EQ(Text(FileException(ENOENT, xstring("a.txt"))), "File error (a.txt) : No such file or directory");
    EXPECT_EQ(Text(FileException(EACCES, xstring("b"))), "File error (b) : Permission denied");
}

TEST(ExceptionTexts, UnknownCodeIsDecimalWhateverTheWriterBase)
{
    StringTextWriter w;
    w << std::hex << std::showbase;
    w.SetWidth(30);
    WriteSystemErrorText(4000, w);
    EXPECT_EQ(w.TakeText(), "GetLastError() returned 4000");
}

TEST(ExceptionTexts, FileExceptionTakesTheLastError)
{
    FILE* f = FOpenUtf8("/nonexistent-dir-of-tilvex/x", "r");
    ASSERT_EQ(f, nullptr);
    const FileException e(xstring("/nonexistent-dir-of-tilvex/x"));
    EXPECT_EQ(e.GetErrorCode(), uint32_t(ENOENT));
    EXPECT_EQ(e.GetPath(), "/nonexistent-dir-of-tilvex/x");
    SetLastSystemError(EISDIR);
    EXPECT_EQ(FileException(xstring("d")).GetErrorCode(), uint32_t(EISDIR));
}

TEST(ExceptionThrowing, ThrowVornException)
{
    try {
        ThrowVornException(xstring("Bitmap info is NULL"));
        FAIL();
    } catch (const VornException& e) {
        EXPECT_EQ(e.GetMessage(), "Bitmap info is NULL");
        EXPECT_EQ(e.GetCategory(), GeneralErrorCategory());
        EXPECT_EQ(e.GetCode(), 0);
        // Copies own their message.
        VornException copy = e;
        EXPECT_EQ(Text(copy), "Bitmap info is NULL");
    }
    try {
        ThrowDeserialisationException("truncated");
        FAIL();
    } catch (const IException& e) {
        EXPECT_NE(dynamic_cast<const DeserialisationException*>(&e), nullptr);
        EXPECT_EQ(Text(e), "truncated");
    }
}

TEST(ExceptionThrowing, FormattedMessageKeepsTwoThousandCharacters)
{
    auto messageOf = [](int len) {
        try {
            ThrowVornExceptionF(FileErrorCategory(), 2, "%0*d", len, 7);
        } catch (const VornException& e) {
            EXPECT_EQ(e.GetCategory(), FileErrorCategory());
            EXPECT_EQ(e.GetCode(), 2);
            return e.GetMessage();
        }
        return xstring();
    };
    const xstring longMsg = messageOf(3000);
    EXPECT_EQ(longMsg.size(), 2000);
    EXPECT_EQ(longMsg.back(), '0'); // cut, not the last digit of the full text
    EXPECT_EQ(messageOf(2000).size(), 2000);
    EXPECT_EQ(messageOf(2000).back(), '7');
    EXPECT_EQ(messageOf(1999).size(), 1999);
    try {
        ThrowVornExceptionF(FileErrorCategory(), 2, "Can't open file %s", "x.jpg");
    } catch (const VornException& e) {
        EXPECT_EQ(e.GetMessage(), "Can't open file x.jpg");
    }
}

TEST(ExceptionCategories, EqualTheirTexts)
{
    Guid g;
    ASSERT_TRUE(ParseGuid("{7C3E52A0-58B1-12C4-A4E7-00C0F03D81B6}", g));
    EXPECT_EQ(g, GeneralErrorCategory());
    ASSERT_TRUE(ParseGuid("{7C3E52A5-58B1-12C4-A4E7-00C0F03D81B6}", g));
    EXPECT_EQ(g, FileErrorCategory());
    EXPECT_EQ(GuidToString(FileErrorCategory()), "{7C3E52A5-58B1-12C4-A4E7-00C0F03D81B6}");
}
