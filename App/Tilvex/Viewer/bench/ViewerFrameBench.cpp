// Frames of the viewer window at 1280 x 1024 on the display (Xvfb) or SDL's offscreen
// driver: a warm frame of full-detail tiles already decoded and cached, beside a frame
// of an image without tiles (clear and swap only); and the time from a jump to a view
// never seen until every visible tile is drawn at full detail (decoded on a pool of 4
// threads), beside the warm frame of the same view; and a frame of an image whose root
// tile cannot be decoded (its header claims 30000 x 30000 pixels), beside the empty one.
#include "Tilvex/Model/tests/ModelTestSupport.h"
#include "Tilvex/WindowLayer/FrameworkWindowClass.h"
#include "Tilvex/WindowLayer/MessageLoop.h"
#include "Tilvex/Viewer/TileDecoding.h"
#include "Tilvex/Viewer/TilvexWnd.h"
#include "vnWindows/WindowSystem.h"
#include <atomic>
#include <benchmark/benchmark.h>

using namespace vorn;

namespace {

constexpr int32_t kHeight = 6; // 32 x 32 tiles at full detail, 8192 pixels
constexpr int32_t kImage = 256 << (kHeight - 1);

// Counts the decodes handed to the pool; owns the pool's executer.
class CountingExecuter : public ITaskExecuter {
public:
    explicit CountingExecuter(ITaskExecuter* inner) : m_inner(inner) {}
    ~CountingExecuter() override { delete m_inner; }
    void AddTask(IThreadPoolTask* t) override
    {
        m_added.fetch_add(1);
        m_inner->AddTask(t);
    }
    void WaitForAllTasks() override { m_inner->WaitForAllTasks(); }
    int32_t GetNumPendingTasks() override { return m_inner->GetNumPendingTasks(); }
    std::atomic<int64_t> m_added{0};
private:
    ITaskExecuter* m_inner;
};

TilvexNode* Build(int32_t level, uint32_t& seed)
{
    TilvexNode* n = NewTilvexNode();
    seed = seed * 1103515245u + 12345u;
    xvector<uint8_t> bytes = test::JpegOfColour(kTileSize, kTileSize, uint8_t(seed >> 8), uint8_t(seed >> 16), uint8_t(seed >> 24));
    n->TakeJpegBytes(bytes);
    if (level < kHeight)
        for (int i = 0; i < 4; ++i) n->SetChild(i % 2, i / 2, Build(level + 1, seed));
    return n;
}

// Tile bytes whose frame header claims 30000 x 30000 pixels: they do not decode into a
// tile, and trying takes long.
xvector<uint8_t> HugeHeaderBytes()
{
    xvector<uint8_t> bytes = test::JpegOfColour(kTileSize, kTileSize, 10, 20, 30);
    for (int32_t i = 0; i + 8 < bytes.size(); ++i) {
        if (bytes[i] != 0xFF || bytes[i + 1] != 0xC0) continue;
        bytes[i + 5] = 30000 >> 8; // height, then width, most significant byte first
        bytes[i + 6] = 30000 & 0xFF;
        bytes[i + 7] = 30000 >> 8;
        bytes[i + 8] = 30000 & 0xFF;
        break;
    }
    return bytes;
}

struct Fixture {
    Fixture()
    {
        const char* display = std::getenv("DISPLAY");
        if (!display || !*display) setenv("SDL_VIDEODRIVER", "offscreen", 1);
        EnablePlatformErrorBoxes(false);
        RegisterFrameworkWindowClass(nullptr);
        m_dir = test::FreshFolder();
        m_session = std::make_unique<test::StoreSession>((m_dir / "bench.tvx").string(), OM_CREATE_ALWAYS);
        m_image = m_session->Root();
        {
            ModelTransaction txn;
            uint32_t seed = 1;
            m_image->SetRootNode(Build(1, seed));
            m_image->SetHeight(kHeight);
            m_empty = NewTilvex();
            AddGcRoot(m_empty->AsObject());
            m_undecodable = NewTilvex();
            AddGcRoot(m_undecodable->AsObject());
            TilvexNode* root = NewTilvexNode();
            xvector<uint8_t> bytes = HugeHeaderBytes();
            root->TakeJpegBytes(bytes);
            m_undecodable->SetRootNode(root);
            m_undecodable->SetHeight(1);
        }
        m_pool = CreateThreadPool(4);
        m_executer = new CountingExecuter(m_pool->CreateTaskExecuter());
        StartTileDecoding(m_executer);
    }
    ~Fixture()
    {
        StopTileDecoding();
        delete m_pool;
        m_session.reset();
        std::filesystem::remove_all(m_dir);
    }
    TilvexWnd* Open(Tilvex* image)
    {
        ModelTransaction txn;
        auto* w = new TilvexWnd(image, kImage);
        OpenViewerWindow(w, Rect2i(0, 0, 1280, 1024));
        return w;
    }
    static void Paint(TilvexWnd* w) { SendMessageW(w->m_hWnd, WM_PAINT, 0, 0); }
    static void Close(TilvexWnd* w)
    {
        DestroyWindow(w->m_hWnd);
        ResetMessageLoop();
    }
    // Paints until a paint asks for no decode: every visible tile is then at full detail.
    void PaintUntilFullDetail(TilvexWnd* w)
    {
        for (;;) {
            const int64_t before = m_executer->m_added.load();
            Paint(w);
            if (m_executer->m_added.load() == before) return;
            m_executer->WaitForAllTasks();
        }
    }

