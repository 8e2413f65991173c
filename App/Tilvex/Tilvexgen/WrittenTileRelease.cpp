#include "Tilvex/Tilvexgen/WrittenTileRelease.h"
#include "Tilvex/Model/ModelTransaction.h"
#include "Tilvex/Model/PyramidComputation.h"
#include "Tilvex/Tilvexgen/TileKey.h"

namespace vorn {

void WrittenTileRelease::Add(uint64_t key)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_finished.push_back(key);
}

void WrittenTileRelease::ReleaseWritten()
{
    if (m_depth < 2) return;
    // The list is taken out, so that the walk below runs without the lock; the tiles
    // not released yet go back to it.
    std::vector<uint64_t> finished;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        finished.swap(m_finished);
    }
    if (finished.empty()) return;
    {
        ModelTransaction txn;
        TilvexNode* root = m_tilvex->GetRootNode();
        // A parent that is not in memory holds no tile any more; none is read back.
        std::erase_if(finished, [&](uint64_t key) {
            TilvexNode* parent = ResidentNodeAtTileKey(root, ParentTileKey(key), m_depth - 2);
            return !parent || ReleaseWrittenChild(parent->m_children[ChildIndexOfTileKey(key)]);
        });
    }
    std::lock_guard<std::mutex> lock(m_lock);
    m_finished.insert(m_finished.end(), finished.begin(), finished.end());
}

} // namespace vorn
