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
    ModelTransaction txn;
    std::lock_guard<std::mutex> lock(m_lock);
    TilvexNode* root = m_tilvex->GetRootNode();
    std::erase_if(m_finished, [&](uint64_t key) {
        TilvexNode* parent = NodeAtTileKey(root, ParentTileKey(key), m_depth - 2);
        return !parent || ReleaseWrittenChild(parent->m_children[ChildIndexOfTileKey(key)]);
    });
}

} // namespace vorn
