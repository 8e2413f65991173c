// vorn::LSS: one open log-structured store. It owns the storage, the root block, the
// segment cache, the utilisation table, the seid-to-position map, the segment writer
// with its lazy writer and flusher, the one transaction, the cleaner, the check-pointer,
// the delta-file writer and the registry of the elements being read or written. Those
// parts reach the store and each other through vorn::LssInternal (LssInternal.h) only;
// callers outside the store see vorn::ILogStructuredStore (LssInterfaces.h).
//
// Map of the module (a header's pair holds its code unless said otherwise):
//   the store's members      LSS.cpp (construction, open, close, reads, transactions,
//                            failures), LSSRecovery.cpp (opening an existing store and
//                            the recovery scan), LSSCheckPoint.cpp (check points and the
//                            utilisation check), LSSRootDivision.cpp (the root division's
//                            payload), LSSSeids.cpp (seid allocation and map queries),
//                            LSSDump.cpp (statistics, dump, CRC of all elements)
//   opening and settings     LssInterfaces.h (the interface, OpenLSS, OpenLSSOnStorage),
//                            LssSettings.h, Ras.h (storage over a file or memory)
//   stored forms             LssLayout.h (file geometry), RootBlockLayout.h, LogLayout.h
//   root block               RootBlock.h: the two divisions, which one is read
//   log                      LogFormat.h (flush units, records, packet headers),
//                            SegmentWriter.h (the log head), PacketChain.h (an element's
//                            packets), LazyWriter.h, LazyFlusher.h, StoreThread.h
//   segments                 SegmentCache.h, SUT.h
//   the map                  RPM.h
//   elements                 LssTxn.h (the transaction), SerialElementWriter.h,
//                            ReadSerialElementStream.h, ContiguousSerialElement.h,
//                            ReaderRegistry.h (who reads or writes which seid)
//   background work          Cleaner.h, LazyCheckPointer.h, FailureRecord.h
//   delta files              DeltaFile.h
//   seids                    Seid.h (the type, its text form)
//
// Glossary:
//   seid   serial element id: the 64-bit name of an element, SeidLow then SeidHigh; one
//          SeidHigh names a seid space.
//   RAS    random-access storage (vorn::IRAS): the file or memory under the store.
//   SUT    segment utilisation table: the live bytes of every segment, and the free ones.
//   RPM    the seid-to-position map: a tree from seid to the segment and offset of the
//          element's head packet, its root kept in the root block.
//   cpid   check-point id: a GUID that every flush unit written after a check point
//          carries, so recovery tells the log after it from older units.
//   fsn    flush sequence number: 1 for the first flush unit after a check point, then
//          one more for each unit.
//   MSSN   the store's start sequence number: how often it was opened after an unclean
//          shutdown.
//
// Failures of background work (any exception on a store thread, and an exception
// while an element is being written) are recorded once; every later operation that
// checks them throws a copy, and Close then leaves the file marked as not cleanly shut
// down and reports the failure instead of succeeding.
//
// Lock order (a lock is only taken while holding locks above it; every lock is held
// by a guard, under the exception-safety rule of vnUtils/Threads.h):
//   1. the check-point lock;
//   2. the segment writer's lock (recursive; held by a transaction from open to close,
//      by a check point, by a cleaner pass and briefly by a flush);
//   3. the lazy writer's write lock, then its queue lock;
//   4. the seid-to-position map's lock;
//   5. the segment cache's lock and load lock, the utilisation table's lock, the
//      storage's lock; the read/change lock of readers, the failure record's lock and
//      the delta writer's lock are taken alone.
// So a thread inside its transaction may not take a check point (refused), and a
// transaction flushed after a check point waits for that check point's commit only
// after it has let go of the writer's lock. Likewise a transaction waits for a check
// point (one requested, or the log after the last committed one at its bound) before
// it takes the writer's lock, holding none of the store's locks meanwhile. A thread
// that holds read elements holds segment-cache records while it waits so: the holders
// of the writer's and the map's locks never wait for records that other threads hold
// (SegmentCache.h, StoreLockMark).
#pragma once
#include "vnLss/Cleaner.h"
#include "vnLss/DeltaFile.h"
#include "vnLss/FailureRecord.h"
#include "vnLss/LazyCheckPointer.h"
#include "vnLss/LogFormat.h"
#include "vnLss/LssInterfaces.h"
#include "vnLss/LssInternal.h"
#include "vnLss/LssSettings.h"
#include "vnLss/LssTxn.h"
#include "vnLss/RPM.h"
#include "vnLss/Ras.h"
#include "vnLss/ReaderRegistry.h"
#include "vnLss/RootBlock.h"
#include "vnLss/SUT.h"
#include "vnLss/SegmentCache.h"
#include "vnLss/SegmentWriter.h"
#include "vnUtils/TextWriter.h"
#include "vnUtils/Threads.h"
#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace vorn {

