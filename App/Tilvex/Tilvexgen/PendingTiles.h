// The bottom tiles still waiting for images while the builder paints, by position (see
// TileKey.h): how many of the montage entries that overlap each have not been handled
// yet, and the node once painted. A collected object of the space: the painted nodes
// it holds are strong references, so a tile keeps its decoded pixels until it is
// finished. Changed inside space transactions.
#pragma once
#include "Tilvex/Tilvexgen/Scan.h"
#include "vnReflection/IObject.h"
#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace vorn {

// The bottom tiles an entry overlaps, in tiles of the pyramid.
struct TileRange {
    int64_t col1, row1, col2, row2; // inclusive
};

TileRange TilesOf(const MontageEntry& e, const Montage& m);

// An entry without pixels overlaps no tile.
bool IsEmptyEntry(const MontageEntry& e);

class PendingTiles : public IObjectBaseMixin<PendingTiles> {
public:
    struct Tile {
        int32_t remaining = 0;
        AnyInterface node{nullptr, nullptr};
    };

    void VisitObjects(IObjectVisitor& v);

    // Guards the map against the collector's visit. Taken inside the space lock (the
    // collector visits under it, the painting workers change the map inside their
    // transactions), or alone; no other lock is taken while it is held.
    std::mutex m_lock;
    std::unordered_map<uint64_t, Tile> m_tiles;
};

// The pending tiles of every entry of montage: registered with the thread's CSpace and
// pushed on the thread's open object-stack frame, which holds them from then on.
PendingTiles* CreatePendingTiles(const Montage& montage);

} // namespace vorn
