// Keys of the pyramid's tiles by position: one 64-bit word per tile, its column in the
// high half and its row in the low half (both counted in tiles of the tile's level, from
// the montage's top-left corner). The builder's bottom-tile bookkeeping is keyed this way.
// Also the bottom tiles that a montage entry overlaps, and the node at a key.
#pragma once
#include <cstdint>

namespace vorn {

class TilvexNode;
struct Montage;
struct MontageEntry;

inline uint64_t TileKey(int64_t col, int64_t row) { return (uint64_t(col) << 32) | uint32_t(row); }
inline int64_t TileKeyCol(uint64_t key) { return int64_t(key >> 32); }
inline int64_t TileKeyRow(uint64_t key) { return int64_t(uint32_t(key)); }

// The key of the tile one level up that holds the tile at key.
inline uint64_t ParentTileKey(uint64_t key) { return TileKey(TileKeyCol(key) / 2, TileKeyRow(key) / 2); }

// The index (col + 2 row) of the tile at key among its parent's children.
inline int32_t ChildIndexOfTileKey(uint64_t key) { return int32_t((key >> 32) & 1) + 2 * int32_t(key & 1); }

// The bottom tiles an entry overlaps, in tiles of the pyramid (whose top-left corner is
// the montage's).
struct TileRange {
    int64_t col1, row1, col2, row2; // inclusive
};
TileRange TilesOf(const MontageEntry& e, const Montage& m);

// An entry without pixels overlaps no tile.
bool IsEmptyEntry(const MontageEntry& e);

// The node at key, bits levels below node, through the children's references: a node
// that is not in memory is bound (read from the store). Null when there is none on the
// way. Inside a transaction.
TilvexNode* NodeAtTileKey(TilvexNode* node, uint64_t key, int32_t bits);

// The same through nodes in memory only: a reference whose node is not in memory ends
// the walk with null, and nothing is read from the store. Inside a transaction.
TilvexNode* ResidentNodeAtTileKey(TilvexNode* node, uint64_t key, int32_t bits);

} // namespace vorn
