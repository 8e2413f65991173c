#include "Tilvex/Tilvexgen/TileEncodeQueue.h"
#include "vnObject/CSpace.h"
#include "vnPersistStore/PSpace.h"
#include "vnUtils/ThreadPool.h"

namespace vorn {

bool TileEncodeQueue::TryQueue(const std::vector<std::pair<uint64_t, TilvexNode*>>& tiles)
{
    if (!m_encoder) return false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_tiles.size() >= kMaxQueuedTiles) return false;
        m_tiles.insert(m_tiles.end(), tiles.begin(), tiles.end());
    }
    for (size_t i = 0; i < tiles.size(); ++i) m_encoder->AddTask(&m_task);
    return true;
}

void TileEncodeQueue::EncodeNext()
{
    std::pair<uint64_t, TilvexNode*> tile;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        tile = m_tiles.front();
        m_tiles.pop_front();
    }
    PSpace* const savedP = GetThreadPSpace();
    CSpace* const savedC = GetThreadCSpace();
    SetThreadPSpace(m_space);
    SetThreadCSpace(m_space ? m_space->GetCSpace() : nullptr);
    try {
        m_owner.EncodeFinishedTile(tile.first, tile.second);
    } catch (...) {
        m_owner.OnEncodeFailure(std::current_exception());
    }
    SetThreadPSpace(savedP);
    SetThreadCSpace(savedC);
}

} // namespace vorn
