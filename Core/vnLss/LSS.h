// vorn::LSS: one open log-structured store. It owns the storage, the root block, the
// segment cache, the utilisation table, the seid-to-position map, the segment writer
// with its lazy writer and flusher, the one transaction and the check-pointer.
//
// Failures of background work (any exception on a store thread, and an exception
// while an element is being written) are recorded once; every later operation that
// checks them throws a copy, and Close then leaves the file marked as not cleanly shut
// down and reports the failure instead of succeeding.
//
// Lock order (a lock is only taken while holding locks above it):
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
// after it has let go of the writer's lock.
#pragma once
#include "vnLss/Cleaner.h"
#include "vnLss/DeltaFile.h"
#include "vnLss/LogFormat.h"
#include "vnLss/LssInterfaces.h"
#include "vnLss/LssSettings.h"
#include "vnLss/RPM.h"
#include "vnLss/Ras.h"
#include "vnLss/RootBlock.h"
#include "vnLss/SUT.h"
#include "vnLss/SegmentCache.h"
#include "vnLss/SegmentWriter.h"
#include "vnUtils/TextWriter.h"
#include "vnUtils/Threads.h"
#include <atomic>
#include <condition_variable>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace vorn {

class LSS;
class PagedBuffer;

class SerialElementWriter : public ICloseableOutputStream {
public:
    explicit SerialElementWriter(LSS* store) : m_store(store) {}
    void Open(Seid seid);
    void WriteStream(const void* bytes, ssize_t n) override;
    void Flush() override {}
    void Close() override;
    bool IsOpen() const { return m_open; }
    // Ends an open element without its packet (the store is closing).
    void Abandon() noexcept;

private:
    void BeginPacket(Seid seid, bool head);
    void EndPacket(const Seid* next);

    LSS* m_store;
    bool m_open = false;
    Seid m_elementSeid;
    Seid m_packetSeid;
    int32_t m_packetSegment = 0;
    int32_t m_packetOffset = 0;
    bool m_indentRaised = false;
};

class LssTxn : public ILssTransaction {
public:
    explicit LssTxn(LSS* store) : m_store(store), m_writer(store) {}
    void Close() override;
    void FlushWhenClose() override;
    ICloseableOutputStream* WriteSerialElement(SeidLow low, SeidHigh high) override;
    bool DeleteSerialElement(SeidLow low, SeidHigh high) override;
    void DeleteSeidSpace(SeidHigh high) override;

    // Called by the store's open-transaction operation with the writer lock held.
    void Begin();
    bool IsOwnedByCallingThread() const { return m_owner.load() == std::this_thread::get_id(); }
    // Ends the transaction without a transaction record; returns whether it had
    // written or deleted anything.
    bool Abandon() noexcept;
    SerialElementWriter& GetWriter() { return m_writer; }

private:
    void CheckOwner(const char* message) const;
    void EndHolding();

    LSS* m_store;
    SerialElementWriter m_writer;
    std::atomic<std::thread::id> m_owner{};
    bool m_flushWhenClose = false;
    bool m_written = false;
    bool m_deleted = false;
};

class LazyCheckPointer : public StoreThread {
public:
    using StoreThread::StoreThread;
    void ThreadMain() override;
    void Request()
    {
        m_requested = true;
        Signal();
    }
private:
    std::atomic<bool> m_requested{false};
};

class LSS : public ILogStructuredStore, public LssSettings, private IRpmPacketReader {
public:
    // Takes over the storage; nothing is read or written until Open.
    LSS(std::unique_ptr<IRAS> storage, const char* deltasDirPath, const LssSettings& settings);
    ~LSS() override;

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

    // Used by the parts of the store.
    void Flush();
    void StartThreads(const LogHead* head);
    void StopThreads();
    void CheckBackgroundFailure();
    // Keeps the first failure only.
    void RecordBackgroundFailure(std::exception_ptr failure) noexcept;
    void ClearBackgroundFailure();
    // Frees the element's packets from the map and the utilisation table; false when
    // the seid has no element.
    bool FreeElement(Seid seid);
    // Asks the check-pointer for a check point; transactions opened from now on wait
    // until a check point holds the segment writer (so that back-to-back transactions
    // cannot starve it) or the check-pointer lets the request go.
    void RequestCheckPoint();
    void CheckPointTakenOrDropped();
    void CheckPointWithNewId();
    bool CheckPoint(const Guid& newCpid);
    // Checks every segment's utilisation against the live packets it holds; a mismatch
    // is traced and reported as an assertion failure.
    void ValidateSut();
    // A packet is live while the map names its place for its seid; every other packet
    // in the log is obsolete.
    bool IsLivePacket(const PacketHeader& packet);
    // CRC-32 over the bytes of every serial element, in the map's order.
    uint32_t CrcOfAllObjects();
    void WriteRootDivision(Archive& ar, const PagedBuffer& rpmImage);
    void ReadRootDivision(InputArchive ar);

