#include "Tilvex/Tilvexgen/Entry.h"
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
