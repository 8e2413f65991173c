// Painting source pixels into the bottom tiles of a pyramid. A node's square R (bdRect)
// and the part U (updateRect) of the source to paint are both given in the source's
// own pixel coordinates; painting descends through the quadrants that meet U, creating
// missing children, down to the 256-wide bottom tiles, where U's pixels are copied into
// the decoded tile (a new tile starts black; what an earlier image painted stays where
// this one does not cover it). TilvexNode::SetImage paints; Tilvex::SetImage and
// SetImage2 paint a whole pyramid. Every call is made inside a space transaction
// (ModelTransaction).
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

} // namespace vorn