class PagedBuffer;

class LSS : public ILogStructuredStore, public LssSettings, public LssInternal, private IRpmPacketReader {
public:
    // Takes over the storage; nothing is read or written until Open.
    LSS(std::unique_ptr<IRAS> storage, const char* deltasDirPath, const LssSettings& settings);
    ~LSS() override;

    // OpenLSSOnStorage (LssInterfaces.h), giving the class: for the store's own tests and
    // tools.
    static LSS* OpenOnStorage(IRAS* storage, const char* deltasDirPath, bool* createdNew, bool rawDevice,
                              const LssSettings& settings);

    // Creates or opens the store (see OpenLSSOnStorage).
    void Open(bool* createdNew, bool rawDevice);

    // ILogStructuredStore
    void Close() override;
    bool CloseReporting(std::exception_ptr* failure) override;
    bool HasBackgroundFailure() override;
    void SetMaxNumSegmentsInCache(int32_t count) override;
    int32_t GetMSSN() override { return m_mssn; }
    SeidHigh AllocateSeidHigh() override;
    Seid AllocateSeid(SeidHigh high) override;
    SeidLow GetNextSeidLow(SeidHigh high) override;
    bool AllocateSeidNear(Seid& seid) override;
    void GetSeidLowsInSpace(xvector<SeidLow>& out, SeidHigh high) override;
    bool SerialElementExists(Seid seid) override;
    ICloseableInputStream* ReadSerialElement(Seid seid) override;
    IContiguousSerialElement* GetContiguousSerialElement(Seid seid) override;
    ILssTransaction* OpenTransaction() override;
    void Reserved12() override {}
    bool Reserved13() override { return false; }
    void GetStats(LssStats* stats) override;
    void Dump(LssStats* stats, TextWriter& w, bool printRecoveryLog, bool printRootBlock, bool printRpm, bool printSut,
              bool printFlushUnitTable, bool printSegments, bool printLivePackets, bool printAllPackets,
              bool printStatistics, bool printCrc) override;
    bool GetRpmChildren(SeidLow low, SeidHigh high, xvector<Seid>& out) override;
    bool DumpRpmNode(SeidLow low, SeidHigh high, TextWriter& w) override;

    // LssInternal: what the parts of the store use (tests look through it too).
    const LssSettings& GetSettings() const override { return *this; }
    IRAS* GetStorage() override { return m_storage; }
    SegmentCache& GetCache() override { return m_cache; }
    SUT& GetSUT() override { return m_sut; }
    RPM7& GetRPM() override { return m_rpm; }
    SegmentWriter& GetSegmentWriter() override { return m_segmentWriter; }
    DeltaFileWriter& GetDeltas() override { return m_deltas; }
    ReaderRegistry& GetReaders() override { return m_readers; }
    void RecordBackgroundFailure(std::exception_ptr failure) noexcept override;
    void CheckBackgroundFailure() override { m_failures.Check(); }
    bool FreeElement(Seid seid) override;
    bool IsLivePacket(const PacketHeader& packet) override;
    void Flush() override;
    void RequestCheckPoint() override;
    bool IsLogAtBound() const override;
    void CheckPointTakenOrDropped() override;
    void CheckPointWithNewId() override;
    bool IsCheckPointCommitPending() const override { return m_commitPending.load(); }
    void WaitForCheckPointCommit() override { CriticalSectionLock lock(m_checkPointLock); }
    const Guid& GetCpid() const override { return m_cpid; }
    int32_t GetNumCheckPoints() const override { return m_numCheckPoints.load(); }
    int64_t GetNumTransactions() const override { return m_numTransactions; }
    void IncrementTransactions() override { m_numTransactions = int64_t(uint64_t(m_numTransactions) + 1u); }

