// Shared set-up of the viewer tests: the model's store session and the window tests'
// display, small pyramids of flat-coloured tiles, an executer that holds decodes until
// released, and a viewer window that reads its frame back after each paint.
#pragma once
#include "Tilvex/WindowLayer/tests/WindowTestSupport.h"
#include "Tilvex/Model/tests/ModelTestSupport.h"
#include "Tilvex/Viewer/TileDecoding.h"
#include "Tilvex/Viewer/TilvexWnd.h"
#include "vnWindows/OpenGL.h"
#include <mutex>

namespace vorn::test {

// Queues decodes and runs them only when released (on the releasing thread).
class HoldingExecuter : public ITaskExecuter {
public:
    void AddTask(IThreadPoolTask* task) override
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_tasks.push_back(task);
    }
    void WaitForAllTasks() override { Release(); }
    int32_t GetNumPendingTasks() override
    {
        std::lock_guard<std::mutex> g(m_lock);
        return int32_t(m_tasks.size());
    }
    void Release()
    {
        std::vector<IThreadPoolTask*> tasks;
        {
            std::lock_guard<std::mutex> g(m_lock);
            tasks.swap(m_tasks);
        }
        for (IThreadPoolTask* t : tasks) t->Run();
    }
private:
    std::mutex m_lock;
    std::vector<IThreadPoolTask*> m_tasks;
};

// Decodes observed tiles on e for a scope (which still owns e).
struct ScopedDecodeExecuter {
    explicit ScopedDecodeExecuter(ITaskExecuter* e) { StartTileDecoding(e); }
    ~ScopedDecodeExecuter()
    {
        SetTileDecodeTrigger(nullptr);
        TileDecodeExecuter = nullptr;
    }
};

constexpr uint32_t kRootColour = 0x808080;
constexpr uint32_t kChildColours[4] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF};

// A pyramid of height 2: a grey root with red, green, blue and white children (index
// col + 2 x row); a child of badChild (0..3) gets bytes that do not decode.
inline void BuildTwoLevelPyramid(Tilvex* t, int badChild = -1)
{
    ModelTransaction txn;
    TilvexNode* root = StaleNodeOfColour(kRootColour);
    t->SetRootNode(root);
    for (int i = 0; i < 4; ++i) {
        TilvexNode* c = StaleNodeOfColour(kChildColours[i]);
        if (i == badChild) {
            xvector<uint8_t> junk;
            for (int k = 0; k < 100; ++k) junk.push_back(uint8_t(k));
            c->TakeJpegBytes(junk);
        }
        root->SetChild(i % 2, i / 2, c);
    }
    t->SetHeight(2);
}

// A viewer window that keeps the last frame it drew.
class ReadbackWnd : public TilvexWnd {
public:
    using TilvexWnd::TilvexWnd;
    void DrawScene() override
    {
        TilvexWnd::DrawScene();
        ReadBack();
    }
    void ReadBack()
    {
        m_w = m_clientWidth;
        m_h = m_clientHeight;
        m_pixels.assign(size_t(m_w) * size_t(m_h) * 3, 0);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glReadPixels(0, 0, m_w, m_h, GL_RGB, GL_UNSIGNED_BYTE, m_pixels.data());
        ++m_paints;
    }
    // 0xRRGGBB of client pixel (x, y), y from the top.
    uint32_t At(int x, int y) const
    {
        const size_t i = (size_t(m_h - 1 - y) * size_t(m_w) + size_t(x)) * 3;
        return uint32_t(m_pixels[i]) << 16 | uint32_t(m_pixels[i + 1]) << 8 | m_pixels[i + 2];
    }
    int32_t m_w = 0, m_h = 0;
    int m_paints = 0;
    std::vector<uint8_t> m_pixels;
};

template <class W = ReadbackWnd>
W* OpenReadbackWindow(Tilvex* t, int32_t imageSize, const Rect2i& rect = Rect2i(100, 100, 800, 600))
{
    ModelTransaction txn;
    auto* w = new W(t, imageSize);
    EXPECT_TRUE(OpenViewerWindow(w, rect));
    return w;
}

inline void CloseWindow(TilvexWnd* w)
{
    DestroyWindow(w->m_hWnd);
    PumpMessages(20);
    ResetMessageLoop();
}

} // namespace vorn::test
