// A store written by the builder from a generated photo of one flat colour, shown by
// the viewer window at several views once its decodes have run on a pool.
#include "ViewerTestSupport.h"
#include <cstdlib>
#include <fstream>

namespace vorn::test {
namespace {

void WritePhoto(const std::filesystem::path& path, int32_t w, int32_t h, uint32_t rgb)
{
    const xvector<uint8_t> bytes = JpegOfColour(w, h, uint8_t(rgb), uint8_t(rgb >> 8), uint8_t(rgb >> 16));
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

TEST(BuiltStore, ShowsTheBuildersImageAtSeveralViews)
{
    StartTestWindowSystem();
    const auto dir = FreshFolder();
    std::filesystem::create_directories(dir / "photos");
    WritePhoto(dir / "photos" / "red.jpg", 512, 512, 0xFF0000);
    // The builder writes its store beside itself, named after the folder.
    std::filesystem::copy_file(TILVEXGEN_PATH, dir / "Tilvexgen");
    const std::string cmd = "cd '" + dir.string() + "' && ./Tilvexgen photos < /dev/null > build.log 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    ASSERT_TRUE(std::filesystem::exists(dir / "photos.tvx"));

    IThreadPool* pool = CreateThreadPool(4);
    ITaskExecuter* executer = pool->CreateTaskExecuter();
    {
        StoreSession s((dir / "photos.tvx").string(), OM_OPEN_ALWAYS);
        Tilvex* t = s.Root();
        int32_t height = 0;
        {
            ModelTransaction txn;
            height = t->GetHeight();
        }
        ASSERT_GE(height, 2);
        TileDecodeExecuter = executer;
        ReadbackWnd* w = OpenReadbackWindow(t, 256 << (height - 1));
        // The whole image, then a full-detail view, then one zoomed in beyond it.
        const Rect2i views[] = {Rect2i(25, 25, 475, 475), Rect2i(0, 0, 256 << (height - 1), 256 << (height - 1)),
                                Rect2i(-300, -300, 1700, 1700)};
        for (const Rect2i& v : views) {
            w->SetViewRect(v);
            for (int i = 0; i < 20; ++i) { // loads and decodes arrive in the background
                PumpMessages(20);
                executer->WaitForAllTasks();
            }
            EXPECT_TRUE(Near(w->At(std::max(v.x1, 0) + 5, std::max(v.y1, 0) + 5), 0xFF0000))
                << std::hex << w->At(std::max(v.x1, 0) + 5, std::max(v.y1, 0) + 5);
            if (v.x2 < 700) {
                EXPECT_EQ(w->At(v.x2 + 2, 100), 0u);
            }
        }
        CloseWindow(w);
        delete executer;
        TileDecodeExecuter = nullptr;
    }
    delete pool;
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace vorn::test
