// The bottom tiles still waiting for images while the builder paints, by position (see
// TileKey.h): how many of the montage entries that overlap each have not been handled
// yet, and the node once painted. A collected object of the space: the painted nodes
// it holds are strong references, so a tile keeps its decoded pixels until it is
// finished.
//
// Its lock is its own: taken inside the space lock (the collector visits under it, the
// painting workers change the tiles inside their transactions) or alone; no other lock
// is taken while it is held. The callers that change nodes do so inside a transaction.
#pragma once
#include "Tilvex/Tilvexgen/Scan.h"
#include "Tilvex/Tilvexgen/TileKey.h"
#include "vnReflection/IObject.h"
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vorn {

class TilvexNode;

class PendingTiles : public IObjectBaseMixin<PendingTiles> {
public:
    // The pending tiles of every entry of montage: registered with the thread's CSpace
    // and pushed on the thread's open object-stack frame, which holds them from then on.
    static PendingTiles* Create(const Montage& montage);

    void VisitObjects(IObjectVisitor& v);

    // Each tile's key, in no order.
    std::vector<uint64_t> Keys() const;

    // How many of the tiles of range still wait for their first image (no node yet).
    size_t CountUnpainted(const TileRange& range) const;

    // The tile at key has been painted into node (held from now on). Throws
    // ProgrammingErrorException for a tile that no entry overlaps.
    void SetPainted(uint64_t key, TilvexNode* node);

    // An entry over range has been handled: each of its tiles waits for one entry fewer.
    // A tile that waits for none any more is finished: a painted one goes to painted
    // (and stays held until Remove), one that no image painted is forgotten and goes to
    // unpainted.
    void EntryHandled(const TileRange& range, std::vector<std::pair<uint64_t, TilvexNode*>>& painted,
                      std::vector<uint64_t>& unpainted);

    // The finished tile at key is let go.
    void Remove(uint64_t key);

private:
    struct Tile {
        int32_t remaining = 0;
        AnyInterface node{nullptr, nullptr};
    };

    mutable std::mutex m_lock;
    std::unordered_map<uint64_t, Tile> m_tiles;
};

} // namespace vorn
