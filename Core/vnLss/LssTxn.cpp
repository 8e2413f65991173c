#include "vnLss/LssTxn.h"
#include "vnLss/LogFormat.h"
#include "vnLss/LssInternal.h"
#include "vnLss/LssLayout.h"
#include "vnLss/RPM.h"
#include "vnLss/Ras.h"
#include "vnLss/ReaderRegistry.h"
#include "vnLss/SegmentWriter.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/Time.h"

namespace vorn {

bool LssTxn::Abandon() noexcept
{
    m_writer.Abandon();
    const bool changed = m_written || m_deleted;
    EndHolding();
    return changed;
}

void LssTxn::Begin()
{
    m_owner = std::this_thread::get_id();
    m_flushWhenClose = m_written = m_deleted = false;
}

void LssTxn::CheckOwner(const char* message) const
{
    if (!IsOwnedByCallingThread()) ThrowProgrammingError(message);
}

void LssTxn::EndHolding()
{
    m_owner = std::thread::id();
    m_flushWhenClose = m_written = m_deleted = false;
    m_store->GetSegmentWriter().Unlock();
}

void LssTxn::FlushWhenClose()
{
    CheckOwner("FlushWhenClose() : Transaction not opened by this thread");
    m_flushWhenClose = true;
}

ICloseableOutputStream* LssTxn::WriteSerialElement(SeidLow low, SeidHigh high)
{
    CheckOwner("WriteSerialElement() : Transaction not opened by this thread");
    const Seid seid(low, high);
    if (!IsValidSeid(seid)) ThrowProgrammingError("WriteSerialElement() : Bad seid");
    if (m_writer.IsOpen()) ThrowProgrammingError("WriteSerialElement() : Already writing a serial element");
    m_writer.Open(seid);
    m_written = true;
    return &m_writer;
}

bool LssTxn::DeleteSerialElement(SeidLow low, SeidHigh high)
{
    CheckOwner("DeleteSerialElement() : Transaction not opened by this thread");
    const Seid seid(low, high);
    if (!IsValidSeid(seid)) ThrowProgrammingError("DeleteSerialElement() : bad seid");
    if (m_store->GetReaders().IsBeingWritten(seid)) ThrowProgrammingError("DeleteSeidSpace() : Currenly writing given serial element");
    if (m_writer.IsOpen()) ThrowProgrammingError("DeleteSerialElement() : a serial element is being written");
    m_store->GetReaders().BeginChange(seid, true, "DeleteSeidSpace() : Currenly reading given serial element");
    bool existed = false;
    try {
        m_store->CheckBackgroundFailure();
        try {
            existed = m_store->FreeElement(seid);
            if (existed) {
                SegmentWriter& w = m_store->GetSegmentWriter();
                w.EnsureRoom(kDeleteRecordSize);
                uint8_t r[kDeleteRecordSize];
                EncodeDeleteRecord(r, seid);
                w.Append(r, kDeleteRecordSize);
                m_deleted = true;
            }
        } catch (...) {
            m_store->RecordBackgroundFailure(std::current_exception());
            throw;
        }
    } catch (...) {
        m_store->GetReaders().EndChange();
        throw;
    }
    m_store->GetReaders().EndChange();
    return existed;
}

void LssTxn::DeleteSeidSpace(SeidHigh)
{
    CheckOwner("DeleteSeidSpace() : Transaction not opened by this thread");
    m_store->CheckBackgroundFailure();
    (void)m_store->GetRPM().GetNextSeidHigh(); // passes the map's lock; removes nothing
}

void LssTxn::Close()
{
    CheckOwner("Close() : Transaction not opened by this thread");
    if (m_writer.IsOpen()) ThrowProgrammingError("Close() : Can't close transaction while writing serial element");
    const bool changed = m_written || m_deleted;
    const bool flush = m_flushWhenClose;
    bool committed = !changed;
    bool waitForCommit = false;
    try {
        if (changed) {
            m_store->CheckBackgroundFailure();
            SegmentWriter& w = m_store->GetSegmentWriter();
            w.EnsureRoom(kTransactionRecordSize);
            uint8_t r[kTransactionRecordSize];
            EncodeTransactionRecord(r, m_store->GetNumTransactions(), GetHPTime());
            w.Append(r, kTransactionRecordSize);
            m_store->IncrementTransactions();
            committed = true;
        }
        if (flush) {
            m_store->Flush();
            m_store->GetStorage()->Sync();
            waitForCommit = m_store->IsCheckPointCommitPending();
        }
    } catch (...) {
        if (!committed) m_store->RecordBackgroundFailure(std::current_exception());
        EndHolding();
        throw;
    }
    EndHolding();
    if (flush) {
        // The units just flushed may follow a check point whose division is not yet on
        // disk: the transaction is durable only once it is. When its commit is no longer
        // pending it has ended, and a failed one has recorded its failure already.
        if (waitForCommit) m_store->WaitForCheckPointCommit();
        m_store->CheckBackgroundFailure();
    }
}

} // namespace vorn