    // The set of seids being read and the seid being written or deleted.
    void AddReader(Seid seid);
    void RemoveReader(Seid seid) noexcept;
    // Publishes seid as being written (forDelete: deleted); throws when it is read.
    void BeginChange(Seid seid, bool forDelete, const char* readMessage);
    void EndChange() noexcept;
    bool IsBeingWritten(Seid seid);

    SegmentCache& GetCache() { return m_cache; }
    SUT& GetSUT() { return m_sut; }
    RPM7& GetRPM() { return m_rpm; }
    SegmentWriter& GetSegmentWriter() { return m_segmentWriter; }
    RootBlock& GetRootBlock() { return m_rootBlock; }
    IRAS* GetStorage() { return m_storage; }
    LssTxn& GetTxn() { return m_txn; }
    LazyCleaner& GetCleaner() { return m_cleaner; }
    DeltaFileWriter& GetDeltas() { return m_deltas; }
    int64_t GetNumTransactions() const { return m_numTransactions; }
    void IncrementTransactions() { m_numTransactions = int64_t(uint64_t(m_numTransactions) + 1u); }
    int32_t GetNumCheckPoints() const { return m_numCheckPoints; }
    const Guid& GetCpid() const { return m_cpid; }
    LogPosition GetPositionOfLastCheckPoint() const { return m_positionOfLastCheckPoint; }
    StringTextWriter& GetRecoveryLog() { return m_recoveryLog; }
    // True from the moment a check point lets appenders in again until its division is
    // committed; a transaction flushed meanwhile waits for the commit (its units carry
    // the new check-point id, which only the committed division makes recoverable).
    bool IsCheckPointCommitPending() const { return m_commitPending.load(); }
    void WaitForCheckPointCommit() { CriticalSectionLock lock(m_checkPointLock); }

private:
    void Create();
    void OpenExisting();
    // Replays the log after the last check point onto the head; returns the bytes of
    // accepted units up to the last one holding a transaction record.
    int64_t RecoveryScan(LogHead& head);
    void Abandon() noexcept;
    bool CloseStore(std::exception_ptr* failure) noexcept;

    // IRpmPacketReader
    void OpenPacket(RpmPosition pos, RpmPacket& packet) override;
    void ClosePacket(RpmPacket& packet) noexcept override;

    std::mutex m_readLock;
    std::condition_variable m_readChanged;
    std::map<Seid, int32_t> m_reading;
    Seid m_changing;           // the seid being written or deleted (null: none)
    bool m_changingIsDelete = false;

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

    std::mutex m_failureLock;
    std::atomic<bool> m_failed{false};
    std::exception_ptr m_failure;

    Guid m_cpid{};
    int32_t m_numCheckPoints = 0;
    CriticalSection m_checkPointLock;
    LogPosition m_positionOfLastCheckPoint;
    bool m_forceCheckPoint = false; // the next check point commits with a new id
    // Set from a check-point request until a check point holds the segment writer.
    std::mutex m_dueLock;
    std::condition_variable m_dueChanged;
    bool m_checkPointDue = false;
    std::atomic<bool> m_commitPending{false};
    LazyCheckPointer m_checkPointer;
    LazyCleaner m_cleaner;
    bool m_threadsStarted = false;
};

// Builds a store over a storage it takes over: creates it when it is empty (or, for a
// raw device, lacks the magic), otherwise opens it. A failed open stops what it started,
// closes and deletes the storage, and throws.
LSS* OpenLSSOnStorage(IRAS* storage, const char* deltasDirPath, bool* createdNew, bool rawDevice,
                      const LssSettings& settings);

// A fresh random check-point identifier.
Guid NewCheckPointId();

} // namespace vorn
