// Finished bottom tiles still held in memory by their parents. Once the writer has
// written one (given it its OID), its parent lets it go, so that the collector can
// evict it: the painted tiles do not pile up in memory however many photos there are.
// The level computation loads them again.
#pragma once
#include "Tilvex/Model/Tilvex.h"
#include <cstdint>
#include <mutex>
#include <vector>

namespace vorn {

class WrittenTileRelease {
public:
    WrittenTileRelease(Tilvex* tilvex, int32_t depth) : m_tilvex(tilvex), m_depth(depth) {}

    // The bottom tile at key is finished. Inside a transaction.
    void Add(uint64_t key);

    // Releases every finished tile written since from its parent, in a transaction of
    // its own; the others stay for a later call. Only nodes in memory are walked: the
    // store is never read here.
    void ReleaseWritten();

private:
    Tilvex* m_tilvex;
    int32_t m_depth;
    // Guards m_finished. Taken inside the space lock or alone; no other lock is taken,
    // and nothing is read from the store, while it is held.
    std::mutex m_lock;
    std::vector<uint64_t> m_finished;
};

} // namespace vorn
