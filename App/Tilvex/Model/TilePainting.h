// Painting source pixels into the bottom tiles of a pyramid. A node's square R and the
// part U of the source to paint are both given in the source's own pixel coordinates;
// painting descends through the quadrants that meet U, creating missing children,
// down to the 256-wide bottom tiles, where U's pixels are copied into the decoded tile
// (a new tile starts black; what an earlier image painted stays where this one does
// not cover it). Every call is made inside a space transaction (ModelTransaction).
#pragma once
#include "Tilvex/Model/TilvexNode.h"
#include "vnUtils/Geometry.h"
#include <cstdint>

namespace vorn {

// Told of every bottom tile a paint touched. col and row are the tile's position
// in the painted pyramid (the square given to the outermost call), in tiles.
class ITilePaintSink {
public:
    virtual void OnTilePainted(TilvexNode* node, int32_t col, int32_t row) = 0;
    // May move a black 256 x 256 24-bit bitmap, made before the transaction, into dib
    // (empty) for a new tile and return true; false leaves the painting to create one.
    virtual bool TakeBlankTile(ResDIB& /*dib*/) { return false; }
protected:
    ~ITilePaintSink() = default;
};

// Paints rectangle U of src (24-bit) into node's subtree, R being node's square (its
// side a power of two times 256). Without a sink every painted tile is JPEG-encoded at
// once and marked dirty, its decoded tile kept; with one, the sink is told instead and
// the tile is left decoded and unencoded for the caller to finish.
void PaintTilvexNode(TilvexNode* node, const ResDIB& src, const Rect2i& R, const Rect2i& U,
                     ITilePaintSink* sink = nullptr);

} // namespace vorn
