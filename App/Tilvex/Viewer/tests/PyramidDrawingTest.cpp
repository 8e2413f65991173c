// The viewer window drawing stores on a real display (Xvfb) or SDL's offscreen driver,
// with the frame read back after each paint: the root standing in for children whose
// decodes are held, the children's own tiles after, outlines, black beyond the image,
// no upload on a repeated paint, tiles that cannot be decoded, the clip, the width at
// which drawing stops descending, and tiles with structure at three levels.
#include "ViewerTestSupport.h"
#include "vnWindows/PixelProjection.h"
#include "vnWindows/WindowCalls.h"
#include <stdexcept>

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
        SetTileDecodeTrigger(nullptr);
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
    StartTileDecoding(pool->CreateTaskExecuter());
    ReadbackWnd* w = OpenReadbackWindow(t, 512);
    PumpMessages(30);
    TileDecodeExecuter->WaitForAllTasks();
    PumpMessages(30);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(Near(w->At(kQ[i][0], kQ[i][1]), kChildColours[i])) << i;
    CloseWindow(w);
    StopTileDecoding();
    delete pool;
}

TEST_F(PyramidDrawing, AViewAtMost256WideDrawsTheRootAlone)
{
    HoldingExecuter held;
    ScopedDecodeExecuter use(&held);
    Tilvex* t = m_session->Root();
    BuildTwoLevelPyramid(t);
    {
        ModelTransaction txn; // the children are ready to be drawn
        for (int i = 0; i < 4; ++i) t->GetRootNode()->GetChild(i % 2, i / 2)->GetDib();
    }
    ReadbackWnd* w = OpenReadbackWindow(t, 512);
    w->SetViewRect(Rect2i(100, 100, 356, 356));
    PumpMessages(30);
    for (int x : {150, 300})
        for (int y : {150, 300}) EXPECT_TRUE(Near(w->At(x, y), kRootColour)) << x << "," << y;
    EXPECT_EQ(w->GetNumUploads(), 1);
    EXPECT_EQ(held.GetNumPendingTasks(), 0);

    // One pixel wider: the children are drawn.
    w->SetViewRect(Rect2i(100, 100, 357, 357));
    PumpMessages(30);
    EXPECT_TRUE(Near(w->At(150, 150), kChildColours[0]));
    EXPECT_TRUE(Near(w->At(300, 300), kChildColours[3]));
    CloseWindow(w);
}

// Decoded pixels are held only by tiles in view: a tile that leaves the view gives its
// bitmap back and is decoded again when it returns.
TEST_F(PyramidDrawing, TilesThatLeaveTheViewGiveBackTheirPixels)
{
    HoldingExecuter held;
    ScopedDecodeExecuter use(&held);
    Tilvex* t = m_session->Root();
    BuildTwoLevelPyramid(t);
    ReadbackWnd* w = OpenReadbackWindow(t, 512);
    PumpMessages(30);
    held.Release();
    PumpMessages(30);
    ASSERT_TRUE(Near(w->At(kQ[3][0], kQ[3][1]), kChildColours[3]));

    // Children 700 wide: only child 0 lies in the 700 x 500 client.
    w->SetViewRect(Rect2i(0, 0, 1400, 1400));
    PumpMessages(30);
    EXPECT_TRUE(Near(w->At(350, 250), kChildColours[0]));
    {
        ModelTransaction txn;
        TilvexNode* root = t->GetRootNode();
        EXPECT_EQ(root->GetChild(0, 0)->GetDecodeState(), TDS_DECODED);
        for (int i = 1; i < 4; ++i) {
            TilvexNode* c = root->GetChild(i % 2, i / 2);
            EXPECT_EQ(c->GetDecodeState(), TDS_STALE) << i;
            EXPECT_TRUE(c->m_dib.IsEmpty()) << i;
        }
    }

    // Back in view: decoded again, drawn in place.
    w->SetViewRect(Rect2i(25, 25, 475, 475));
    PumpMessages(30);
    EXPECT_EQ(held.GetNumPendingTasks(), 3);
    held.Release();
    PumpMessages(30);
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(Near(w->At(kQ[i][0], kQ[i][1]), kChildColours[i])) << i << " " << std::hex << w->At(kQ[i][0], kQ[i][1]);
    CloseWindow(w);
}

// A failure from outside the framework while drawing (the decode trigger standing for an
// allocation that fails) is reported and closes the window; the process goes on.
TEST_F(PyramidDrawing, ALibraryExceptionWhileDrawingClosesTheWindow)
{
    SetTileDecodeTrigger([](TilvexNode*) { throw std::runtime_error("no memory for the tile"); });
    Tilvex* t = m_session->Root();
    BuildTwoLevelPyramid(t);
    OpenReadbackWindow(t, 512);
    PumpMessages(30);
    EXPECT_TRUE(GetPlatformWindows().empty());
}

