#include "Tilvex/Tilvexgen/TileKey.h"
#include "Tilvex/Model/TileGeometry.h"
#include "Tilvex/Model/TilvexNode.h"
#include "Tilvex/Tilvexgen/Scan.h"
#include "vnPersistStore/PSpace.h"

namespace vorn {

namespace {

// The node that child reference p stands for when it is in memory, else null.
TilvexNode* ResidentChild(pref& p)
{
    if (IPersistablePtr cached = p.GetCached(); !cached.IsNull()) return TilvexNode::FromPersistable(cached);
    PSpace* space = GetThreadPSpace();
    if (p.m_oid.IsNull() || !space) return nullptr;
    return TilvexNode::FromPersistable(space->BindObjectIfMemoryResident(p.m_oid));
}

template <typename Step>
TilvexNode* Walk(TilvexNode* node, uint64_t key, int32_t bits, Step step)
{
    const int64_t col = TileKeyCol(key), row = TileKeyRow(key);
    for (int32_t bit = bits - 1; node && bit >= 0; --bit)
        node = step(node, int32_t((col >> bit) & 1), int32_t((row >> bit) & 1));
    return node;
}

} // namespace

TileRange TilesOf(const MontageEntry& e, const Montage& m)
{
    return TileRange{(int64_t(e.x1) - m.x1) / kTileSize, (int64_t(e.y1) - m.y1) / kTileSize,
                     (int64_t(e.x2) - 1 - m.x1) / kTileSize, (int64_t(e.y2) - 1 - m.y1) / kTileSize};
}

bool IsEmptyEntry(const MontageEntry& e) { return !(e.x1 < e.x2 && e.y1 < e.y2); }

TilvexNode* NodeAtTileKey(TilvexNode* node, uint64_t key, int32_t bits)
{
    return Walk(node, key, bits, [](TilvexNode* n, int32_t col, int32_t row) { return n->GetChild(col, row); });
}

TilvexNode* ResidentNodeAtTileKey(TilvexNode* node, uint64_t key, int32_t bits)
{
    return Walk(node, key, bits,
                [](TilvexNode* n, int32_t col, int32_t row) { return ResidentChild(n->m_children[col + 2 * row]); });
}

} // namespace vorn
