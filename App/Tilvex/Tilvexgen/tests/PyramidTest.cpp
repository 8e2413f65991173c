// The levels above the bottom one computed in an object space without a store: the
// averaging tasks run on the pool's threads, children that have no OID yet keep the
// parent's references through a collection, and a child tile that cannot be decoded
// ends the computation with its error on the calling thread.
#include "Tilvex/Model/ModelTransaction.h"
#include "Tilvex/Model/PyramidComputation.h"
#include "Tilvex/Model/TilePainting.h"
#include "vnImage/Jpeg.h"
#include "vnObject/CSpace.h"
#include <gtest/gtest.h>

namespace vorn {
namespace {

// A space of its own as the thread's, without a collector thread.
class MemorySpace {
public:
    MemorySpace() : m_space(CreateCSpace2(false)), m_saved(GetThreadCSpace()) { SetThreadCSpace(m_space); }
    ~MemorySpace()
    {
        SetThreadCSpace(m_saved);
        m_space->Destroy();
    }
    CSpace* Get() const { return m_space; }
private:
    CSpace* m_space;
    CSpace* m_saved;
};

ResDIB TileOfColour(uint8_t b, uint8_t g, uint8_t r)
{
    ResDIB dib;
    dib.Create(24, 256, 256);
    for (int32_t y = 0; y < 256; ++y)
        for (int32_t x = 0; x < 256; ++x) {
            uint8_t* p = dib.GetImageRow(y) + 3 * x;
            p[0] = b;
            p[1] = g;
            p[2] = r;
        }
    return dib;
}

void GiveImage(TilvexNode* node, uint8_t b, uint8_t g, uint8_t r)
{
    JpegImage jpeg;
    EncodeJpegImage(TileOfColour(b, g, r), jpeg);
    node->TakeJpegBytes(jpeg.m_bytes);
}

bool Near(const uint8_t* p, int b, int g, int r)
{
    return std::abs(p[0] - b) <= 4 && std::abs(p[1] - g) <= 4 && std::abs(p[2] - r) <= 4;
}

// A new node as child (col, row) of parent; inside a transaction.
TilvexNode* NewChild(TilvexNode* parent, int32_t col, int32_t row)
{
    TilvexNode* child = NewTilvexNode();
    parent->SetChild(col, row, child);
    return child;
}

// A pyramid of the given height, a root of the space, with a root node; inside a
// transaction. Returns the root node.
TilvexNode* NewPyramid(MemorySpace& space, int32_t height, Tilvex*& t)
{
    t = NewTilvex();
    space.Get()->AddGcRoot(t->AsObject());
    TilvexNode* root = NewTilvexNode();
    t->SetRootNode(root);
    t->SetHeight(height);
    return root;
}

TEST(TilvexgenPyramidThreaded, ParentsKeepChildrenWithoutOidsAndDamagedTilesEndTheLevel)
{
    MemorySpace space;
    Tilvex* t = nullptr;
    TilvexNode* root = nullptr;
    {
        ModelTransaction txn;
        root = NewPyramid(space, 2, t);
        GiveImage(NewChild(root, 0, 0), 200, 0, 0);
        GiveImage(NewChild(root, 1, 1), 0, 0, 200);
    }
    EXPECT_EQ(t->CalcIntermediateTiles(), 1);
    space.Get()->SynchronousGc();
    {
        ModelTransaction txn;
        // Not yet persistent, so the parent's references are the only thing holding them.
        EXPECT_FALSE(root->m_children[0].GetCached().IsNull());
        EXPECT_FALSE(root->m_children[3].GetCached().IsNull());
        ASSERT_TRUE(root->GetChild(0, 0)->HasImage());
        ASSERT_TRUE(root->HasImage());
        EXPECT_EQ(root->GetDecodeState(), TDS_STALE);
        const ResDIB& dib = root->GetDib();
        ASSERT_TRUE(IsTileBitmap(dib));
        EXPECT_TRUE(Near(dib.GetImageRow(64) + 3 * 64, 200, 0, 0));
        EXPECT_TRUE(Near(dib.GetImageRow(192) + 3 * 192, 0, 0, 200));
        EXPECT_TRUE(Near(dib.GetImageRow(64) + 3 * 192, 0, 0, 0)); // no child on the top right
        EXPECT_TRUE(Near(dib.GetImageRow(192) + 3 * 64, 0, 0, 0));

        TilvexNode* damaged = NewTilvexNode();
        root->SetChild(1, 0, damaged);
        xvector<uint8_t> junk;
        for (uint8_t v : {0xFF, 0xD8, 0x01, 0x02, 0x03}) junk.push_back(v);
        damaged->TakeJpegBytes(junk);
    }
    EXPECT_THROW(t->CalcIntermediateTiles(), JpegException);
}

// Parents of the bottom tiles that a caller computed already keep their bytes and are
// counted; the others on that level, and every level above, are computed.
TEST(TilvexgenPyramidThreaded, ParentsComputedAlreadyAreKeptAndCounted)
{
    MemorySpace space;
    Tilvex* t = nullptr;
    TilvexNode* root = nullptr;
    TilvexNode* kept = nullptr;
    TilvexNode* other = nullptr;
    {
        ModelTransaction txn;
        root = NewPyramid(space, 3, t);
        kept = NewChild(root, 0, 0);
        other = NewChild(root, 1, 0);
        GiveImage(NewChild(kept, 0, 0), 200, 0, 0);
        GiveImage(NewChild(other, 0, 0), 0, 200, 0);
        GiveImage(kept, 0, 0, 200); // not what its child would give
    }
    xvector<uint8_t> keptBytes;
    {
        ModelTransaction txn;
        keptBytes = kept->m_jpeg.m_bytes;
    }
    EXPECT_EQ(t->CalcIntermediateTiles(nullptr, 1), 3);
    ModelTransaction txn;
    EXPECT_TRUE(kept->m_jpeg.m_bytes == keptBytes);
    ASSERT_TRUE(other->HasImage());
    EXPECT_TRUE(Near(other->GetDib().GetImageRow(64) + 3 * 64, 0, 200, 0));
    ASSERT_TRUE(root->HasImage());
    const ResDIB& dib = root->GetDib();
    EXPECT_TRUE(Near(dib.GetImageRow(64) + 3 * 64, 0, 0, 200));  // from the kept parent
    EXPECT_TRUE(Near(dib.GetImageRow(32) + 3 * 160, 0, 200, 0)); // from the computed one
}

TEST(TilvexgenPyramidThreaded, PaintingKeepsEarlierPixelsAndEncodesWithoutASink)
{
    MemorySpace space;
    Tilvex* t = NewTilvex();
    ModelTransaction txn;
    space.Get()->AddGcRoot(t->AsObject());
    // Two halves of one tile, painted one after the other through the model's method.
    const ResDIB left = TileOfColour(0, 200, 0);
    t->SetImage(left, Rect2i(0, 0, 256, 256), Rect2i(0, 0, 128, 256));
    const ResDIB right = TileOfColour(0, 0, 200);
    t->SetImage(right, Rect2i(0, 0, 256, 256), Rect2i(128, 0, 256, 256));
    TilvexNode* root = t->GetRootNode();
    ASSERT_NE(root, nullptr);
    EXPECT_TRUE(root->HasImage());
    EXPECT_EQ(root->GetDecodeState(), TDS_DECODED);
    EXPECT_TRUE(Near(root->m_dib.GetImageRow(100) + 3 * 10, 0, 200, 0));
    EXPECT_TRUE(Near(root->m_dib.GetImageRow(100) + 3 * 250, 0, 0, 200));
    ResDIB decoded;
    decoded.ReadJpeg(root->m_jpeg.m_bytes.data(), size_t(root->m_jpeg.m_bytes.size()));
    EXPECT_TRUE(Near(decoded.GetImageRow(100) + 3 * 10, 0, 200, 0));
    EXPECT_TRUE(Near(decoded.GetImageRow(100) + 3 * 250, 0, 0, 200));
}

TEST(TilvexgenPyramidThreaded, SetImage2CreatesTheFullTreeAndPaintsFromTheTopLeft)
{
    MemorySpace space;
    Tilvex* t = NewTilvex();
    {
        ModelTransaction txn;
        space.Get()->AddGcRoot(t->AsObject());
    }
    ResDIB bitmap = TileOfColour(0, 200, 0);
    ResDIB wide;
    wide.Create(24, 300, 200);
    ResDIB::CopyRect24(Point2i(0, 0), wide, bitmap, Rect2i(0, 0, 256, 200));
    ResDIB::CopyRect24(Point2i(256, 0), wide, bitmap, Rect2i(0, 0, 44, 200));
    t->SetImage2(wide);

    ModelTransaction txn;
    EXPECT_EQ(t->GetHeight(), 0); // left to the caller
    TilvexNode* root = t->GetRootNode();
    ASSERT_NE(root, nullptr);
    EXPECT_FALSE(root->HasImage());
    for (int32_t i = 0; i < 4; ++i) ASSERT_FALSE(root->m_children[i].IsNull()) << i;
    EXPECT_TRUE(root->GetChild(0, 0)->HasImage());
    EXPECT_TRUE(root->GetChild(1, 0)->HasImage());
    EXPECT_FALSE(root->GetChild(0, 1)->HasImage()); // below the bitmap
    const ResDIB& right = root->GetChild(1, 0)->GetDib();
    EXPECT_TRUE(Near(right.GetImageRow(100) + 3 * 20, 0, 200, 0));
    EXPECT_TRUE(Near(right.GetImageRow(100) + 3 * 60, 0, 0, 0));
}

// Every node of a tree of height 3 is made, each level under the one above it: the
// walk goes down into every child it makes, and no further than the height.
TEST(TilvexgenPyramidThreaded, CreateFullTreeMakesEveryNodeDownToTheHeight)
{
    MemorySpace space;
    Tilvex* t = NewTilvex();
    {
        ModelTransaction txn;
        space.Get()->AddGcRoot(t->AsObject());
    }
    t->CreateFullTree(3);

    ModelTransaction txn;
    TilvexNode* root = t->GetRootNode();
    ASSERT_NE(root, nullptr);
    int32_t grandchildren = 0;
    for (int32_t i = 0; i < 4; ++i) {
        TilvexNode* child = root->GetChild(i % 2, i / 2);
        ASSERT_NE(child, nullptr) << i;
        for (int32_t j = 0; j < 4; ++j) {
            TilvexNode* grandchild = child->GetChild(j % 2, j / 2);
            ASSERT_NE(grandchild, nullptr) << i << " " << j;
            ++grandchildren;
            for (const pref& c : grandchild->m_children) EXPECT_TRUE(c.IsNull());
        }
    }
    EXPECT_EQ(grandchildren, 16);
}

} // namespace
} // namespace vorn
