// The parents of the bottom tiles, computed while the bottom tiles are still being
// painted: each as soon as its last child is finished, from copies of the finished
// children's bytes, exactly as the level computation would compute it (which then
// leaves it as it is). Used by the painting workers and the encoder's threads at once.
#pragma once
#include "Tilvex/Model/PyramidComputation.h"
#include "Tilvex/Tilvexgen/PendingTiles.h"
#include <atomic>
#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace vorn {

class BottomParents {
public:
    // Nothing is computed unless enabled (and the pyramid has a level above the
    // bottom). The parents awaited are those of the pending tiles; call before any
    // worker starts.
    BottomParents(Tilvex* tilvex, int32_t depth, bool enabled, const PendingTiles& pending);

    bool Enabled() const { return m_enabled; }

    // The bottom tile at key is finished, with its bytes (taken) or without an image
    // (null). The last child of a parent computes the parent's tile and hands it to
    // the parent node, in a transaction of its own. Called outside any lock.
    void ChildFinished(uint64_t key, xvector<uint8_t>* bytes);

    // How many parents were computed.
    int64_t GetComputed() const { return m_computed; }

private:
    // A parent waiting for its children: how many are not finished yet, and copies of
    // the finished ones' bytes.
    struct Waiting {
        int32_t remaining = 0;
        ParentChildren children;
    };

    Tilvex* m_tilvex;
    int32_t m_depth;
    bool m_enabled;
    // Guards m_waiting. Taken alone: no other lock, and no transaction, is entered
    // while it is held.
    std::mutex m_lock;
    std::unordered_map<uint64_t, Waiting> m_waiting;
    std::atomic<int64_t> m_computed{0};
};

} // namespace vorn
