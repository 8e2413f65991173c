#include "Tilvex/Tilvexgen/PendingTiles.h"
#include "Tilvex/Model/TileGeometry.h"
#include "Tilvex/Tilvexgen/TileKey.h"
#include "vnObject/CSpace.h"
#include "vnObject/CSpaceStack.h"
#include "vnReflection/CoreModule.h"

namespace vorn {

TileRange TilesOf(const MontageEntry& e, const Montage& m)
{
    return TileRange{(int64_t(e.x1) - m.x1) / kTileSize, (int64_t(e.y1) - m.y1) / kTileSize,
                     (int64_t(e.x2) - 1 - m.x1) / kTileSize, (int64_t(e.y2) - 1 - m.y1) / kTileSize};
}

bool IsEmptyEntry(const MontageEntry& e) { return !(e.x1 < e.x2 && e.y1 < e.y2); }

void PendingTiles::VisitObjects(IObjectVisitor& v)
{
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& [key, tile] : m_tiles)
        if (tile.node.m_object) v.VisitStrong(tile.node);
}

PendingTiles* CreatePendingTiles(const Montage& montage)
{
    auto* pending = new PendingTiles();
    for (const MontageEntry& e : montage.entries) {
        if (IsEmptyEntry(e)) continue;
        const TileRange r = TilesOf(e, montage);
        for (int64_t row = r.row1; row <= r.row2; ++row)
            for (int64_t col = r.col1; col <= r.col2; ++col) ++pending->m_tiles[TileKey(col, row)].remaining;
    }
    CSpace* space = GetThreadCSpace();
    CSpaceLock lock(space);
    space->RegisterGcObject(pending->AsObject());
    CSpaceStack_Push(pending->AsObject());
    return pending;
}

} // namespace vorn
