// The store's members for opening an existing store: the root block's state, the
// check of the segment holding the last check point, and the recovery scan of the log
// after it.
#include "vnLss/LSS.h"
#include "vnLss/LssLayout.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/PagedBuffer.h"
#include "vnUtils/Trace.h"
#include <algorithm>
#include <cstring>
#include <vector>

namespace vorn {

namespace {

// Collects the records of the transaction in progress during the recovery scan and
// applies them, in log order, when the transaction's record is reached. Records that
// no transaction record follows are dropped with the visitor.
class RecoveryLogRecordVisitor : public ILogRecordVisitor {
public:
    enum : uint8_t { kSegmentChange = 0, kDelete = 1, kPacket = 2, kHeadBit = 0x80, kMovedBit = 0x40 };

    RecoveryLogRecordVisitor(LssInternal* store, LogHead& head) : m_store(store), m_head(head) {}

    // The log entered a new segment whose units name nextSegId as the next one.
    void QueueSegmentChange(int32_t nextSegId) { m_queue.push_back(Pending{kSegmentChange, {uint32_t(nextSegId)}}); }

    void VisitPacket(const PacketHeader& p) override
    {
        if (p.IsRpmNode()) return; // the map's own nodes: the check point accounts for them
        uint8_t kind = kPacket;
        if (p.IsHead()) kind |= kHeadBit;
        if (p.m_flags & PF_MOVED) kind |= kMovedBit;
        m_queue.push_back(Pending{kind,
                                  {p.m_seid.m_low, p.m_seid.m_high, uint32_t(p.m_segmentId), uint32_t(p.m_offset),
                                   uint32_t(p.Size())}});
        ++m_pendingPackets;
    }

    void VisitDelete(SeidLow low, SeidHigh high) override
    {
        m_queue.push_back(Pending{kDelete, {low, high}});
        ++m_pendingDeletes;
    }

    void VisitTransaction(int32_t, int32_t, int64_t, HPTime) override { Apply(); }

    int64_t GetAppliedPackets() const { return m_appliedPackets; }
    int64_t GetAppliedDeletes() const { return m_appliedDeletes; }

private:
    struct Pending {
        uint8_t m_kind;
        uint32_t m_v[5];
    };

    void Apply()
    {
        SUT& sut = m_store->GetSUT();
        RPM7& rpm = m_store->GetRPM();
        for (const Pending& r : m_queue) {
            if (r.m_kind == kSegmentChange) {
                sut.Release(m_head.m_segmentId);
                m_head.m_segmentId = m_head.m_nextSegId;
                sut.TakeSegment(int32_t(r.m_v[0]));
                m_head.m_nextSegId = int32_t(r.m_v[0]);
                continue;
            }
            const Seid seid(r.m_v[0], r.m_v[1]);
            if (r.m_kind == kDelete) {
                m_store->FreeElement(seid);
                continue;
            }
            const int32_t seg = int32_t(r.m_v[2]), off = int32_t(r.m_v[3]), size = int32_t(r.m_v[4]);
            if (r.m_kind & kMovedBit) {
                // A copy made by the cleaner: the element keeps its content, only the
                // packet's place changes.
                const RpmPosition p = rpm.Lookup(seid, false);
                if (p.IsEmpty() || (p.m_segmentId == seg && p.m_offset == off)) continue;
                rpm.SetPosition(seid, seg, off);
                sut.AddUtilisation(seg, size);
                sut.AddUtilisation(p.m_segmentId, -size);
                continue;
            }
            if (r.m_kind & kHeadBit) m_store->FreeElement(seid);
            rpm.SetPosition(seid, seg, off);
            sut.AddUtilisation(seg, size);
        }
        m_queue.clear();
        m_appliedPackets += m_pendingPackets;
        m_appliedDeletes += m_pendingDeletes;
        m_pendingPackets = m_pendingDeletes = 0;
        m_store->IncrementTransactions();
    }

