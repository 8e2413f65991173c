#include "Tilvex/Tilvexgen/Entry.h"
#include "Tilvex/Tilvexgen/ShownName.h"
#include <gtest/gtest.h>
#include <string>

using namespace vorn;

namespace {

// The derived store path, or "<usage>" when the arguments leave no name.
std::string Store(const char* program, const char* dir)
{
    xstring out("untouched");
    if (!DeriveStorePath(program, dir, out)) {
        EXPECT_EQ(out, "untouched");
        return "<usage>";
    }
    return std::string(out.data(), size_t(out.size()));
}

} // namespace

TEST(TilvexgenStorePath, ProgramDirectoryAndLastName)
{
    EXPECT_EQ(Store("C:\\tools\\Tilvexgen", "C:\\pics\\holiday"), "C:/tools/holiday.tvx");
    EXPECT_EQ(Store("/opt/tilvex/bin/Tilvexgen", "/data/pics/summer"), "/opt/tilvex/bin/summer.tvx");
    EXPECT_EQ(Store("bin/Tilvexgen", "pics"), "bin/pics.tvx");
}

TEST(TilvexgenStorePath, DrivePrefixAndBareNames)
{
    EXPECT_EQ(Store("C:/tools/Tilvexgen", "D:photos"), "C:/tools/photos.tvx");
    // No slash in the program path: the store lands in the current directory.
    EXPECT_EQ(Store("Tilvexgen", "/data/pics"), "pics.tvx");
    EXPECT_EQ(Store("Tilvexgen", "pics"), "pics.tvx");
}

TEST(TilvexgenStorePath, TrailingSlashesAreIgnored)
{
    EXPECT_EQ(Store("/bin/Tilvexgen", "/data/pics/"), "/bin/pics.tvx");
    EXPECT_EQ(Store("/bin/Tilvexgen", "C:\\data\\pics\\\\"), "/bin/pics.tvx");
    EXPECT_EQ(Store("/bin/Tilvexgen", "D:photos/"), "/bin/photos.tvx");
}

TEST(TilvexgenStorePath, NoNameLeftIsAUsageError)
{
    EXPECT_EQ(Store("/bin/Tilvexgen", "/"), "<usage>");
    EXPECT_EQ(Store("/bin/Tilvexgen", "///"), "<usage>");
    EXPECT_EQ(Store("/bin/Tilvexgen", ""), "<usage>");
    EXPECT_EQ(Store("/bin/Tilvexgen", "C:"), "<usage>");
    EXPECT_EQ(Store("/bin/Tilvexgen", "C:\\"), "<usage>");
}

TEST(TilvexgenMain, WrongArgumentsGiveMinusOne)
{
    const char* none[] = {"Tilvexgen", nullptr};
    EXPECT_EQ(TilvexgenMain(1, none), -1);
    const char* two[] = {"Tilvexgen", "a", "b", nullptr};
    EXPECT_EQ(TilvexgenMain(3, two), -1);
    const char* root[] = {"Tilvexgen", "/", nullptr};
    EXPECT_EQ(TilvexgenMain(2, root), -1);
}

// Names in messages: UTF-8 as it is; bytes that are not UTF-8 (a Latin-1 letter, a cut
// or overlong sequence, a surrogate) and control characters (a line break would break
// the message's line) as \xHH.
TEST(TilvexgenShownName, EscapesWhatIsNotUtf8AndControlCharacters)
{
    const auto shown = [](const char* z) {
        const xstring s = ShownName(SubString8(z));
        return std::string(s.data(), size_t(s.size()));
    };
    EXPECT_EQ(shown("Urlaub/caf\xC3\xA9 \xF0\x9F\x93\xB7.jpg"), "Urlaub/caf\xC3\xA9 \xF0\x9F\x93\xB7.jpg");
    EXPECT_EQ(shown("Urlaub\xE9"), "Urlaub\\xE9");
    EXPECT_EQ(shown("a\nb\tc\x7F"), "a\\x0Ab\\x09c\\x7F");
    EXPECT_EQ(shown("cut\xC3"), "cut\\xC3");
    EXPECT_EQ(shown("\xC0\xAF"), "\\xC0\\xAF");           // overlong '/'
    EXPECT_EQ(shown("\xED\xA0\x80"), "\\xED\\xA0\\x80"); // a surrogate
}