// A viewer window that draws the image through its reflected-style entry with an update
// rectangle of its own, read back after each paint.
class ClippedWnd : public ReadbackWnd {
public:
    class Drawing final : public DGDepNode {
    public:
        explicit Drawing(ClippedWnd* w) : m_w(w) {}
        void VisitObjects(IObjectVisitor&) override {}
        bool Recompute() override
        {
            m_w->m_image->GLDraw(m_w->AsViewer(), m_w->m_viewRect, m_w->m_update);
            return true;
        }
        void OnInvalidate() override
        {
            if (!m_w->m_inDrawScene) vnWIN32::InvalidateRect(m_w);
        }
        ClippedWnd* m_w;
    };
    using ReadbackWnd::ReadbackWnd;
    void DrawScene() override
    {
        {
            ModelTransaction txn;
            GLSetPixelProjection(Rect2i(0, 0, m_clientWidth, m_clientHeight));
            glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
            glClear(GL_COLOR_BUFFER_BIT);
            m_inDrawScene = true;
            m_drawing.Invalidate(true);
            m_inDrawScene = false;
            m_drawing.EvaluateIfNeeded();
        }
        ReadBack();
    }
    Rect2i m_update;
    Drawing m_drawing{this};
};

TEST_F(PyramidDrawing, QuadrantsOutsideTheUpdateRectangleAreNeitherDrawnNorDecoded)
{
    HoldingExecuter held;
    ScopedDecodeExecuter use(&held);
    Tilvex* t = m_session->Root();
    BuildTwoLevelPyramid(t);
    ClippedWnd* w = OpenReadbackWindow<ClippedWnd>(t, 512);
    {
        ModelTransaction txn;
        ActivateAgent(w->m_drawing);
    }
    w->m_update = Rect2i(25, 25, 250, 250); // child 0's square of the view (25, 25, 475, 475)
    {
        ModelTransaction txn;
        w->m_drawing.Invalidate(true);
    }
    PumpMessages(30);
    EXPECT_TRUE(Near(w->At(kQ[0][0], kQ[0][1]), kRootColour));
    for (int i = 1; i < 4; ++i) EXPECT_EQ(w->At(kQ[i][0], kQ[i][1]), 0u) << i;
    EXPECT_EQ(held.GetNumPendingTasks(), 1);
    {
        ModelTransaction txn;
        TilvexNode* root = t->GetRootNode();
        EXPECT_EQ(root->GetChild(0, 0)->GetDecodeState(), TDS_DECODING);
        for (int i = 1; i < 4; ++i) EXPECT_EQ(root->GetChild(i % 2, i / 2)->GetDecodeState(), TDS_STALE) << i;
    }
    const int paints = w->m_paints;
    held.Release(); // the drawing is told, and asks for a repaint
    PumpMessages(30);
    EXPECT_GT(w->m_paints, paints);
    EXPECT_TRUE(Near(w->At(kQ[0][0], kQ[0][1]), kChildColours[0])) << std::hex << w->At(kQ[0][0], kQ[0][1]);
    for (int i = 1; i < 4; ++i) EXPECT_EQ(w->At(kQ[i][0], kQ[i][1]), 0u) << i;
    {
        ModelTransaction txn;
        DeactivateAgent(w->m_drawing);
    }
    CloseWindow(w);
}

// Tiles of 4 x 4 blocks of 64 pixels: red grows with the block's column, green with its
// row, and blue names the tile (0 the root, 1..4 its children, 5..20 the grandchildren).
uint32_t BlockColour(int tile, int bx, int by)
{
    return uint32_t(30 + 65 * bx) << 16 | uint32_t(30 + 65 * by) << 8 | uint32_t(8 + 12 * tile);
}

TilvexNode* StructuredNode(int tile)
{
    ResDIB dib;
    dib.Create(24, kTileSize, kTileSize);
    for (int32_t y = 0; y < kTileSize; ++y) {
        uint8_t* row = dib.GetImageRow(y); // rows from the top
        for (int32_t x = 0; x < kTileSize; ++x) {
            const uint32_t c = BlockColour(tile, x / 64, y / 64);
            row[3 * x] = uint8_t(c);
            row[3 * x + 1] = uint8_t(c >> 8);
            row[3 * x + 2] = uint8_t(c >> 16);
        }
    }
    JpegImage jpeg;
    EncodeJpegImage(dib, jpeg);
    TilvexNode* n = NewTilvexNode();
    n->TakeJpegBytes(jpeg.m_bytes);
    return n;
}

