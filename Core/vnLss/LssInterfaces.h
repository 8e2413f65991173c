// What clients see of a log-structured store: the store interface, its one
// transaction, the streams over serial elements and the contiguous element.
// vorn::OpenLSS opens or creates a store in a file, vorn::OpenLSSOnStorage over any
// storage.
#pragma once
#include "vnLss/LssSettings.h"
#include "vnLss/Seid.h"
#include "vnUtils/Streams.h"
#include "vnUtils/XVector.h"
#include <cstdint>
#include <exception>

namespace vorn {

class IRAS;
class TextWriter;

class ICloseableOutputStream : public IOutputStream {
public:
    virtual void Close() = 0;
};

class ICloseableInputStream : public IInputStream {
public:
    // Ends the reading and destroys the stream.
    virtual void Close() = 0;
};

class IContiguousSerialElement {
public:
    // Drops the element's segment pin or copy and destroys it; then throws a failure
    // recorded by the store's background work, if any.
    virtual void Release() = 0;
    virtual const uint8_t* GetBuffer(int64_t& length) const = 0;
protected:
    virtual ~IContiguousSerialElement() = default;
};

class ILssTransaction {
public:
    // Appends the transaction record when something was written or deleted, flushes
    // when asked, and releases the store's writer lock on every path.
    virtual void Close() = 0;
    virtual void FlushWhenClose() = 0;
    // The writer of the element; valid until its Close.
    virtual ICloseableOutputStream* WriteSerialElement(SeidLow low, SeidHigh high) = 0;
    virtual bool DeleteSerialElement(SeidLow low, SeidHigh high) = 0;
    virtual void DeleteSeidSpace(SeidHigh high) = 0;
protected:
    virtual ~ILssTransaction() = default;
};

// Figures of a store, gathered by a scan of every segment (GetStats and Dump). A packet
// is live when the seid-to-position map names exactly its place.
struct LssStats {
    int32_t m_numCheckPoints = 0;
    int32_t m_numRecoveries = 0;          // the store's start sequence number
    int64_t m_numTransactions = 0;
    int32_t m_segmentSize = 0;
    int64_t m_fileSize = 0;
    int64_t m_totalUtilisation = 0;       // bytes of live packets
    int32_t m_numSerialElements = 0;      // live head packets that are not map nodes
    int32_t m_numLiveOverflowPackets = 0; // live packets that are neither heads nor map nodes
    int32_t m_numLiveRpmPackets = 0;
    int32_t m_numObsoletePackets = 0;
};

class ILogStructuredStore {
public:
    // Closes and deletes the store. A transaction the calling thread still holds is
    // ended first; if it wrote or deleted anything, that is not committed and the close
    // is reported as not clean (the next open recovers without it).
    virtual void Close() = 0;
    virtual void SetMaxNumSegmentsInCache(int32_t count) = 0;
    virtual int32_t GetMSSN() = 0;
    virtual SeidHigh AllocateSeidHigh() = 0;
    virtual Seid AllocateSeid(SeidHigh high) = 0;
    virtual SeidLow GetNextSeidLow(SeidHigh high) = 0;
    virtual bool AllocateSeidNear(Seid& seid) = 0;
    virtual void GetSeidLowsInSpace(xvector<SeidLow>& out, SeidHigh high) = 0;
    virtual bool SerialElementExists(Seid seid) = 0;
    virtual ICloseableInputStream* ReadSerialElement(Seid seid) = 0;
    virtual IContiguousSerialElement* GetContiguousSerialElement(Seid seid) = 0;
    // Waits while a requested check point has not yet begun or the log after the last
    // check point is at its bound, then for the transaction of another thread to close.
    // Once the store is closing it throws ProgrammingErrorException ("store is not open").
    virtual ILssTransaction* OpenTransaction() = 0;
    virtual void Reserved12() = 0;
    virtual bool Reserved13() = 0;
    virtual void GetStats(LssStats* stats) = 0;
    // Prints the parts of the store that the options name, in this order, and fills
    // *stats (when given) in the same pass.
    virtual void Dump(LssStats* stats, TextWriter& w, bool printRecoveryLog, bool printRootBlock, bool printRpm,
                      bool printSut, bool printFlushUnitTable, bool printSegments, bool printLivePackets,
                      bool printAllPackets, bool printStatistics, bool printCrc) = 0;
    virtual bool GetRpmChildren(SeidLow low, SeidHigh high, xvector<Seid>& out) = 0;
    virtual bool DumpRpmNode(SeidLow low, SeidHigh high, TextWriter& w) = 0;

    // Closes like Close and reports how: true after a clean shutdown; false when
    // background work failed (the file is then left marked as not shut down cleanly)
    // with the failure in *failure when given.
    virtual bool CloseReporting(std::exception_ptr* failure) = 0;
    // Whether background work has failed (never throws).
    virtual bool HasBackgroundFailure() = 0;
protected:
    virtual ~ILogStructuredStore() = default;
};

// Builds a store over a storage it takes over: creates it when it is empty (or, for a
// raw device, lacks the magic), otherwise opens it. A failed open stops what it started,
// closes and deletes the storage, and throws.
ILogStructuredStore* OpenLSSOnStorage(IRAS* storage, const char* deltasDirPath, bool* createdNew, bool rawDevice,
                                      const LssSettings& settings);

// Opens or creates the store at path ("memfile": the process-wide memory storage).
ILogStructuredStore* OpenLSS(const char* path, const char* deltasDirPath, bool* createdNew, EOpenMode mode,
                             const LssSettings* settings);

} // namespace vorn
