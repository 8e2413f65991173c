// What the parts of one store (its threads, the segment writer, the element readers and
// writer, the transaction, the cleaner, the delta files) use of the store and of each
// other. vorn::LSS implements it; the parts hold it, never the store's public class.
// Callers outside the store use vorn::ILogStructuredStore.
#pragma once
#include "vnLss/Seid.h"
#include <cstdint>
#include <exception>

namespace vorn {

class DeltaFileWriter;
class IRAS;
class PacketHeader;
class ReaderRegistry;
class RPM7;
class SegmentCache;
class SegmentWriter;
class SUT;
struct Guid;
struct LssSettings;

class LssInternal {
public:
    virtual const LssSettings& GetSettings() const = 0;
    virtual IRAS* GetStorage() = 0;
    virtual SegmentCache& GetCache() = 0;
    virtual SUT& GetSUT() = 0;
    virtual RPM7& GetRPM() = 0;
    virtual SegmentWriter& GetSegmentWriter() = 0;
    virtual DeltaFileWriter& GetDeltas() = 0;
    // The seids being read and the one being written or deleted.
    virtual ReaderRegistry& GetReaders() = 0;

    // Keeps the first failure only; transactions waiting for a check point give up.
    virtual void RecordBackgroundFailure(std::exception_ptr failure) noexcept = 0;
    // Throws a copy of the recorded failure, if any.
    virtual void CheckBackgroundFailure() = 0;
    virtual bool HasBackgroundFailure() = 0;

    // Frees the element's packets from the map and the utilisation table; false when
    // the seid has no element.
    virtual bool FreeElement(Seid seid) = 0;
    // A packet is live while the map names its place for its seid; every other packet
    // in the log is obsolete.
    virtual bool IsLivePacket(const PacketHeader& packet) = 0;
    // Seals the open unit and writes the log to the file.
    virtual void Flush() = 0;

    // Asks the check-pointer for a check point; transactions opened from now on wait
    // until a check point holds the segment writer (so that back-to-back transactions
    // cannot starve it) or the check-pointer lets the request go.
    virtual void RequestCheckPoint() = 0;
    // The log after the last committed check point has reached its bound: appenders
    // that have not started wait (transactions at open) or stop (a cleaner pass) until
    // a check point brings it back under.
    virtual bool IsLogAtBound() const = 0;
    virtual void CheckPointTakenOrDropped() = 0;
    virtual void CheckPointWithNewId() = 0;
    // True from the moment a check point lets appenders in again until its division is
    // committed; a transaction flushed meanwhile waits for the commit (its units carry
    // the new check-point id, which only the committed division makes recoverable).
    virtual bool IsCheckPointCommitPending() const = 0;
    virtual void WaitForCheckPointCommit() = 0;
    virtual const Guid& GetCpid() const = 0;
    virtual int32_t GetNumCheckPoints() const = 0;
    virtual int64_t GetNumTransactions() const = 0;
    virtual void IncrementTransactions() = 0;

protected:
    ~LssInternal() = default;
};

} // namespace vorn
