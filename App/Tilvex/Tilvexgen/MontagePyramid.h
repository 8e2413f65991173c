// The builder's second phase: from a laid-out montage, paint the bottom tiles of the
// image's pyramid on two worker threads, then compute every level above them.
//
// A bottom tile that several images overlap stays decoded in memory, held by the
// painting task, until the last of those images has been painted (or has failed); it
// is then JPEG-encoded once. So no pixel is JPEG-coded twice, and the tile bytes do not
// depend on the order in which the workers take the images. A finished tile is let go
// by its parent once the writer has given it its OID, so the collector can evict it:
// the painted tiles do not pile up in memory however many photos there are.
//
// The caller has the image's space as the thread's current spaces.
#pragma once
#include "Tilvex/Model/Tilvex.h"
#include "Tilvex/Tilvexgen/Scan.h"
#include <cstdint>

namespace vorn {

class IThreadPool;

// A montage side above this many pixels ends the build.
constexpr int64_t kMaxMontageSide = int64_t(1) << 30;

// Prints the phase's messages, sets the height, paints the bottom tiles and computes
// the levels above. Failures of single images are reported and skipped; anything else
// (a failure in a pool task included) is thrown on the calling thread.
bool CalcTilvexFromMontage(Montage& montage, Tilvex* tilvex);

// The smallest rectangle holding every entry; with none, x1 = y1 = the largest int32
// and x2 = y2 = the smallest.
void ComputeMontageBoundingBox(Montage& montage);

// Prints the size line and returns the depth (TilvexDepthForSize of the box's width
// and height, taken modulo 2^32). Throws VornException for a side above
// kMaxMontageSide.
int32_t ComputeTilvexDepth(const Montage& montage);

// Paints every entry's image into the bottom tiles of a pyramid of depth d. With
// encodePool, finished tiles are encoded on its threads while the painting goes on
// (the caller keeps the pool until this returns), and each parent of bottom tiles is
// computed as soon as its last child is finished; without, the painting workers encode
// and no parent is computed. Returns the number of parents computed.
int64_t CalcBottomTiles(int32_t d, Montage& montage, Tilvex* tilvex, IThreadPool* encodePool = nullptr);

} // namespace vorn
