// What the store fuzzing shares (the in-memory storage is the tests' SharedRAS): the settings the stores are made and opened with, and the seids the seed
// stores hold.
#pragma once
#include "../tests/LssStoreTestUtil.h"
#include "vnLss/LSS.h"
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace vorn::fuzz {

inline LssSettings FuzzSettings()
{
    LssSettings s;
    s.m_segmentSize = 4096;
    s.m_flushTimeMilliSec = 600000; // no flush but the ones asked for
    s.m_maxNumSegmentsInCache = 8;
    s.m_numSegmentsPerCheckPoint = 4;
    return s;
}

// The element spaces of the seed stores (elements 1 .. kSeedElements in each).
constexpr SeidHigh kSeedSpaces[] = {0x05050505u, 0x07070707u};
constexpr int kSeedElements = 6;
inline Seid SeedSeid(int space, int i) { return Seid(0x01010100u + uint32_t(i), kSeedSpaces[space]); }

} // namespace vorn::fuzz
