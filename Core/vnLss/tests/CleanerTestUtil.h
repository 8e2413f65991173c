// Helpers of the tests that run the cleaner's work by hand, and the check of the
// utilisation table against the log: every segment's utilisation must equal the bytes
// of the live packets (those the map names exactly) in its units.
#pragma once
#include "vnLss/LSS.h"
#include "vnLss/LssLayout.h"
#include <gtest/gtest.h>

namespace vorn::test {

// Sums the live packets of a segment: those the map names exactly.
class LiveSum : public ILogRecordVisitor {
public:
    explicit LiveSum(LSS* lss) : m_lss(lss) {}
    void VisitPacket(const PacketHeader& p) override
    {
        const RpmPosition pos = m_lss->GetRPM().Lookup(p.m_seid, false);
        if (pos.m_segmentId == p.m_segmentId && pos.m_offset == p.m_offset) m_sum += p.Size();
    }
    void VisitTransaction(int32_t, int32_t, int64_t, HPTime) override {}
    void VisitDelete(SeidLow, SeidHigh) override {}
    int64_t m_sum = 0;
private:
    LSS* m_lss;
};

// Compares every segment's utilisation with the live packets of its log (the open
// unit is sealed first); returns the number of segments that differ.
inline int UtilisationMismatches(LSS* lss)
{
    SegmentWriter& w = lss->GetSegmentWriter();
    CriticalSectionLock lock(w.GetLock());
    w.Flush();
    SUT& sut = lss->GetSUT();
    int bad = 0;
    for (int32_t i = 1; i < sut.GetNumSegments(); ++i) {
        Segment* s = lss->GetCache().Pin(i);
        LiveSum sum(lss);
        ForEachLogUnit(s->GetBuffer(), s->GetSize(), 512, [&](int64_t off, const FlushUnitHeader& h) {
            const int32_t start = int32_t(off) + kFlushUnitHeaderSize;
            WalkRecords(s->GetBuffer(), i, start, start + h.m_size, true, sum);
        });
        lss->GetCache().Unpin(s);
        if (sum.m_sum != sut.GetUtilisation(i)) {
            ADD_FAILURE() << "segment " << i << ": live " << sum.m_sum << " != utilisation " << sut.GetUtilisation(i);
            ++bad;
        }
    }
    return bad;
}

// Moves the head of the log to a fresh segment.
inline void TakeNewSegment(LSS* lss)
{
    SegmentWriter& w = lss->GetSegmentWriter();
    w.Lock(false);
    w.NewSegment();
    w.Unlock();
}

// Cleans one segment as a cleaner pass would.
inline void Clean(LSS* lss, int32_t segment)
{
    SegmentWriter& w = lss->GetSegmentWriter();
    w.Lock(false);
    lss->GetCleaner().CleanSegment(segment);
    w.Unlock();
}

} // namespace vorn::test
