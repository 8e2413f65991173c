// The viewer window drawing stores on a real display (Xvfb) or SDL's offscreen driver,
// with the frame read back after each paint: the root standing in for children whose
// decodes are held, the children's own tiles after, outlines, black beyond the image,
// no upload on a repeated paint, and tiles that cannot be decoded.
#include "ViewerTestSupport.h"

namespace vorn::test {
namespace {

class PyramidDrawing : public ::testing::Test {
protected:
    void SetUp() override
    {
        StartTestWindowSystem();
        m_dir = FreshFolder();
        m_session = std::make_unique<StoreSession>((m_dir / "draw.tvx").string(), OM_CREATE_ALWAYS);
    }
    void TearDown() override
    {
        TileDecodeExecuter = nullptr;
        m_session.reset();
        DestroyLeftoverWindows();
        std::filesystem::remove_all(m_dir);
    }
    std::filesystem::path m_dir;
    std::unique_ptr<StoreSession> m_session;
};

// The view (25, 25, 475, 475) of a 700 x 500 client: children are 225 wide.
constexpr int kQ[4][2] = {{137, 137}, {362, 137}, {137, 362}, {362, 362}};

TEST_F(PyramidDrawing, RootStandsInUntilChildrenAreDecoded)
{
    HoldingExecuter held;
    ScopedDecodeExecuter use(&held);
    Tilvex* t = m_session->Root();
    BuildTwoLevelPyramid(t);
    ReadbackWnd* w = OpenReadbackWindow(t, 512);
    PumpMessages(30);
    ASSERT_GT(w->m_paints, 0);
    ASSERT_EQ(w->m_w, 700);
    for (auto& p : kQ) EXPECT_TRUE(Near(w->At(p[0], p[1]), kRootColour)) << std::hex << w->At(p[0], p[1]);
    EXPECT_EQ(w->At(10, 10), 0u);   // black beyond the image
    EXPECT_EQ(w->At(480, 100), 0u);
    EXPECT_EQ(held.GetNumPendingTasks(), 4); // each child queued once, however often drawn
    ASSERT_NE(PendingTaskList::Get(), nullptr);
    EXPECT_EQ(PendingTaskList::Get()->Size(), 4u);
    w->InvalidateDisplay();
    PumpMessages(30);
    EXPECT_EQ(held.GetNumPendingTasks(), 4);

    const int paints = w->m_paints;
    held.Release(); // publishes: the agent asks for a repaint
    EXPECT_EQ(PendingTaskList::Get()->Size(), 0u);
    PumpMessages(30);
    EXPECT_GT(w->m_paints, paints);
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(Near(w->At(kQ[i][0], kQ[i][1]), kChildColours[i])) << i << " " << std::hex << w->At(kQ[i][0], kQ[i][1]);

    // A repaint uploads nothing again.
    const int64_t uploads = w->GetNumUploads();
    EXPECT_EQ(uploads, 5);
    w->InvalidateDisplay();
    PumpMessages(30);
    EXPECT_EQ(w->GetNumUploads(), uploads);
    CloseWindow(w);
}

TEST_F(PyramidDrawing, OutlinesLieOnePixelInsideEachTile)
{
    HoldingExecuter held;
    ScopedDecodeExecuter use(&held);
    Tilvex* t = m_session->Root();
    BuildTwoLevelPyramid(t);
    ReadbackWnd* w = OpenReadbackWindow(t, 512);
    PumpMessages(30);
    held.Release();
    WindowsKeyEvent k;
    k.keyEvent = WND_KEY_CHAR;
    k.vkeyOrChar = 'o';
    w->OnKey(k);
    PumpMessages(30);
    const uint32_t yellow = 0xFFFF00;
    // The root's square (25..475) and child 0's (25..250, 25..250).
    EXPECT_EQ(w->At(474, 300), yellow);
    EXPECT_EQ(w->At(475, 300), 0u);
    EXPECT_EQ(w->At(300, 474), yellow);
    EXPECT_EQ(w->At(300, 25), yellow);
    EXPECT_EQ(w->At(25, 300), yellow);
    EXPECT_EQ(w->At(249, 100), yellow);
    EXPECT_EQ(w->At(100, 249), yellow);
    EXPECT_TRUE(Near(w->At(248, 100), kChildColours[0]));
    EXPECT_TRUE(Near(w->At(100, 248), kChildColours[0]));
    CloseWindow(w);
}

TEST_F(PyramidDrawing, UndecodableTileKeepsItsAncestorAndIsNotRetried)
{
    HoldingExecuter held;
    ScopedDecodeExecuter use(&held);
    Tilvex* t = m_session->Root();
    BuildTwoLevelPyramid(t, 3);
    ReadbackWnd* w = OpenReadbackWindow(t, 512);
    PumpMessages(30);
    held.Release();
    PumpMessages(30);
    EXPECT_TRUE(Near(w->At(kQ[3][0], kQ[3][1]), kRootColour));
    EXPECT_TRUE(Near(w->At(kQ[0][0], kQ[0][1]), kChildColours[0]));
    EXPECT_EQ(PendingTaskList::Get()->Size(), 0u);
    w->InvalidateDisplay();
    PumpMessages(30);
    EXPECT_EQ(held.GetNumPendingTasks(), 0); // never queued again
    {
        ModelTransaction txn;
        EXPECT_EQ(t->GetRootNode()->GetChild(1, 1)->GetDecodeState(), TDS_NO_IMAGE);
    }
    CloseWindow(w);
}

TEST_F(PyramidDrawing, RootWithoutImageDrawsBlack)
{
    Tilvex* t = m_session->Root();
    {
        ModelTransaction txn;
        t->SetRootNode(NewTilvexNode());
        t->SetHeight(1);
    }
    ReadbackWnd* w = OpenReadbackWindow(t, 256);
    PumpMessages(30);
    ASSERT_GT(w->m_paints, 0);
    EXPECT_EQ(w->At(100, 100), 0u);
    EXPECT_EQ(w->GetNumUploads(), 0);
    CloseWindow(w);
}

TEST_F(PyramidDrawing, DecodesOnThePoolWithoutAnExecuterStayUndecoded)
{
    Tilvex* t = m_session->Root();
    BuildTwoLevelPyramid(t);
    {
        // No executer: drawing observes the children but nothing is queued.
        ReadbackWnd* w = OpenReadbackWindow(t, 512);
        PumpMessages(30);
        ModelTransaction txn;
        EXPECT_EQ(t->GetRootNode()->GetChild(0, 0)->GetDecodeState(), TDS_STALE);
        CloseWindow(w);
    }
    IThreadPool* pool = CreateThreadPool(4);
    ITaskExecuter* executer = pool->CreateTaskExecuter();
    TileDecodeExecuter = executer;
    ReadbackWnd* w = OpenReadbackWindow(t, 512);
    PumpMessages(30);
    executer->WaitForAllTasks();
    PumpMessages(30);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(Near(w->At(kQ[i][0], kQ[i][1]), kChildColours[i])) << i;
    CloseWindow(w);
    TileDecodeExecuter = nullptr;
    delete executer;
    delete pool;
}

// Collects between WM_DESTROY and WM_NCDESTROY, when the agent no longer holds it.
class CollectingWnd : public TilvexWnd {
public:
    CollectingWnd(Tilvex* t, bool* reached) : TilvexWnd(t, 512), m_reached(reached) {}
    void OnDestroy() override
    {
        TilvexWnd::OnDestroy();
        SynchronousGc();
        SynchronousGc();
    }
    void OnNcDestroy() override
    {
        *m_reached = m_marker == 0x7117;
        TilvexWnd::OnNcDestroy();
    }
    bool* m_reached;
    int m_marker = 0x7117;
};

TEST_F(PyramidDrawing, TheWindowObjectOutlivesACollectionBeforeItsLastMessage)
{
    Tilvex* t = m_session->Root();
    BuildTwoLevelPyramid(t);
    bool reached = false;
    CollectingWnd* w = nullptr;
    {
        ModelTransaction txn;
        w = new CollectingWnd(t, &reached);
        ASSERT_TRUE(OpenViewerWindow(w));
    }
    PumpMessages(30);
    CloseWindow(w);
    EXPECT_TRUE(reached);
}

TEST(PendingTaskListTest, ItsPointerGoesWithItsSpace)
{
    HoldingExecuter held;
    ScopedDecodeExecuter use(&held);
    const auto dir = FreshFolder();
    {
        StoreSession s((dir / "list.tvx").string(), OM_CREATE_ALWAYS);
        Tilvex* t = s.Root();
        BuildTwoLevelPyramid(t);
        ModelTransaction txn;
        TilvexNode* c = t->GetRootNode()->GetChild(0, 0);
        TriggerTileDecode(c);
        TriggerTileDecode(c);
        EXPECT_EQ(c->GetDecodeState(), TDS_DECODING);
        EXPECT_EQ(held.GetNumPendingTasks(), 1);
        ASSERT_NE(PendingTaskList::Get(), nullptr);
        EXPECT_TRUE(PendingTaskList::Get()->Contains(c));
        held.Release();
        EXPECT_FALSE(PendingTaskList::Get()->Contains(c));
        EXPECT_EQ(c->GetDecodeState(), TDS_DECODED);
    }
    EXPECT_EQ(PendingTaskList::Get(), nullptr);
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace vorn::test
