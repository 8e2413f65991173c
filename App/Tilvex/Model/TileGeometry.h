// The arithmetic of a tile pyramid. A pyramid of height H has levels 1 (the root) to
// H; a node at level L covers a square of 256 x 2^(H - L) pixels and has up to four
// children, indexed col + 2 x row (row 0 on top, col 0 on the left). Heights are
// 1..30; every size and count here is formed in 64 bits, so no height in range can
// overflow, and a height outside it is refused with a PyramidHeightException.
#pragma once
#include "vnUtils/Exceptions.h"
#include "vnUtils/Geometry.h"
#include <cstdint>

namespace vorn {

constexpr int32_t kTileSize = 256;
constexpr int32_t kTileBitsPerPixel = 24;
constexpr int32_t kMinPyramidHeight = 1;
constexpr int32_t kMaxPyramidHeight = 30;

// "Pyramid height <h> is outside 1..30".
class PyramidHeightException : public IException {
public:
    explicit PyramidHeightException(int64_t height) : m_height(height) {}
    void Write(TextWriter& w) const override;
    int64_t GetHeight() const { return m_height; }
private:
    int64_t m_height;
};

// Throws PyramidHeightException unless 1 <= height <= 30.
void CheckPyramidHeight(int64_t height);

// The side in pixels of a node at level (1..height) of a pyramid of height.
int64_t NodeSideInPixels(int32_t height, int32_t level);
// 4^n for 0 <= n <= 30: the nodes at depth n below one node of a full tree.
int64_t NodesAtDepth(int32_t n);
// (4^height - 1) / 3: the nodes of a complete pyramid.
int64_t TotalTilesOfPyramid(int32_t height);

// The (col, row) quadrant of r by integer halving: x1 + (x2 - x1) x col / 2, ...;
// products are formed in 64 bits and divided with truncation toward zero, so the
// quadrants of an odd size differ by one pixel and share their edges exactly.
Rect2i Quadrant(const Rect2i& r, int32_t col, int32_t row);

// The (col, row) half-by-half of a region whose y grows upwards: row 0 is the upper
// half (larger y), row 1 the lower one.
Rect2d UpwardQuadrant(const Rect2d& r, int32_t col, int32_t row);

// Throws ProgrammingErrorException unless col and row are 0 or 1.
void CheckChildIndex(int32_t col, int32_t row);

} // namespace vorn
