#include "Tilvex/Model/TileGeometry.h"
#include "vnUtils/TextWriter.h"

namespace vorn {

void PyramidHeightException::Write(TextWriter& w) const
{
    w << "Pyramid height " << m_height << " is outside " << kMinPyramidHeight << ".." << kMaxPyramidHeight;
}

void CheckPyramidHeight(int64_t height)
{
    if (height < kMinPyramidHeight || height > kMaxPyramidHeight) throw PyramidHeightException(height);
}

int64_t NodeSideInPixels(int32_t height, int32_t level)
{
    CheckPyramidHeight(height);
    if (level < 1 || level > height) throw ProgrammingErrorException(xstring("pyramid level out of range"));
    return int64_t(kTileSize) << (height - level);
}

int64_t NodesAtDepth(int32_t n)
{
    if (n < 0 || n > kMaxPyramidHeight) throw ProgrammingErrorException(xstring("pyramid depth out of range"));
    return int64_t(1) << (2 * n);
}

int64_t TotalTilesOfPyramid(int32_t height)
{
    CheckPyramidHeight(height);
    return (NodesAtDepth(height) - 1) / 3;
}

Rect2i Quadrant(const Rect2i& r, int32_t col, int32_t row)
{
    const int64_t w = int64_t(r.x2) - r.x1;
    const int64_t h = int64_t(r.y2) - r.y1;
    return Rect2i(int32_t(r.x1 + w * col / 2), int32_t(r.y1 + h * row / 2), int32_t(r.x1 + (col + 1) * w / 2),
                  int32_t(r.y1 + (row + 1) * h / 2));
}

Rect2d UpwardQuadrant(const Rect2d& r, int32_t col, int32_t row)
{
    const double w = r.x2 - r.x1;
    const double h = r.y2 - r.y1;
    const double x1 = r.x1 + w * col * 0.5;
    const double x2 = r.x1 + w * (col + 1) * 0.5;
    const double yMid = r.y1 + h * 0.5;
    return row == 0 ? Rect2d(x1, yMid, x2, r.y2) : Rect2d(x1, r.y1, x2, yMid);
}

void CheckChildIndex(int32_t col, int32_t row)
{
    if (col < 0 || col > 1 || row < 0 || row > 1) throw ProgrammingErrorException(xstring("child index out of range"));
}

} // namespace vorn
