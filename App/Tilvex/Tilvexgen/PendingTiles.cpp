#include "Tilvex/Tilvexgen/PendingTiles.h"
#include "Tilvex/Model/TilvexNode.h"
#include "vnObject/CSpace.h"
#include "vnObject/CSpaceStack.h"
#include "vnReflection/CoreModule.h"
#include "vnUtils/Exceptions.h"

namespace vorn {

PendingTiles* PendingTiles::Create(const Montage& montage)
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

void PendingTiles::VisitObjects(IObjectVisitor& v)
{
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& [key, tile] : m_tiles)
        if (tile.node.m_object) v.VisitStrong(tile.node);
}

std::vector<uint64_t> PendingTiles::Keys() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<uint64_t> keys;
    keys.reserve(m_tiles.size());
    for (const auto& [key, tile] : m_tiles) keys.push_back(key);
    return keys;
}

size_t PendingTiles::CountUnpainted(const TileRange& range) const
{
    size_t n = 0;
    std::lock_guard<std::mutex> lock(m_lock);
    for (int64_t row = range.row1; row <= range.row2; ++row)
        for (int64_t col = range.col1; col <= range.col2; ++col) {
            auto it = m_tiles.find(TileKey(col, row));
            if (it != m_tiles.end() && !it->second.node.m_object) ++n;
        }
    return n;
}

void PendingTiles::SetPainted(uint64_t key, TilvexNode* node)
{
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_tiles.find(key);
    if (it == m_tiles.end()) throw ProgrammingErrorException(xstring("a painted tile was not expected"));
    it->second.node = node->AsObject();
}

void PendingTiles::EntryHandled(const TileRange& range, std::vector<std::pair<uint64_t, TilvexNode*>>& painted,
                                std::vector<uint64_t>& unpainted)
{
    std::lock_guard<std::mutex> lock(m_lock);
    for (int64_t row = range.row1; row <= range.row2; ++row) {
        for (int64_t col = range.col1; col <= range.col2; ++col) {
            const uint64_t key = TileKey(col, row);
            auto it = m_tiles.find(key);
            if (it == m_tiles.end())
                throw ProgrammingErrorException(xstring("an entry's tile is no longer pending"));
            if (--it->second.remaining > 0) continue;
            if (it->second.node.m_object) {
                painted.emplace_back(key, static_cast<TilvexNode*>(it->second.node.m_object));
            } else {
                m_tiles.erase(it);
                unpainted.push_back(key);
            }
        }
    }
}

void PendingTiles::Remove(uint64_t key)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_tiles.erase(key);
}

} // namespace vorn