// The colour expected at client pixel (x, y) of a 1024-pixel view at (0, 0) when the
// finest decoded tiles are those of level (1 root .. 3 grandchildren).
uint32_t ExpectedAt(int x, int y, int level)
{
    const int size = 1024 >> (level - 1);
    const int col = x / size, row = y / size;
    int tile = 0;
    if (level == 2) tile = 1 + col + 2 * row;
    if (level == 3) tile = 5 + 4 * (col / 2 + 2 * (row / 2)) + (col % 2 + 2 * (row % 2));
    return BlockColour(tile, (x % size) * 4 / size, (y % size) * 4 / size);
}

// A pyramid of height 3 of structured tiles; returns the root's children.
std::vector<TilvexNode*> BuildStructuredPyramid(Tilvex* t)
{
    std::vector<TilvexNode*> children;
    ModelTransaction txn;
    TilvexNode* root = StructuredNode(0);
    t->SetRootNode(root);
    for (int c = 0; c < 4; ++c) {
        TilvexNode* child = StructuredNode(1 + c);
        root->SetChild(c % 2, c / 2, child);
        children.push_back(child);
        for (int g = 0; g < 4; ++g) child->SetChild(g % 2, g / 2, StructuredNode(5 + 4 * c + g));
    }
    t->SetHeight(3);
    return children;
}

// Wrong blocks of the 16 x 16 blocks of a 1024-pixel frame, the first few reported.
int WrongBlocks(const ReadbackWnd& w, int level)
{
    int wrong = 0;
    for (int y = 32; y < 1024; y += 64)
        for (int x = 32; x < 1024; x += 64)
            if (!Near(w.At(x, y), ExpectedAt(x, y, level)) && ++wrong <= 3)
                ADD_FAILURE() << "level " << level << " at " << x << "," << y << ": " << std::hex << w.At(x, y)
                              << " for " << ExpectedAt(x, y, level);
    return wrong;
}

TEST_F(PyramidDrawing, StructuredTilesAreDrawnTheRightWayUpAndInPlaceAtEveryLevel)
{
    HoldingExecuter held;
    ScopedDecodeExecuter use(&held);
    Tilvex* t = m_session->Root();
    const std::vector<TilvexNode*> children = BuildStructuredPyramid(t);
    ReadbackWnd* w = OpenReadbackWindow(t, 1024, Rect2i(0, 0, 1024, 1024));
    w->SetViewRect(Rect2i(0, 0, 1024, 1024));
    PumpMessages(30);
    ASSERT_EQ(w->m_w, 1024);
    ASSERT_EQ(w->m_h, 1024);
    // Nothing but the root decoded: it stands in for both levels below.
    EXPECT_EQ(held.GetNumPendingTasks(), 20);
    EXPECT_EQ(WrongBlocks(*w, 1), 0);
    // The children decoded: each stands in for its four children.
    for (TilvexNode* c : children) RunTileDecode(c);
    PumpMessages(30);
    EXPECT_EQ(WrongBlocks(*w, 2), 0);
    held.Release();
    PumpMessages(30);
    EXPECT_EQ(WrongBlocks(*w, 3), 0);
    CloseWindow(w);
}

// Keeps only the first frame it drew.
class FirstFrameWnd : public ReadbackWnd {
public:
    using ReadbackWnd::ReadbackWnd;
    void DrawScene() override
    {
        TilvexWnd::DrawScene();
        if (m_paints == 0) ReadBack();
    }
};

TEST_F(PyramidDrawing, ChildrenNotYetInMemoryAreDrawnFromTheRootsMatchingQuarters)
{
    {
        StoreSession s((m_dir / "absent.tvx").string(), OM_CREATE_ALWAYS);
        BuildStructuredPyramid(s.Root());
    }
    HoldingExecuter held;
    ScopedDecodeExecuter use(&held);
    StoreSession s((m_dir / "absent.tvx").string(), OM_OPEN_ALWAYS);
    FirstFrameWnd* w = OpenReadbackWindow<FirstFrameWnd>(s.Root(), 1024, Rect2i(0, 0, 1024, 1024));
    w->SetViewRect(Rect2i(0, 0, 1024, 1024)); // the first paint is of this view
    PumpMessages(30);
    ASSERT_EQ(w->m_w, 1024);
    EXPECT_EQ(WrongBlocks(*w, 1), 0);
    CloseWindow(w);
    held.Release(); // while the space is open
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
        EXPECT_EQ(c->GetDecodeState(), TDS_STALE); // nothing observes it: its pixels are not kept
    }
    EXPECT_EQ(PendingTaskList::Get(), nullptr);
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace vorn::test
