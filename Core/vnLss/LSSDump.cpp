// Statistics, dump and the CRC of all elements of a store.
//
// Both scans run on the caller's thread while the store's threads go on. Under the
// segment writer's lock they seal the open flush unit, copy the counters and take a
// snapshot of the utilisation table, reserving every segment that holds live bytes: a
// reserved segment cannot be freed and handed to the writer again, so its bytes stay
// as they are while it is read. The writer's head segment is read only up to the
// sealed end of the log, beyond which the writer goes on appending. Each segment is
// pinned while it is read and its reservation dropped as soon as it has been listed.
#include "vnLss/LSS.h"
#include "vnLss/LssLayout.h"
#include "vnUtils/Crc32.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/PagedBuffer.h"
#include "vnUtils/Trace.h"
#include <chrono>
#include <mutex>
#include <thread>

namespace vorn {

namespace {

constexpr int32_t kElementReadBlock = 8192;

void WriteHex64(TextWriter& w, uint64_t v)
{
    WriteHexLower(w, uint32_t(v >> 32));
    WriteHexLower(w, uint32_t(v));
}

void WriteDashes(TextWriter& w, int n)
{
    static const char kDashes[] = "--------------------------------------------------------------------------------"
                                  "--------------------------------------------------------------------------------";
    w.Write(kDashes, n);
}

// x with the writer's float format at precision 3; the writer's precision is restored.
void WritePercent(TextWriter& w, double x)
{
    std::ostream& os = w.GetStream();
    const std::streamsize old = os.precision();
    w.SetPrecision(3);
    w << x;
    os.precision(old);
}

double Percent(int64_t part, int64_t whole) { return whole > 0 ? double(part) * 100.0 / double(whole) : 0.0; }

// Recovery logs of all stores are copied out under one lock (two dumps may run at once).
std::mutex g_recoveryLogLock;

// Opens an element for reading, waiting while another thread's transaction is writing
// it: the one refusal of ReadSerialElement that is not a failure of the store (the
// writer may already be done when it is caught, so it is simply tried again). Null
// when there is none.
ICloseableInputStream* OpenElementWaiting(LSS& store, Seid seid)
{
    for (;;) {
        try {
            return store.ReadSerialElement(seid);
        } catch (const ProgrammingErrorException&) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Reads a whole element in blocks; fn(bytes, n) per block. False when there is none.
template <class Fn>
bool ReadElementBlocks(LSS& store, Seid seid, uint8_t* block, Fn&& fn)
{
    ICloseableInputStream* in = OpenElementWaiting(store, seid);
    if (!in) return false;
    try {
        for (;;) {
            const ssize_t n = in->ReadStream(block, kElementReadBlock);
            if (n <= 0) break;
            fn(block, size_t(n));
        }
    } catch (...) {
        in->Close();
        throw;
    }
    in->Close();
    return true;
}

// ---------------------------------------------------------------------------------
// The visitors

class LssStatsLogRecordVisitor : public ILogRecordVisitor {
public:
    explicit LssStatsLogRecordVisitor(LSS* store) : m_store(store) {}

    void VisitPacket(const PacketHeader& packet) override { Count(packet); }
    void VisitTransaction(int32_t, int32_t, int64_t, HPTime) override {}
    void VisitDelete(SeidLow, SeidHigh) override {}

    void AddTo(LssStats& s) const
    {
        s.m_totalUtilisation += m_liveBytes;
        s.m_numSerialElements += m_numSerialElements;
        s.m_numLiveOverflowPackets += m_numLiveOverflowPackets;
        s.m_numLiveRpmPackets += m_numLiveRpmPackets;
        s.m_numObsoletePackets += m_numObsoletePackets;
    }
    void Reset()
    {
        m_liveBytes = 0;
        m_numSerialElements = m_numLiveOverflowPackets = m_numLiveRpmPackets = m_numObsoletePackets = 0;
    }
    int64_t GetLiveBytes() const { return m_liveBytes; }

protected:
    // Counts the packet; returns whether it is live.
    bool Count(const PacketHeader& packet)
    {
        if (!m_store->IsLivePacket(packet)) {
            ++m_numObsoletePackets;
            return false;
        }
        m_liveBytes += packet.Size();
        if (packet.IsRpmNode()) ++m_numLiveRpmPackets;
        else if (packet.IsHead()) ++m_numSerialElements;
        else ++m_numLiveOverflowPackets;
        return true;
    }

    LSS* m_store;
    int64_t m_liveBytes = 0;
    int32_t m_numSerialElements = 0;
    int32_t m_numLiveOverflowPackets = 0;
    int32_t m_numLiveRpmPackets = 0;
    int32_t m_numObsoletePackets = 0;
};

class DumpLSSLogRecordVisitor : public LssStatsLogRecordVisitor {
public:
    DumpLSSLogRecordVisitor(LSS* store, TextWriter& w, bool printLive, bool printAll, uint8_t* block)
        : LssStatsLogRecordVisitor(store), m_writer(w), m_printLivePackets(printLive), m_printAllPackets(printAll),
          m_block(block)
    {
    }

    void VisitPacket(const PacketHeader& packet) override
    {
        const bool live = Count(packet);
        if (!(m_printAllPackets || (m_printLivePackets && live))) return;
        const bool data = !packet.IsRpmNode();
        TextWriter& w = m_writer;
        w << "       " << (live ? "Y" : "N") << "    " << (packet.IsHead() && data ? "Y" : "N") << "    "
          << (data ? "Data" : "RPM ") << "  ";
        WriteHexLower(w, packet.m_seid.m_high);
        w << ".";
        WriteHexLower(w, packet.m_seid.m_low);
        w << "  ";
        WriteHexLower(w, uint32_t(packet.m_offset));
        w << "  ";
        WriteHexLower(w, uint32_t(packet.Size()));
        w << "  ";
        if (live && data && packet.IsHead()) {
            uint64_t length = 0;
            ReadElementBlocks(*m_store, packet.m_seid, m_block, [&](const uint8_t*, size_t n) { length += n; });
            WriteHex64(w, length);
        }
        if (packet.HasNext()) {
            w << "  Next Seid = ";
            WriteHexLower(w, packet.m_next.m_high);
            w << ".";
            WriteHexLower(w, packet.m_next.m_low);
        }
        w << "\n";
    }

private:
    TextWriter& m_writer;
    bool m_printLivePackets;
    bool m_printAllPackets;
    uint8_t* m_block;
};

// ---------------------------------------------------------------------------------
// The snapshot of the log that a scan reads


class LogSnapshot {
public:
    explicit LogSnapshot(LSS& store) : m_store(store), m_sut(store.GetSUT()) {}
    ~LogSnapshot()
    {
        for (int32_t i = 0; i < m_reserved.size(); ++i)
            if (m_reserved[i]) {
                try {
                    m_sut.Release(i);
                } catch (...) {
                }
            }
    }
    LogSnapshot(const LogSnapshot&) = delete;
    LogSnapshot& operator=(const LogSnapshot&) = delete;

    // Seals the open unit and takes the snapshot, under the segment writer's lock.
    void Take(int32_t& numCheckPoints, int64_t& numTransactions)
    {
        SegmentWriter& writer = m_store.GetSegmentWriter();
        CriticalSectionLock lock(writer.GetLock());
        if (writer.IsStarted()) m_end = writer.Flush();
        numCheckPoints = m_store.GetNumCheckPoints();
        numTransactions = m_store.GetNumTransactions();
        m_segmentSize = m_sut.GetSegmentSize();
        const int32_t count = m_sut.GetNumSegments();
        m_utilisation.resize(count > 0 ? count : 0, 0);
        m_reserved.resize(m_utilisation.size(), 0);
        for (int32_t i = 1; i < count; ++i) {
            const int32_t u = m_sut.GetUtilisation(i);
            m_utilisation[i] = u;
            if (u > 0) {
                m_sut.Reserve(i);
                m_reserved[i] = 1;
            }
        }
    }

    int32_t GetCount() const { return m_utilisation.size(); }
    int32_t GetUtilisation(int32_t id) const { return m_utilisation[id]; }
    int32_t GetSegmentSize() const { return m_segmentSize; }
    LogPosition GetEnd() const { return m_end; }
    // Bytes of the segment that the scan may read.
    int32_t Limit(int32_t id) const { return id == m_end.m_segmentId ? m_end.m_offset : m_segmentSize; }

    void Release(int32_t id)
    {
        if (!m_reserved[id]) return;
        m_reserved[id] = 0;
        m_sut.Release(id);
    }

private:
    LSS& m_store;
    SUT& m_sut;
    LogPosition m_end;
    int32_t m_segmentSize = 0;
    xvector<int32_t> m_utilisation;
    xvector<uint8_t> m_reserved;
};

void StartStats(LSS& store, LssStats& s, LogSnapshot& snap)
{
    s = LssStats();
    snap.Take(s.m_numCheckPoints, s.m_numTransactions);
    s.m_numRecoveries = store.GetMSSN();
    s.m_segmentSize = snap.GetSegmentSize();
}

void WriteStatistics(TextWriter& w, const LssStats& s)
{
    w << "Num check points          = " << s.m_numCheckPoints << "\n";
    w << "Num recoveries            = " << s.m_numRecoveries << "\n";
    w << "Num transactions          = " << s.m_numTransactions << "\n";
    w << "Segment size              = " << s.m_segmentSize / 1024 << " kB\n";
    w << "Num serial elements       = " << s.m_numSerialElements << "\n";
    w << "Num live overflow packets = " << s.m_numLiveOverflowPackets << "\n";
    w << "Num live RPM packets      = " << s.m_numLiveRpmPackets << "\n";
    w << "Num obsolete packets      = " << s.m_numObsoletePackets << "\n";
    w << "Total utilisation         = ";
    WriteHex64(w, uint64_t(s.m_totalUtilisation));
    w << " = " << s.m_totalUtilisation << "\n";
    w << "File size                 = ";
    WriteHex64(w, uint64_t(s.m_fileSize));
    w << " = " << s.m_fileSize << "\n";
    w << "  % utilisation           = ";
    WritePercent(w, Percent(s.m_totalUtilisation, s.m_fileSize));
    w << "%\n";
}

// The banner and the end of the log.
void WriteBanner(TextWriter& w, const LogPosition& end)
{
    w << "\n";
    WriteDashes(w, 109);
    w << "\n";
    for (int i = 0; i < 53; ++i) w.Put(' ');
    w << "LSS\n";
    w << "Segment writer end of log position = ";
    PrintLogPosition(w, end);
    w << "\n";
}

void WriteRecoveryLog(TextWriter& w, StringTextWriter& recoveryLog)
{
    xstring text;
    {
        std::lock_guard<std::mutex> lock(g_recoveryLogLock);
        recoveryLog.Flush();
        recoveryLog.GetBuffer().CopyTo(text);
    }
    w << "\nRecovery log:\n" << text;
}

// One line per flush unit of every segment that holds live bytes.
void WriteFlushUnitTable(TextWriter& w, SegmentCache& cache, const LogSnapshot& snap, int32_t sectorSize)
{
    w << "Flush units\n";
    w << "      segid          range        crc                  check point id             fsn    nextsegid  "
         "size\n";
    w << "    ";
    WriteDashes(w, 103);
    w << "\n";
    for (int32_t id = 1; id < snap.GetCount(); ++id) {
        if (snap.GetUtilisation(id) <= 0) continue;
        PinnedSegment seg(cache, id);
        ForEachLogUnit(seg.Buffer(), snap.Limit(id), sectorSize, [&](int64_t offset, const FlushUnitHeader& h) {
            w << "    ";
            WriteHexLower(w, uint32_t(id));
            w << " [";
            WriteHexLower(w, uint32_t(offset));
            w << ",";
            WriteHexLower(w, uint32_t(NextUnitOffset(offset, h.m_size, sectorSize)));
            w << ") ";
            WriteHexLower(w, h.m_crc);
            w << " " << h.m_cpid << " ";
            WriteHexLower(w, h.m_fsn);
            w << " ";
            WriteHexLower(w, uint32_t(h.m_nextSegId));
            w << " ";
            WriteHexLower(w, uint32_t(h.m_size));
            w << "\n";
        });
    }
}

// What the segment dump prints besides the counts.
struct SegmentDumpOptions {
    bool m_segments;
    bool m_livePackets;
    bool m_allPackets;
};

// Walks every segment of the snapshot with the visitor, printing what the options ask
// for, and adds the counts to s. Stops after the first segment whose live bytes differ
// from its utilisation, with an error line; returns whether one did.
bool DumpSegments(TextWriter& w, SegmentCache& cache, LogSnapshot& snap, int32_t sectorSize,
                  const SegmentDumpOptions& print, DumpLSSLogRecordVisitor& visitor, LssStats& s)
{
    for (int32_t id = 1; id < snap.GetCount(); ++id) {
        const int32_t utilisation = snap.GetUtilisation(id);
        if (print.m_segments) {
            w << "\nSegment " << id << "  Utilisation = ";
            WriteHexLower(w, uint32_t(utilisation));
            w << "  (";
            WritePercent(w, Percent(utilisation, snap.GetSegmentSize()));
            w << "%)\n";
        }
        if (utilisation <= 0) continue;
        {
            PinnedSegment seg(cache, id);
            const uint8_t* buffer = seg.Buffer();
            visitor.Reset();
            ForEachLogUnit(buffer, snap.Limit(id), sectorSize, [&](int64_t offset, const FlushUnitHeader& h) {
                if (print.m_segments) {
                    w << "  Flush Unit :  [";
                    WriteHexLower(w, uint32_t(offset));
                    w << ",";
                    WriteHexLower(w, uint32_t(NextUnitOffset(offset, h.m_size, sectorSize)));
                    w << ")\n";
                }
                if (print.m_livePackets || print.m_allPackets) {
                    w << "      Live Head  Type         Seid          Offset    Packet   Serial Elt\n";
                    w << "                                                      Size      Size\n";
                    w << "      ";
                    WriteDashes(w, 66);
                    w << "\n";
                }
                const int32_t start = int32_t(offset) + kFlushUnitHeaderSize;
                WalkRecords(buffer, id, start, start + h.m_size, true, visitor);
            });
            visitor.AddTo(s);
        }
        snap.Release(id);
        if (visitor.GetLiveBytes() != utilisation) {
            w << "ERROR : Sum of sizes of live segments = ";
            WriteHex64(w, uint64_t(visitor.GetLiveBytes()));
            w << " != ";
            WriteHexLower(w, uint32_t(utilisation));
            w << "\n";
            return true;
        }
    }
    return false;
}

} // namespace

// ---------------------------------------------------------------------------------
// Statistics

void LSS::GetStats(LssStats* stats)
{
    CheckBackgroundFailure();
    LssStats s;
    LogSnapshot snap(*this);
    StartStats(*this, s, snap);
    const int32_t sectorSize = m_storage->GetSectorSize();
    LssStatsLogRecordVisitor visitor(this);
    for (int32_t id = 1; id < snap.GetCount(); ++id) {
        if (snap.GetUtilisation(id) <= 0) continue;
        {
            PinnedSegment seg(m_cache, id);
            const uint8_t* buffer = seg.Buffer();
            ForEachLogUnit(buffer, snap.Limit(id), sectorSize, [&](int64_t offset, const FlushUnitHeader& h) {
                const int32_t start = int32_t(offset) + kFlushUnitHeaderSize;
                WalkRecords(buffer, id, start, start + h.m_size, true, visitor);
            });
        }
        snap.Release(id);
    }
    visitor.AddTo(s);
    s.m_fileSize = int64_t(m_storage->GetSize());
    if (stats) *stats = s;
}

// ---------------------------------------------------------------------------------
// Dump

void LSS::Dump(LssStats* stats, TextWriter& w, bool printRecoveryLog, bool printRootBlock, bool printRpm,
               bool printSut, bool printFlushUnitTable, bool printSegments, bool printLivePackets,
               bool printAllPackets, bool printStatistics, bool printCrc)
{
    TraceIndenter indent(2);
    CheckBackgroundFailure();
    LssStats s;
    LogSnapshot snap(*this);
    StartStats(*this, s, snap);
    const int32_t sectorSize = m_storage->GetSectorSize();

    WriteBanner(w, snap.GetEnd());
    if (printRecoveryLog) WriteRecoveryLog(w, m_recoveryLog);
    if (printRootBlock) {
        w << "\n";
        WriteRootBlockDiagnostics(w);
    }
    if (printRpm) {
        w << "\n";
        m_rpm.Write(w);
        m_rpm.DumpSeidAllocationInfo(w);
    }
    if (printSut) {
        w << "\n";
        m_sut.Dump(w);
    }
    if (printFlushUnitTable) WriteFlushUnitTable(w, m_cache, snap, sectorSize);

    xvector<uint8_t> block;
    block.resize(kElementReadBlock);
    DumpLSSLogRecordVisitor visitor(this, w, printLivePackets, printAllPackets, block.data());
    const bool sumsDiffer =
        DumpSegments(w, m_cache, snap, sectorSize, {printSegments, printLivePackets, printAllPackets}, visitor, s);

    // After a mismatch, the statistics gathered so far, whatever the options.
    s.m_fileSize = int64_t(m_storage->GetSize());
    if (printStatistics || sumsDiffer) {
        w << "\n";
        WriteStatistics(w, s);
    }
    if (printCrc) {
        w << "\n32 bit CRC on all objects in the store = ";
        WriteHexLower(w, CrcOfAllObjects());
        w << "\n";
    }
    WriteDashes(w, 109);
    if (stats) *stats = s;
}

void LSS::WriteRootBlockDiagnostics(TextWriter& w)
{
    // A check point rewrites the root block under the check-point lock, which comes
    // before the segment writer's lock: a caller inside its own transaction only tries
    // it (the check-pointer may be waiting for that transaction).
    if (m_txn.IsOwnedByCallingThread()) {
        const bool got = m_checkPointLock.TryEnter();
        m_rootBlock.WriteDiagnostics(w);
        if (got) m_checkPointLock.Leave();
    } else {
        CriticalSectionLock lock(m_checkPointLock);
        m_rootBlock.WriteDiagnostics(w);
    }
}

// ---------------------------------------------------------------------------------
// CRC of all elements

uint32_t LSS::CrcOfAllObjects()
{
    constexpr int32_t kSeidBatch = 4096;
    // The caller's own open element could never be read: refuse rather than wait.
    if (m_txn.IsOwnedByCallingThread()) m_segmentWriter.CheckNoElementOpen("CrcOfAllObjects()");
    xvector<uint8_t> block;
    block.resize(kElementReadBlock);
    xvector<Seid> seids;
    uint32_t crc = 0xFFFFFFFFu;
    Seid after;
    for (;;) {
        seids.clear();
        if (!m_rpm.GetElementSeids(after, kSeidBatch, seids) || seids.empty()) break;
        for (const Seid& seid : seids)
            ReadElementBlocks(*this, seid, block.data(),
                              [&](const uint8_t* p, size_t n) { crc = Crc32Update(crc, p, n); });
        after = seids.back();
        if (int32_t(seids.size()) < kSeidBatch) break;
    }
    return crc ^ 0xFFFFFFFFu;
}

} // namespace vorn
