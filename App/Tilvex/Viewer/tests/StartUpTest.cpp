// The viewer's run: its command line, and damaged or foreign stores, which end the
// run with status 1 and everything closed instead of ending the process.
#include "Tilvex/Viewer/ViewerStartUp.h"
#include "ViewerTestSupport.h"
#include "vnLss/RootBlockLayout.h"
#include <fstream>

namespace vorn::test {
namespace {

std::string Str(const xstring& s) { return std::string(s.data(), s.size()); }

TEST(ViewerCommandLine, QuotesAreRemovedOnlyInPairsAroundALongerLine)
{
    EXPECT_EQ(Str(StorePathOf(xstring("\"a b.tvx\""))), "a b.tvx");
    EXPECT_EQ(Str(StorePathOf(xstring("\"\""))), "\"\"");
    EXPECT_EQ(Str(StorePathOf(xstring("\"a.tvx"))), "\"a.tvx");
    EXPECT_EQ(Str(StorePathOf(xstring("a \"b\""))), "a \"b\"");
    char p0[] = "Tilvex", p1[] = "my", p2[] = "file.tvx";
    char* argv[] = {p0, p1, p2};
    EXPECT_EQ(Str(JoinCommandLine(3, argv)), "my file.tvx");
    EXPECT_EQ(Str(JoinCommandLine(1, argv)), "");
}

class ViewerRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        StartTestWindowSystem();
        TestModule();
        m_dir = FreshFolder();
    }
    void TearDown() override
    {
        ResetMessageLoop();
        std::filesystem::remove_all(m_dir);
    }
    std::string Path(const char* name) const { return (m_dir / name).string(); }
    // The run ends with everything it made undone.
    void ExpectRunEndsWith(const std::string& path, int32_t status)
    {
        EXPECT_EQ(RunViewer(xstring(path.c_str())), status);
        EXPECT_EQ(TileDecodeExecuter, nullptr);
        EXPECT_EQ(GetThreadPSpace(), nullptr);
        EXPECT_EQ(GetThreadCSpace(), nullptr);
        EXPECT_TRUE(GetPlatformWindows().empty());
        EXPECT_FALSE(IsWindowSystemStarted());
        EXPECT_EQ(SharedGLContext, nullptr); // a later run shares nothing of this one
    }
    std::filesystem::path m_dir;
};

TEST_F(ViewerRun, WithoutCommandLineEndsAtOnce)
{
    EXPECT_EQ(RunViewer(xstring("")), -1);
    EXPECT_FALSE(IsWindowSystemStarted());
}

// With nothing to show on, the run fails at once, says why and touches no file.
TEST(ViewerWithoutADisplay, EndsWithMinusOneAndCreatesNothing)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // a fresh process, window system not started
    const std::filesystem::path dir = FreshFolder();
    const std::string path = (dir / "new.tvx").string();
    EXPECT_EXIT(
        {
            unsetenv("DISPLAY");
            unsetenv("WAYLAND_DISPLAY");
            unsetenv("SDL_VIDEODRIVER");
            std::exit(RunViewer(xstring(path.c_str())) == -1 ? 3 : 4);
        },
        ::testing::ExitedWithCode(3), "No display");
    EXPECT_FALSE(std::filesystem::exists(path));
    std::filesystem::remove_all(dir);
}

// The store's clean-shutdown byte as the window system stops (its stop handler runs
// first thing), or -1 before.
std::string g_storeAtStop;
int g_cleanByteAtStop = -1;
void RecordStoreAtStop()
{
    std::ifstream f(g_storeAtStop, std::ios::binary);
    f.seekg(kGracefulShutdownOffset);
    g_cleanByteAtStop = f.get();
    DestroyAllWindows();
}

TEST_F(ViewerRun, AMissingFileIsShownAsANewEmptyImageWithoutAnError)
{
    // The loop ends at once, right after the window is made.
    PostQuitMessage(0);
    // The window system stops only after the store is closed: its end may still meet X
    // errors, which Xlib answers by ending the process.
    g_storeAtStop = Path("absent.tvx");
    SetWindowSystemStopHandler(&RecordStoreAtStop);
    ::testing::internal::CaptureStderr();
    ExpectRunEndsWith(Path("absent.tvx"), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    SetWindowSystemStopHandler(&DestroyAllWindows);
    EXPECT_TRUE(std::filesystem::exists(Path("absent.tvx")));
    EXPECT_EQ(g_cleanByteAtStop, 1) << "the store was still open when the window system stopped";
}

TEST_F(ViewerRun, AFileThatIsNotAStoreEndsWithStatusOne)
{
    std::ofstream(Path("junk.tvx"), std::ios::binary) << std::string(70000, 'x');
    ExpectRunEndsWith(Path("junk.tvx"), 1);
}

TEST_F(ViewerRun, ATruncatedStoreEndsWithStatusOne)
{
    {
        StoreSession s(Path("cut.tvx"), OM_CREATE_ALWAYS);
        BuildTwoLevelPyramid(s.Root());
    }
    const auto size = std::filesystem::file_size(Path("cut.tvx"));
    std::filesystem::resize_file(Path("cut.tvx"), size / 3);
    ExpectRunEndsWith(Path("cut.tvx"), 1);
}

TEST_F(ViewerRun, AStoredHeightTooLargeToShowEndsWithStatusOne)
{
    {
        StoreSession s(Path("high.tvx"), OM_CREATE_ALWAYS);
        Tilvex* t = s.Root();
        ModelTransaction txn;
        t->SetHeight(24);
    }
    ExpectRunEndsWith(Path("high.tvx"), 1);
}

TEST_F(ViewerRun, AFailureWhileDrawingClosesTheWindowAndEndsTheRun)
{
    {
        // The root's first child names the Tilvex itself: drawing meets an object of
        // the wrong class.
        StoreSession s(Path("bad.tvx"), OM_CREATE_ALWAYS);
        Tilvex* t = s.Root();
        BuildTwoLevelPyramid(t);
        ModelTransaction txn;
        TilvexNode* root = t->GetRootNode();
        root->m_children[0] = pref(t->AsPersistable());
        root->MarkDirty();
    }
    ExpectRunEndsWith(Path("bad.tvx"), 1);
}

} // namespace
} // namespace vorn::test