    std::filesystem::path m_dir;
    std::unique_ptr<test::StoreSession> m_session;
    Tilvex* m_image = nullptr;
    Tilvex* m_empty = nullptr;
    Tilvex* m_undecodable = nullptr;
    IThreadPool* m_pool = nullptr;
    CountingExecuter* m_executer = nullptr; // owned by the tile decoding
};

Fixture& TheFixture()
{
    static Fixture f;
    return f;
}

// The full-detail view whose top-left tile is (col, row) of the 32 x 32.
Rect2i FullDetailView(int32_t col, int32_t row)
{
    return Rect2i(-col * kTileSize, -row * kTileSize, -col * kTileSize + kImage, -row * kTileSize + kImage);
}

// Frames of one image, drawn over and over.
void BM_Frame(benchmark::State& state, Tilvex* Fixture::*image)
{
    Fixture& f = TheFixture();
    TilvexWnd* w = f.Open(f.*image);
    Fixture::Paint(w);
    for (auto _ : state) Fixture::Paint(w);
    Fixture::Close(w);
}
BENCHMARK_CAPTURE(BM_Frame, Empty_1280x1024, &Fixture::m_empty)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Frame, UndecodableRoot_1280x1024, &Fixture::m_undecodable)->Unit(benchmark::kMillisecond);

void BM_WarmFrame_1280x1024(benchmark::State& state)
{
    Fixture& f = TheFixture();
    TilvexWnd* w = f.Open(f.m_image);
    w->SetViewRect(FullDetailView(0, 0));
    f.PaintUntilFullDetail(w);
    for (auto _ : state) Fixture::Paint(w);
    state.counters["uploads"] = double(w->GetNumUploads());
    Fixture::Close(w);
}
BENCHMARK(BM_WarmFrame_1280x1024)->Unit(benchmark::kMillisecond);

void BM_JumpToFullDetail_1280x1024(benchmark::State& state)
{
    Fixture& f = TheFixture();
    TilvexWnd* w = f.Open(f.m_image);
    // Views never seen before: 6 x 8 tiles each, stepping through the image.
    int32_t next = 1;
    for (auto _ : state) {
        const int32_t col = (next % 4) * 6, row = (next / 4 % 4) * 8 % 25;
        ++next;
        w->SetViewRect(FullDetailView(col, row));
        f.PaintUntilFullDetail(w);
    }
    Fixture::Close(w);
}
// 15 jumps cover distinct views of the 32 x 32 tiles once each.
BENCHMARK(BM_JumpToFullDetail_1280x1024)->Unit(benchmark::kMillisecond)->Iterations(15);

} // namespace

BENCHMARK_MAIN();
