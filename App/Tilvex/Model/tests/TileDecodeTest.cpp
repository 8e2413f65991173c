// A tile's decode in the model: synchronous decoding that gives up on bytes found
// undecodable until the bytes change, the decode trigger that a tile becoming observed
// calls, and the reflected drawing method of an image without root node and of one in a
// program that links no OpenGL library.
#include "ModelTestSupport.h"
#include "vnReflection/Registry.h"
#include <cstring>
#include <stdexcept>

namespace vorn::test {
namespace {

class TileDecode : public StoreTest {
protected:
    void TearDown() override
    {
        SetTileDecodeTrigger(nullptr);
        StoreTest::TearDown();
    }
};

TEST_F(TileDecode, BytesFoundUndecodableAreNotDecodedAgainUntilTheNodeTakesNewOnes)
{
    ModelTransaction txn;
    TilvexNode* n = NewTilvexNode();
    xvector<uint8_t> junk;
    for (uint8_t v : {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x11, 0x08}) junk.push_back(v);
    n->TakeJpegBytes(junk);
    EXPECT_TRUE(n->GetDib().IsEmpty());
    EXPECT_EQ(n->GetDecodeState(), TDS_NO_IMAGE);
    EXPECT_TRUE(n->HasImage());

    // Good bytes put in place behind the node's back are not looked at: the node does not
    // try its bytes again.
    n->m_jpeg.m_bytes = JpegOfColour(kTileSize, kTileSize, 0, 0, 200);
    EXPECT_TRUE(n->GetDib().IsEmpty());
    EXPECT_EQ(n->GetDecodeState(), TDS_NO_IMAGE);

    // New bytes taken by the node are decoded.
    xvector<uint8_t> good = JpegOfColour(kTileSize, kTileSize, 0, 0, 200);
    n->TakeJpegBytes(good);
    EXPECT_EQ(n->GetDecodeState(), TDS_STALE);
    ASSERT_TRUE(IsTileBitmap(n->GetDib()));
    EXPECT_TRUE(Near(CentreColour(n->m_dib), 0xC80000));
    EXPECT_EQ(n->GetDecodeState(), TDS_DECODED);
}

std::vector<TilvexNode*> g_triggered;
void RecordTrigger(TilvexNode* node) { g_triggered.push_back(node); }

TEST_F(TileDecode, ATileBecomingObservedCallsTheInstalledTriggerOnceUntilItIsObservedAnew)
{
    g_triggered.clear();
    ModelTransaction txn;
    TilvexNode* stale = StaleNodeOfColour(0x102030);
    TileReader reader;
    reader.m_tiles = {stale, stale};

    // Nothing installed (as in the builder): observing calls nothing.
    ActivateAgent(reader);
    reader.EvaluateIfNeeded();
    EXPECT_TRUE(stale->m_dibIndepNode.GetFlags() & DGBaseNode::DG_OBSERVED);
    DeactivateAgent(reader);
    EXPECT_FALSE(stale->m_dibIndepNode.GetFlags() & DGBaseNode::DG_OBSERVED);

    SetTileDecodeTrigger(&RecordTrigger);
    ActivateAgent(reader);
    reader.EvaluateIfNeeded(); // read twice in one evaluation
    EXPECT_EQ(g_triggered, std::vector<TilvexNode*>{stale});
    reader.Invalidate(true);
    reader.EvaluateIfNeeded(); // read again while still observed
    EXPECT_EQ(g_triggered.size(), 1u);

    // Observed anew after nothing observed it: the trigger is called again.
    DeactivateAgent(reader);
    ActivateAgent(reader);
    reader.EvaluateIfNeeded();
    EXPECT_EQ(g_triggered, (std::vector<TilvexNode*>{stale, stale}));
    DeactivateAgent(reader);
    // Neither the trigger nor observing changed the tile.
    EXPECT_EQ(stale->GetDecodeState(), TDS_STALE);
}

TEST_F(TileDecode, TheReflectedGLDrawFoundByNameDrawsNothingWithoutRootNode)
{
    TestModule();
    const ReflectedClass* tilvex = FindReflectedClass(SubString8("vorn::Tilvex"));
    ASSERT_NE(tilvex, nullptr);
    const ReflectedClassMethod* draw = nullptr;
    for (int32_t i = 0; i < tilvex->GetNumMethods(); ++i)
        if (std::strcmp(tilvex->GetMethod(i)->GetName(), "GLDraw") == 0) draw = tilvex->GetMethod(i);
    ASSERT_NE(draw, nullptr);

    Tilvex* t = m_session->Root();
    ModelTransaction txn;
    ITilvexViewerPtr view{nullptr, nullptr}; // never asked: there is nothing to draw
    Rect2i bd(0, 0, 512, 512), update(0, 0, 100, 100);
    void* args[] = {&view, &bd, &update};
    draw->m_address(t, nullptr, args);
    EXPECT_TRUE(t->m_root.IsNull());
}

TEST_F(TileDecode, DrawingARootTileWithoutAnOpenGLLibraryThrowsAClearError)
{
    // The model's tests, like the builder, link no window system and so no OpenGL.
    Tilvex* t = m_session->Root();
    ModelTransaction txn;
    t->SetRootNode(StaleNodeOfColour(0x405060));
    ITilvexViewerPtr view{nullptr, nullptr}; // never asked: drawing stops before the texture
    try {
        t->GLDraw(view, Rect2i(0, 0, 256, 256), Rect2i(0, 0, 256, 256));
        FAIL() << "drew without OpenGL";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "OpenGL is not available: this program is built without a window system");
    }
    EXPECT_EQ(t->GetRootNode()->GetDecodeState(), TDS_DECODED);
}

} // namespace
} // namespace vorn::test
