#include "Tilvex/Tilvexgen/BottomParents.h"
#include "Tilvex/Model/ModelTransaction.h"
#include "Tilvex/Tilvexgen/TileKey.h"

namespace vorn {

BottomParents::BottomParents(Tilvex* tilvex, int32_t depth, bool enabled, const PendingTiles& pending)
    : m_tilvex(tilvex), m_depth(depth), m_enabled(enabled && depth >= 2)
{
    if (m_enabled)
        for (const uint64_t key : pending.Keys()) ++m_waiting[ParentTileKey(key)].remaining;
}

void BottomParents::ChildFinished(uint64_t key, xvector<uint8_t>* bytes)
{
    if (!m_enabled) return;
    const uint64_t parentKey = ParentTileKey(key);
    Waiting work;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        auto it = m_waiting.find(parentKey);
        if (it == m_waiting.end()) return;
        const int32_t i = ChildIndexOfTileKey(key);
        if (bytes) {
            it->second.children.has[i] = true;
            it->second.children.bytes[i].swap(*bytes);
        }
        if (--it->second.remaining > 0) return;
        work = std::move(it->second);
        m_waiting.erase(it);
    }
    JpegImage result;
    work.children.ComputeImage(result);
    ModelTransaction txn;
    TilvexNode* parent = NodeAtTileKey(m_tilvex->GetRootNode(), parentKey, m_depth - 2);
    if (!parent) return;
    parent->TakeJpegBytes(result.m_bytes);
    ++m_computed;
}

} // namespace vorn