    // Observers and operations for tests and tools.
    void ClearBackgroundFailure() { m_failures.Clear(); }
    // The bound of the log after the last committed check point, in segments: twice
    // the segments per check point unless set (0: no bound, as stores had before; for
    // tests and the benchmark's baseline).
    void SetLogBoundForTests(int64_t segments) { m_logBound = segments; }
    int64_t GetLogBound() const { return m_logBound.load(); }
    // Threads waiting in OpenTransaction for a check point (an observer).
    int32_t GetNumWaitingForCheckPoint();
    LazyCheckPointer& GetCheckPointer() { return m_checkPointer; }
    // Tests: called by every check point after it has let appenders in again and before
    // it writes its log and commits; what it throws fails the check point.
    void SetCheckPointCommitHookForTests(std::function<void()> hook) { m_commitHook = std::move(hook); }
    // Takes a check point that commits with newCpid; false when there was nothing to do.
    bool CheckPoint(const Guid& newCpid);
    // CRC-32 over the bytes of every serial element, in the map's order.
    uint32_t CrcOfAllObjects();
    RootBlock& GetRootBlock() { return m_rootBlock; }
    LssTxn& GetTxn() { return m_txn; }
    LazyCleaner& GetCleaner() { return m_cleaner; }
    LogPosition GetPositionOfLastCheckPoint() const { return m_positionOfLastCheckPoint; }
    StringTextWriter& GetRecoveryLog() { return m_recoveryLog; }
    // The root block's division: the utilisation table, the map's image and the
    // store's counters between two markers.
    void WriteRootDivision(Archive& ar, const PagedBuffer& rpmImage);
    void ReadRootDivision(InputArchive ar);

private:
    void Create();
    // Opens the store from its root block and log (recovering when needed), starts its
    // threads and takes a check point, in the steps below.
    void OpenExisting();
    // Reads the root block and the chosen division into the store and logs the block's
    // diagnostics; returns the clean-shutdown byte.
    bool ReadRootState();
    // Checks the units before the last check point in its segment; returns the next
    // segment they (or the first unit at the check point) name, 0 when none.
    int32_t CheckCheckPointSegment();
    // The log head at the last check point, its segments taken from the utilisation
    // table; the delta writer is placed at the check point's file.
    LogHead PrepareLogHead(int32_t nextSeg);
    // Replays the log after the last check point onto the head; returns the bytes of
    // accepted units up to the last one holding a transaction record, and the segments
    // the scan entered, in log order. A log that goes on past where the scan stops is
    // refused: with logMustBeWhole when the unit there still names itself the log's,
    // and always when a sealed unit of the log with a later number follows.
    int64_t RecoveryScan(LogHead& head, bool logMustBeWhole, std::vector<int32_t>& segments);
    // After a recovery scan: clears the dropped log beyond the head (the rest of its
    // segment, the free segments the scan entered after it and the free segment
    // reserved to follow) before anything is appended.
    void ClearDroppedTail(const LogHead& head, const std::vector<int32_t>& segments);
    // Zeroes segment id from offset from to its end, as far as the storage holds it.
    void ClearSegmentFrom(int32_t id, int32_t from);
    // Before a transaction takes the segment writer: waits while a requested check
    // point has not yet taken the log, or while the log is at its bound. Holds no lock of
    // the store meanwhile; a failure, or the check-pointer's end, lets it go.
    void WaitForCheckPointTurn();
    // Wakes the threads in WaitForCheckPointTurn to look again.
    void WakeAppenders();
    void StartThreads(const LogHead* head);
    void StopThreads();
    void Abandon() noexcept;
    bool CloseStore(std::exception_ptr* failure) noexcept;
    // Checks every segment's utilisation against the live packets it holds; a mismatch
    // is traced and reported as an assertion failure.
    void ValidateSut();
    // The root block's diagnostics for the dump, taken under the check-point lock.
    void WriteRootBlockDiagnostics(TextWriter& w);

    // IRpmPacketReader
    void OpenPacket(RpmPosition pos, RpmPacket& packet) override;
    void ClosePacket(RpmPacket& packet) noexcept override;

    ReaderRegistry m_readers;

    StringTextWriter m_recoveryLog;
    int32_t m_divisionSchema = kDivisionSchema;
    std::unique_ptr<IRAS> m_storageOwner; // outlives every member that holds its buffers
    IRAS* m_storage;
    xstring m_deltasDirPath;
    int64_t m_numTransactions = 0;
    RootBlock m_rootBlock;
    int32_t m_mssn = 0;
    SegmentCache m_cache;
    SUT m_sut;
    RPM7 m_rpm;
    DeltaFileWriter m_deltas;
    SegmentWriter m_segmentWriter;
    LssTxn m_txn;

    FailureRecord m_failures;

    Guid m_cpid{};
    std::atomic<int32_t> m_numCheckPoints{0}; // changed by a check point, read by observers
    CriticalSection m_checkPointLock;
    LogPosition m_positionOfLastCheckPoint;
    bool m_forceCheckPoint = false; // the next check point commits with a new id
    // Set from a check-point request until a check point holds the segment writer.
    std::mutex m_dueLock;
    std::condition_variable m_dueChanged;
    bool m_checkPointDue = false;
    int32_t m_numWaiting = 0;   // threads in WaitForCheckPointTurn
    int32_t m_numOpening = 0;   // threads in OpenTransaction; Close waits for them
    std::atomic<int64_t> m_logBound;
    std::atomic<bool> m_closing{false}; // set when the threads stop: no transaction opens
    std::function<void()> m_commitHook;
    std::atomic<bool> m_commitPending{false};
    LazyCheckPointer m_checkPointer;
    LazyCleaner m_cleaner;
    bool m_threadsStarted = false;
};

// A fresh random check-point identifier.
Guid NewCheckPointId();

} // namespace vorn
