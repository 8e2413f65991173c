// Tile arithmetic: quadrants of odd and extreme rectangles, sizes and counts of the
// deepest pyramids, and heights out of range refused.
#include "ModelTestSupport.h"
#include "Tilvex/Model/TileGeometry.h"
#include "Tilvex/Model/TilvexCalculator.h"
#include <climits>

namespace vorn::test {
namespace {

TEST(TileQuadrants, OddSizesSplitByIntegerHalvingAndTileTheRectangle)
{
    const Rect2i r(3, -7, 8, 0); // 5 wide, 7 high
    EXPECT_EQ(Quadrant(r, 0, 0), Rect2i(3, -7, 5, -4));
    EXPECT_EQ(Quadrant(r, 1, 0), Rect2i(5, -7, 8, -4));
    EXPECT_EQ(Quadrant(r, 0, 1), Rect2i(3, -4, 5, 0));
    EXPECT_EQ(Quadrant(r, 1, 1), Rect2i(5, -4, 8, 0));
    // Truncation toward zero: a 1-pixel square leaves three empty quadrants.
    EXPECT_TRUE(Quadrant(Rect2i(0, 0, 1, 1), 0, 0).IsEmpty());
    EXPECT_EQ(Quadrant(Rect2i(0, 0, 1, 1), 1, 1), Rect2i(0, 0, 1, 1));
    // The widest rectangle does not overflow.
    const Rect2i huge(INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX);
    EXPECT_EQ(Quadrant(huge, 0, 0), Rect2i(INT32_MIN, INT32_MIN, -1, -1));
    EXPECT_EQ(Quadrant(huge, 1, 1), Rect2i(-1, -1, INT32_MAX, INT32_MAX));
    // A node square of 2^31 pixels around the origin: its width overflows 32 bits.
    const int32_t side = int32_t(NodeSideInPixels(24, 2));
    EXPECT_EQ(side, 1 << 30);
    const Rect2i big(-side, -side, side, side);
    EXPECT_EQ(Quadrant(big, 1, 0), Rect2i(0, -side, side, 0));
    EXPECT_EQ(Quadrant(big, 0, 1), Rect2i(-side, 0, 0, side));

    const Rect2d up(0.0, 0.0, 2.0, 4.0);
    EXPECT_EQ(UpwardQuadrant(up, 0, 0), Rect2d(0.0, 2.0, 1.0, 4.0)); // row 0 is the upper half
    EXPECT_EQ(UpwardQuadrant(up, 1, 1), Rect2d(1.0, 0.0, 2.0, 2.0));
}

TEST(PyramidHeights, SizesAndCountsAre64BitAndHeightsOutside1To30AreRefused)
{
    EXPECT_EQ(NodeSideInPixels(1, 1), 256);
    EXPECT_EQ(NodeSideInPixels(30, 1), int64_t(256) << 29);
    EXPECT_EQ(TotalTilesOfPyramid(1), 1);
    EXPECT_EQ(TotalTilesOfPyramid(3), 21);
    EXPECT_EQ(TotalTilesOfPyramid(30), ((int64_t(1) << 60) - 1) / 3);
    EXPECT_EQ(NodesAtDepth(29), int64_t(1) << 58);
    for (int64_t h : {int64_t(0), int64_t(-1), int64_t(31), int64_t(1) << 40}) {
        EXPECT_THROW(CheckPyramidHeight(h), PyramidHeightException) << h;
        EXPECT_THROW(TotalTilesOfPyramid(int32_t(h)), PyramidHeightException) << h;
    }
    try {
        CheckPyramidHeight(31);
    } catch (const PyramidHeightException& e) {
        EXPECT_EQ(e.Describe(), "Pyramid height 31 is outside 1..30");
    }
    EXPECT_THROW(CheckChildIndex(2, 0), ProgrammingErrorException);
    EXPECT_THROW(CheckChildIndex(0, -1), ProgrammingErrorException);

    // The model's own entries refuse such heights before storing anything.
    Tilvex t;
    EXPECT_THROW(t.SetHeight(31), PyramidHeightException);
    EXPECT_THROW(t.SetHeight(0), PyramidHeightException);
    EXPECT_EQ(t.GetHeight(), 0);
    const Rect2d region(0, 0, 1, 1);
    EXPECT_THROW(CreateTilvexCalculator(&t, IImageTileCalculatorPtr{&t, nullptr}, &region, TilvexCalculatorSettings{31}),
                 PyramidHeightException);
}

} // namespace
} // namespace vorn::test
