// The store's cleaner: a background thread that copies the live packets out of
// segments of low utilisation to the head of the log, so that those segments empty and
// become free at a later check point. The check point recomputes the candidate
// segments (emptiest first); the thread works through them in passes of about 0.2 s
// under the segment writer's lock, at most once a second.
#pragma once
#include "vnLss/SegmentWriter.h"
#include <atomic>
#include <cstdint>
#include <deque>

namespace vorn {

class LazyCleaner : public StoreThread {
public:
    using StoreThread::StoreThread;
    void ThreadMain() override;

    // Called with the segment writer's lock held (by the check point).
    void RecomputeCandidates();
    // Cleans one segment; called with the segment writer's lock held.
    void CleanSegment(int32_t segmentId);

    // Observers for tests (under the segment writer's lock).
    bool HasCandidates() const { return m_hasCandidates.load(); }
    const std::deque<int32_t>& GetCandidates() const { return m_candidates; }

private:
    std::atomic<bool> m_hasCandidates{false};
    std::deque<int32_t> m_candidates;
};

} // namespace vorn