    LssInternal* m_store;
    LogHead& m_head;
    std::vector<Pending> m_queue;
    int64_t m_pendingPackets = 0;
    int64_t m_pendingDeletes = 0;
    int64_t m_appliedPackets = 0;
    int64_t m_appliedDeletes = 0;
};

// A unit that begins a segment's log names a next segment other than its own, and one
// that the utilisation table can take: at most one past the end of the storage.
bool PlausibleNextSegment(IRAS* storage, int32_t segmentSize, int32_t next, int32_t own)
{
    return next > 0 && next != own && int64_t(next) <= SegmentsInStorage(storage->GetSize(), segmentSize) + 1;
}

// Whether a sealed unit of the log of check point cpid with a number after fsn begins at
// a sector boundary of the segment at or after offset from.
bool LaterUnitOfLog(const uint8_t* segment, int32_t segmentSize, int32_t sector, int64_t from, const Guid& cpid,
                    uint32_t fsn)
{
    for (int64_t p = from; p + kFlushUnitHeaderSize <= segmentSize; p += sector) {
        const FlushUnitHeader h = DecodeFlushUnitHeader(segment + p);
        if (h.m_cpid == cpid && h.m_fsn > fsn && SealedUnitIsValid(segment, segmentSize, p)) return true;
    }
    return false;
}

// Whether the log of check point cpid goes on where a scan expecting unit fsn stopped, at
// offset of segment s, whose units name next (0 when no unit of the segment was
// accepted yet). It does when a sealed unit of the log with a later number follows,
// further on in the segment or in the segment the log goes on in (next, or when that
// is not known yet, the one the unit at offset names): writes in log order cannot
// leave such a unit behind a torn one, so the log was damaged. Units that a recovery
// dropped are cleared from the file (ClearDroppedTail), so none of them is met here.
// With whole (the log was left whole by a clean close) it also goes on when the unit
// at offset is one of the log's own, damaged: it fails its checks but agrees with the
// log in two of its check-point id, its fsn and its next segment (one damaged field
// leaves two), or carries the id and the fsn.
bool LogGoesOnPast(SegmentCache& cache, IRAS* storage, const uint8_t* segment, int32_t segmentSize, int32_t sector,
                   int32_t s, int64_t offset, const Guid& cpid, uint32_t fsn, int32_t next, bool whole)
{
    int32_t goesOnIn = next;
    if (offset + kFlushUnitHeaderSize <= segmentSize) {
        const FlushUnitHeader h = DecodeFlushUnitHeader(segment + offset);
        const bool own = h.m_cpid == cpid, inSequence = h.m_fsn == fsn, sameNext = next != 0 && h.m_nextSegId == next;
        const bool damaged = !SealedUnitIsValid(segment, segmentSize, offset);
        if (whole && ((own && inSequence) || (damaged && sameNext && (own || inSequence)))) return true;
        if (goesOnIn == 0 && PlausibleNextSegment(storage, segmentSize, h.m_nextSegId, s)) goesOnIn = h.m_nextSegId;
    }
    if (LaterUnitOfLog(segment, segmentSize, sector, offset + sector, cpid, fsn)) return true;
    if (goesOnIn <= 0 || SegmentOffset(goesOnIn, segmentSize) >= storage->GetSize()) return false;
    PinnedSegment pin(cache, goesOnIn);
    return LaterUnitOfLog(pin.Buffer(), segmentSize, sector, 0, cpid, fsn);
}

} // namespace

int64_t LSS::RecoveryScan(LogHead& head, bool logMustBeWhole, std::vector<int32_t>& segments)
{
    TextWriter& log = m_recoveryLog;
    TextIndentGuard scanIndent(log, 2);
    log << "\nStarting recovery scan from position ";
    PrintLogPosition(log, m_positionOfLastCheckPoint);
    log << "\n";

    const int32_t segmentSize = m_sut.GetSegmentSize();
    const int32_t sector = m_storage->GetSectorSize();
    RecoveryLogRecordVisitor visitor(this, head);
    int32_t s = head.m_segmentId;
    int64_t o = head.m_offset;
    int32_t m = head.m_nextSegId;
    uint32_t fsn = 1;
    int64_t sinceCommit = 0, kept = 0;
    int32_t segmentsPassed = 0;
    for (;;) {
        log << "Segment " << s << "\n";
        segments.push_back(s);
        {
            TextIndentGuard segIndent(log, 2);
            PinnedSegment pin(m_cache, s);
            const uint8_t* buf = pin.Buffer();
            while (o < segmentSize) {
                bool accept = SealedUnitIsValid(buf, segmentSize, o);
                FlushUnitHeader h;
                if (accept) {
                    h = DecodeFlushUnitHeader(buf + o);
                    accept = h.m_cpid == m_cpid && h.m_fsn == fsn &&
                             (m != 0 ? h.m_nextSegId == m : PlausibleNextSegment(m_storage, segmentSize, h.m_nextSegId, s));
                }
                if (!accept) {
                    log << "Invalid FU: ";
                    PrintFlushUnit(log, buf, segmentSize, s, o, sector);
                    log << "\n";
                    if (LogGoesOnPast(m_cache, m_storage, buf, segmentSize, sector, s, o, m_cpid, fsn, m, logMustBeWhole))
                        ThrowCorruptLss("LSS is corrupt : The log after the last valid check point is damaged");
                    break;
                }
                if (m == 0) {
                    m = h.m_nextSegId;
                    visitor.QueueSegmentChange(m);
                }
                PrintFlushUnit(log, buf, segmentSize, s, o, sector);
                log << "\n";
                TextIndentGuard unitIndent(log, 2);
                const int64_t before = m_numTransactions;
                const int32_t start = int32_t(o) + kFlushUnitHeaderSize;
                WalkRecords(buf, s, start, start + h.m_size, false, visitor);
                const int64_t next = NextUnitOffset(o, h.m_size, sector);
                m_deltas.AppendUnits(buf + o, next - o);
                sinceCommit += next - o;
                if (m_numTransactions != before) {
                    kept += sinceCommit;
                    sinceCommit = 0;
                    head.m_offset = int32_t(next);
                    head.m_fsn = fsn + 1;
                    log << "REC: endOfLogPos = ";
                    PrintLogPosition(log, LogPosition{head.m_segmentId, head.m_offset});
                    log << " endOfLogNextSegid= " << head.m_nextSegId << "\n";
                }
                o = next;
                ++fsn;
            }
        }
        if (o == 0) break; // nothing of the log in this segment
        ++segmentsPassed;
        // The log goes on in m; where the storage ends there can be nothing more.
        if (m <= 0 || SegmentOffset(m, segmentSize) >= m_storage->GetSize()) break;
        s = m;
        o = 0;
        m = 0;
    }
    log << "Recovery scan completed with:" << "  segs= " << segmentsPassed
        << "  data pkts= " << visitor.GetAppliedPackets() << "  oids deleted= " << visitor.GetAppliedDeletes() << "\n";
    return kept;
}

void LSS::OpenExisting()
{
    // The recovery log's indentation for the whole open.
    TextIndentGuard logIndent(m_recoveryLog, 2);
    const bool graceful = ReadRootState();
    // The clean-shutdown byte speaks for the last check point written. When the other
    // division may be that one, damaged, the log after the chosen check point holds all
    // it recorded: the store is recovered from there as after a crash, so that the next
    // check point records no less than the log holds. The close left that log whole, so
    // a break in it is damage, and the store is refused rather than cut short.
    const bool logMustBeWhole = graceful && !m_rootBlock.ChoseNewestDivision();
    if (logMustBeWhole)
        m_recoveryLog << "The other division may be a newer check point that is damaged: recovering from the log\n";
    const bool recover = !graceful || logMustBeWhole;
    if (recover || m_forceIncrementMSSN) {
        m_mssn = int32_t(uint32_t(m_mssn) + 1u); // a damaged count wraps, it does not overflow
        m_recoveryLog << "LSS was not shutdown gracefully.  Incremented m_mssn to " << m_mssn << "\n";
    }

    LogHead head = PrepareLogHead(CheckCheckPointSegment());
    std::vector<int32_t> scanned;
    const int64_t kept = recover ? RecoveryScan(head, logMustBeWhole, scanned) : 0;
    if (head.m_offset == m_sut.GetSegmentSize()) {
        m_sut.Release(head.m_segmentId);
        head.m_segmentId = head.m_nextSegId;
        head.m_offset = 0;
        head.m_nextSegId = m_sut.AllocateSegment();
    }
    m_deltas.Truncate(kept);

    // After an unclean shutdown the next check point must start a new id even when
    // the map did not change: units of the lost tail carry the old one.
    m_forceCheckPoint = recover || m_forceIncrementMSSN;
    // Every check passed: the store is accepted. Before its threads write anything the
    // file says it is open, so a crash from here on is recovered at the next open; a
    // refused store is left exactly as it was.
    m_rootBlock.SetGracefulShutdown(false);
    if (recover) ClearDroppedTail(head, scanned);
    ClearBackgroundFailure();
    StartThreads(&head);
    CheckPointWithNewId();
}

bool LSS::ReadRootState()
{
    bool graceful = false;
    int32_t segmentSize = 0;
    InputArchive ar = m_rootBlock.Read(graceful, segmentSize);
    if (!IsValidSegmentSize(segmentSize)) ThrowCorruptLss("LSS root block specifies an invalid segment size");
    m_segmentSize = segmentSize;
    m_sut.SetSegmentSize(segmentSize);
    m_cache.SetSegmentSize(segmentSize);
    ReadRootDivision(ar);
    m_rootBlock.WriteDiagnostics(m_recoveryLog);
    return graceful;
}

int32_t LSS::CheckCheckPointSegment()
{
    TextWriter& log = m_recoveryLog;
    const LogPosition cp = m_positionOfLastCheckPoint;
    const int32_t segmentSize = m_sut.GetSegmentSize();
    log << "Last check point" << " pos= ";
    PrintLogPosition(log, cp);
    log << " cpid= " << m_cpid << "\n";
    log << "Scanning segment " << cp.m_segmentId << " containing the last check point\n";
    const int32_t sector = m_storage->GetSectorSize();
    if (cp.m_segmentId <= 0 || cp.m_segmentId >= m_sut.GetNumSegments() || cp.m_offset < 0 ||
        cp.m_offset > segmentSize || cp.m_offset % sector != 0)
        ThrowCorruptLss("LSS is corrupt : Check point position bad");

    int64_t offset = 0;
    int32_t nextSeg = 0;
    {
        PinnedSegment pin(m_cache, cp.m_segmentId);
        TextIndentGuard walkIndent(log, 2);
        const uint8_t* buf = pin.Buffer();
        while (offset < cp.m_offset) {
            if (!SealedUnitIsValid(buf, segmentSize, offset)) {
                log << "ERROR: Invalid FU: ";
                PrintFlushUnit(log, buf, segmentSize, cp.m_segmentId, offset, sector);
                log << "\n";
                break;
            }
            const FlushUnitHeader h = DecodeFlushUnitHeader(buf + offset);
            if (h.m_cpid == m_cpid) {
                log << "ERROR: FU has same cpid: ";
                PrintFlushUnit(log, buf, segmentSize, cp.m_segmentId, offset, sector);
                log << "\n";
                break;
            }
            PrintFlushUnit(log, buf, segmentSize, cp.m_segmentId, offset, sector);
            log << "\n";
            // Every unit of the segment names the one next segment; the first decides it.
            if (nextSeg == 0 && !PlausibleNextSegment(m_storage, segmentSize, h.m_nextSegId, cp.m_segmentId))
                ThrowCorruptLss("LSS is corrupt : NextSegId inconsistent within segment");
            if (nextSeg == 0) nextSeg = h.m_nextSegId;
            else if (h.m_nextSegId != nextSeg) ThrowCorruptLss("LSS is corrupt : NextSegId inconsistent within segment");
            offset = NextUnitOffset(offset, h.m_size, sector);
        }
        // No unit before the check point: the segment's log, if any, begins at the check
        // point itself, and its first unit names the segment the log continues in.
        if (offset == cp.m_offset && nextSeg == 0 && cp.m_offset < segmentSize &&
            SealedUnitIsValid(buf, segmentSize, cp.m_offset)) {
            const FlushUnitHeader h = DecodeFlushUnitHeader(buf + cp.m_offset);
            if (h.m_cpid == m_cpid && h.m_fsn == 1 && PlausibleNextSegment(m_storage, segmentSize, h.m_nextSegId, cp.m_segmentId))
                nextSeg = h.m_nextSegId;
        }
    }
    if (offset != cp.m_offset) {
        log << "p.GetPos() = " << int64_t(offset) << "  m_positionOfLastCheckPoint.m_offset = " << cp.m_offset;
        log << "\n\nLSS is corrupt : Bad flush unit(s) in the segment containing the last valid check point";
        log.Flush();
        xstring text;
        m_recoveryLog.GetBuffer().CopyTo(text);
        throw CorruptLSSException(text);
    }
    if (nextSeg == cp.m_segmentId) ThrowCorruptLss("LSS is corrupt : NextSegId inconsistent within segment");
    return nextSeg;
}

void LSS::ClearDroppedTail(const LogHead& head, const std::vector<int32_t>& segments)
{
    // What lies beyond the head was not kept: units the scan did not accept, or accepted
    // without a transaction record after them. Left on disk under the old check-point
    // id, they would read as the log's own: to a later open from the older division
    // (the newer one damaged), and as a later unit of the log behind the point where a
    // later crash's scan stops, which refuses the store. So the rest of the head
    // segment, the segments the scan entered after it and the segment reserved to follow
    // it (free, no live packet in them) are cleared, in the file and in a cached copy,
    // before anything is appended. The farthest go first: a crash while clearing leaves
    // a prefix of the dropped log, as the crash before left it.
    std::vector<std::pair<int32_t, int32_t>> clear{{head.m_segmentId, head.m_offset}};
    const auto at = std::find(segments.begin(), segments.end(), head.m_segmentId);
    const auto add = [&](int32_t id) {
        // A segment beyond the utilisation table holds nothing live either.
        const bool free = id > 0 && (id >= m_sut.GetNumSegments() || m_sut.GetUtilisation(id) == 0);
        if (free && std::find_if(clear.begin(), clear.end(), [id](const auto& c) { return c.first == id; }) == clear.end())
            clear.push_back({id, 0});
    };
    if (at != segments.end())
        for (auto it = at + 1; it != segments.end(); ++it) add(*it);
    add(head.m_nextSegId);
    for (auto it = clear.rbegin(); it != clear.rend(); ++it)
        if (it->second < m_sut.GetSegmentSize()) ClearSegmentFrom(it->first, it->second);
    m_recoveryLog << "Cleared the log after ";
    PrintLogPosition(m_recoveryLog, LogPosition{head.m_segmentId, head.m_offset});
    if (clear.size() > 1) m_recoveryLog << (clear.size() > 2 ? " and segments" : " and segment");
    for (size_t i = 1; i < clear.size(); ++i) m_recoveryLog << " " << clear[i].first;
    m_recoveryLog << "\n";
}

void LSS::ClearSegmentFrom(int32_t id, int32_t from)
{
    // Bytes past the end of the storage read as zero already.
    const int32_t segmentSize = m_sut.GetSegmentSize();
    const int32_t sector = m_storage->GetSectorSize();
    const int64_t stored = int64_t(m_storage->GetSize()) - int64_t(SegmentOffset(id, segmentSize));
    if (stored <= from) return;
    const int32_t to = stored >= segmentSize ? segmentSize : int32_t((stored + sector - 1) / sector * sector);
    PinnedSegment pin(m_cache, id);
    uint8_t* buf = pin.Get()->GetBuffer();
    // What follows the last sealed unit from `from` on is zeroed first, then each of
    // those units, the last first, by a write of its own: a torn write leaves one unit
    // damaged with only zeros after it, as a crash leaves a torn tail.
    std::vector<int32_t> starts{from};
    for (int64_t p = from; p < to && SealedUnitIsValid(buf, segmentSize, p);) {
        p = NextUnitOffset(p, int32_t(LoadU32(buf + p + kUnitSizeOffset)), sector);
        if (p < to) starts.push_back(int32_t(p));
    }
    std::memset(buf + to, 0, size_t(segmentSize - to));
    int32_t end = to;
    for (auto it = starts.rbegin(); it != starts.rend(); ++it) {
        std::memset(buf + *it, 0, size_t(end - *it));
        pin.Get()->WriteRange(*it, end);
        end = *it;
    }
}

LogHead LSS::PrepareLogHead(int32_t nextSeg)
{
    LogHead head;
    head.m_cpid = m_cpid;
    head.m_fsn = 1;
    head.m_segmentId = m_positionOfLastCheckPoint.m_segmentId;
    head.m_offset = m_positionOfLastCheckPoint.m_offset;
    m_sut.TakeSegment(head.m_segmentId);
    if (nextSeg != 0) {
        m_sut.TakeSegment(nextSeg);
        head.m_nextSegId = nextSeg;
    } else {
        head.m_nextSegId = m_sut.AllocateSegment();
    }
    m_deltas.Position(m_cpid, m_numCheckPoints);
    return head;
}

} // namespace vorn
