#include "vnLss/LSS.h"
#include "vnLss/LssLayout.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/Memory.h"
#include "vnUtils/PagedBuffer.h"
#include "vnUtils/Trace.h"
#include <climits>
#include <cstring>
#include <random>

namespace vorn {

namespace {

// Throws a copy of a recorded failure (the kinds the store records are copied; any
// other exception is thrown again as it is).
[[noreturn]] void RethrowCopy(const std::exception_ptr& e)
{
    try {
        std::rethrow_exception(e);
    } catch (const FileException& x) {
        throw FileException(x);
    } catch (const SystemException& x) {
        throw SystemException(x);
    } catch (const CorruptLSSException& x) {
        throw CorruptLSSException(x);
    } catch (const DeserialisationException& x) {
        throw DeserialisationException(x);
    } catch (const ProgrammingErrorException& x) {
        throw ProgrammingErrorException(x);
    }
}

[[noreturn]] void ThrowProgrammingError(const char* m) { throw ProgrammingErrorException(xstring(m)); }

// The rule that every next seid of a chain obeys: an overflow seid of the element's
// space, ascending along the chain (continuation seids come from one counter).
bool NextSeidIsValid(Seid element, Seid current, Seid next)
{
    if (!IsValidOverflowSeid(next) || next.m_high != (element.m_high | kSeidOverflowBit)) return false;
    return current == element || next.m_low > current.m_low;
}

void ReadMarker(InputArchive& ar, const char* text, const char* message)
{
    const size_t n = std::strlen(text);
    int32_t len = 0;
    if (ar.Remaining() < 4) throw CorruptLSSException(xstring(message));
    ar = Read4FromBuffer(ar, len);
    if (len != int32_t(n) || ar.Remaining() < n || std::memcmp(ar.Ptr(), text, n) != 0)
        throw CorruptLSSException(xstring(message));
    ar = SkipInBuffer(ar, n);
}

void NeedRoom(const InputArchive& ar, size_t n)
{
    if (ar.Remaining() < n) ThrowCorruptLss("LSS is corrupt : Root block division ends early");
}

} // namespace

Guid NewCheckPointId()
{
    static std::mutex lock;
    static std::random_device rd;
    uint32_t w[4];
    {
        std::lock_guard<std::mutex> l(lock);
        for (uint32_t& x : w) x = rd();
    }
    Guid g;
    std::memcpy(&g, w, 16);
    g.Data3 = uint16_t((g.Data3 & 0x0FFF) | 0x4000);
    g.Data4[0] = uint8_t((g.Data4[0] & 0x3F) | 0x80);
    return g;
}

// ---------------------------------------------------------------------------------
// Reading

class ReadSerialElementStream : public ICloseableInputStream {
public:
    ReadSerialElementStream(LSS* store, Seid seid) : m_store(store), m_seid(seid) {}
    ~ReadSerialElementStream() override
    {
        m_header.Release();
        if (m_registered) m_store->RemoveReader(m_seid);
    }

    // False when the seid has no element.
    bool Open()
    {
        m_store->AddReader(m_seid);
        m_registered = true;
        const RpmPosition p = m_store->GetRPM().Lookup(m_seid, true);
        if (p.IsEmpty()) return false;
        m_header.Decode(m_store->GetCache(), m_store->GetSUT(), p.m_segmentId, p.m_offset, true, true);
        if (m_header.m_seid != m_seid) ThrowCorruptLss("Seid doesn't match in packet header");
        if (!m_header.IsHead()) ThrowCorruptLss("LSS corrupt : Packet is not the head of a chain");
        m_ptr = m_header.m_payload;
        m_left = m_header.m_length;
        return true;
    }

    // Moves to the next packet of the chain; false at its end.
    bool MoveNext()
    {
        if (!m_header.HasNext()) {
            m_header.Release();
            m_ptr = nullptr;
            m_left = 0;
            return false;
        }
        const Seid current = m_header.m_seid;
        const Seid next = m_header.m_next;
        if (!NextSeidIsValid(m_seid, current, next)) ThrowCorruptLss("LSS is corrupt : Next Seid invalid in packet chain");
        const RpmPosition p = m_store->GetRPM().Lookup(next, true);
        if (p.IsEmpty()) ThrowCorruptLss("LSS is corrupt : packet missing in chain");
        m_header.Decode(m_store->GetCache(), m_store->GetSUT(), p.m_segmentId, p.m_offset, true, true);
        if (m_header.m_seid != next) ThrowCorruptLss("Seid doesn't match in packet header");
        if (m_header.IsHead()) ThrowCorruptLss("LSS is corrupt : Packet chain met a head packet");
        m_ptr = m_header.m_payload;
        m_left = m_header.m_length;
        return true;
    }

    ssize_t ReadStream(void* buffer, ssize_t count) override
    {
        uint8_t* out = static_cast<uint8_t*>(buffer);
        ssize_t done = 0;
        while (done < count) {
            if (m_left == 0) {
                if (!m_ptr || !MoveNext()) break;
                continue;
            }
            const ssize_t n = count - done < m_left ? count - done : m_left;
            std::memcpy(out + done, m_ptr, size_t(n));
            m_ptr += n;
            m_left -= int32_t(n);
            done += n;
        }
        return done;
    }

    void Close() override { delete this; }

    const PacketHeader& Header() const { return m_header; }
    void ReleaseHeader() { m_header.Release(); }

private:
    LSS* m_store;
    Seid m_seid;
    const uint8_t* m_ptr = nullptr;
    int32_t m_left = 0;
    PacketHeader m_header;
    bool m_registered = false;
};

class ContiguousSerialElement : public IContiguousSerialElement {
public:
    ContiguousSerialElement(LSS* store, Seid seid) : m_store(store), m_seid(seid) {}
    ~ContiguousSerialElement() override
    {
        m_header.Release();
        if (m_copy) MemFree(m_copy);
        if (m_registered) m_store->RemoveReader(m_seid);
    }

    // False when the seid has no element.
    bool Open()
    {
        ReadSerialElementStream chain(m_store, m_seid);
        if (!chain.Open()) return false;
        if (!chain.Header().HasNext()) {
            // One packet: the element stays in the pinned segment. The reader entry,
            // the pin and the reservation move over to this object.
            m_store->AddReader(m_seid);
            m_registered = true;
            const RpmPosition p{chain.Header().m_segmentId, chain.Header().m_offset};
            m_store->GetSUT().Reserve(p.m_segmentId);
            m_header.Decode(m_store->GetCache(), m_store->GetSUT(), p.m_segmentId, p.m_offset, true, true);
            m_ptr = m_header.m_payload;
            m_length = m_header.m_length;
            return true;
        }
        PagedBuffer pages(4096);
        int64_t total = 0;
        do {
            const PacketHeader& h = chain.Header();
            total += h.m_length;
            if (total > INT32_MAX) ThrowProgrammingError("GetContiguousSerialElement() : element too large for one buffer");
            pages.Write(h.m_payload, h.m_length);
        } while (chain.MoveNext());
        m_copy = static_cast<uint8_t*>(MemAllocOrThrow(size_t(total)));
        pages.CopyTo(m_copy);
        m_ptr = m_copy;
        m_length = total;
        m_store->AddReader(m_seid);
        m_registered = true;
        return true;
    }

    void Release() override
    {
        LSS* store = m_store;
        delete this;
        store->CheckBackgroundFailure();
    }

    const uint8_t* GetBuffer(int64_t& length) const override
    {
        length = m_length;
        return m_ptr;
    }

private:
    LSS* m_store;
    Seid m_seid;
    const uint8_t* m_ptr = nullptr;
    int64_t m_length = 0;
    PacketHeader m_header;
    uint8_t* m_copy = nullptr;
    bool m_registered = false;
};

void LSS::AddReader(Seid seid)
{
    std::unique_lock<std::mutex> lock(m_readLock);
    for (;;) {
        if (m_changing != seid) break;
        if (!m_changingIsDelete) ThrowProgrammingError("ReadSerialElement() : Currenly writing given serial element");
        m_readChanged.wait(lock); // a delete is short: wait for it to end
    }
    ++m_reading[seid];
}

void LSS::RemoveReader(Seid seid) noexcept
{
    std::lock_guard<std::mutex> lock(m_readLock);
    auto it = m_reading.find(seid);
    if (it != m_reading.end() && --it->second <= 0) m_reading.erase(it);
}

void LSS::BeginChange(Seid seid, bool forDelete, const char* readMessage)
{
    std::lock_guard<std::mutex> lock(m_readLock);
    if (m_reading.count(seid)) ThrowProgrammingError(readMessage);
    m_changing = seid;
    m_changingIsDelete = forDelete;
}

void LSS::EndChange() noexcept
{
    {
        std::lock_guard<std::mutex> lock(m_readLock);
        m_changing = Seid();
        m_changingIsDelete = false;
    }
    m_readChanged.notify_all();
}

bool LSS::IsBeingWritten(Seid seid)
{
    std::lock_guard<std::mutex> lock(m_readLock);
    return m_changing == seid && !m_changingIsDelete;
}

ICloseableInputStream* LSS::ReadSerialElement(Seid seid)
{
    TraceIndenter indent(2);
    CheckBackgroundFailure();
    if (!IsValidSeid(seid)) return nullptr;
    ReadSerialElementStream* s = new ReadSerialElementStream(this, seid);
    try {
        if (s->Open()) return s;
    } catch (...) {
        delete s;
        throw;
    }
    delete s;
    return nullptr;
}

IContiguousSerialElement* LSS::GetContiguousSerialElement(Seid seid)
{
    TraceIndenter indent(2);
    CheckBackgroundFailure();
    if (!IsValidSeid(seid)) return nullptr;
    ContiguousSerialElement* e = new ContiguousSerialElement(this, seid);
    try {
        if (e->Open()) return e;
    } catch (...) {
        delete e;
        throw;
    }
    delete e;
    return nullptr;
}

bool LSS::IsLivePacket(const PacketHeader& packet)
{
    const RpmPosition p = m_rpm.Lookup(packet.m_seid, false);
    return p.m_segmentId == packet.m_segmentId && p.m_offset == packet.m_offset;
}

// ---------------------------------------------------------------------------------
// Freeing an element

bool LSS::FreeElement(Seid seid)
{
    TraceIndenter indent(2);
    RpmPosition p = m_rpm.Lookup(seid, false);
    if (p.IsEmpty()) return false;
    PacketHeader h;
    h.Decode(m_cache, m_sut, p.m_segmentId, p.m_offset, false);
    if (h.m_seid != seid) ThrowCorruptLss("Seid doesn't match in packet header");
    for (;;) {
        if (!m_rpm.RemovePosition(h.m_seid)) ThrowCorruptLss("LSS is corrupt : Packet missing in RPM");
        m_sut.AddUtilisation(h.m_segmentId, -h.Size());
        if (!h.HasNext()) break;
        const Seid current = h.m_seid, next = h.m_next;
        if (!NextSeidIsValid(seid, current, next)) ThrowCorruptLss("LSS is corrupt : Next Seid invalid in packet chain");
        p = m_rpm.Lookup(next, false);
        if (p.IsEmpty()) ThrowCorruptLss("LSS is corrupt : Packet missing in chain");
        h.Decode(m_cache, m_sut, p.m_segmentId, p.m_offset, false);
        if (h.m_seid != next) ThrowCorruptLss("Seid doesn't match in packet header");
        if (h.IsHead()) ThrowCorruptLss("LSS is corrupt : Packet chain met a head packet");
    }
    return true;
}

// ---------------------------------------------------------------------------------
// Serial-element writer

void SerialElementWriter::BeginPacket(Seid seid, bool head)
{
    SegmentWriter& w = m_store->GetSegmentWriter();
    w.EnsureRoom(kMinRoomElementPacket);
    m_packetSeid = seid;
    m_packetSegment = w.GetSegmentId();
    m_packetOffset = w.GetWriteOffset();
    uint8_t h[kPacketHeaderBytes];
    EncodePacketHeader(h, head ? PF_HEAD : 0, seid, -1);
    w.Append(h, kPacketHeaderBytes);
}

void SerialElementWriter::EndPacket(const Seid* next)
{
    SegmentWriter& w = m_store->GetSegmentWriter();
    uint8_t* p = w.GetBuffer() + m_packetOffset;
    int32_t total = w.GetWriteOffset() - m_packetOffset;
    SetPacketLength(p, total - kPacketHeaderBytes);
    if (next) {
        p[kPacketFlagsOffset] |= PF_HAS_NEXT;
        uint8_t n[kNextSeidBytes];
        EncodeNextSeid(n, *next);
        w.Append(n, kNextSeidBytes);
        total += kNextSeidBytes;
    }
    m_store->GetRPM().SetPosition(m_packetSeid, m_packetSegment, m_packetOffset);
    m_store->GetSUT().AddUtilisation(m_packetSegment, total);
}

void SerialElementWriter::Open(Seid seid)
{
    m_store->BeginChange(seid, false, "WriteSerialElement() : Currently reading given serial element");
    try {
        m_store->CheckBackgroundFailure();
    } catch (...) {
        m_store->EndChange();
        throw;
    }
    m_elementSeid = seid;
    SetTraceIndent(GetTraceIndent() + 2);
    m_indentRaised = true;
    try {
        m_store->FreeElement(seid);
        BeginPacket(seid, true);
    } catch (...) {
        SetTraceIndent(GetTraceIndent() - 2);
        m_indentRaised = false;
        m_store->EndChange();
        m_store->RecordBackgroundFailure(std::current_exception());
        throw;
    }
    m_store->GetSegmentWriter().SetElementOpen(true);
    m_open = true;
}

void SerialElementWriter::WriteStream(const void* bytes, ssize_t n)
{
    if (!m_open) ThrowProgrammingError("WriteStream() called on closed stream");
    if (n < 0) ThrowProgrammingError("WriteStream() : negative count");
    SegmentWriter& w = m_store->GetSegmentWriter();
    const uint8_t* src = static_cast<const uint8_t*>(bytes);
    try {
        while (n > 0) {
            const int64_t room = int64_t(w.Remaining()) - kNextSeidBytes;
            const int64_t take = room <= 0 ? 0 : (room < n ? room : n);
            if (take > 0) {
                w.Append(src, int32_t(take));
                src += take;
                n -= take;
            }
            if (n > 0) {
                const Seid overflow = m_store->GetRPM().AllocateOverflowSeid(m_elementSeid.m_high);
                EndPacket(&overflow);
                w.NewSegment();
                BeginPacket(overflow, false);
            }
        }
    } catch (...) {
        m_store->RecordBackgroundFailure(std::current_exception());
        throw;
    }
}

void SerialElementWriter::Close()
{
    if (!m_open) ThrowProgrammingError("Close() called on closed stream");
    std::exception_ptr failure;
    try {
        EndPacket(nullptr);
    } catch (...) {
        failure = std::current_exception();
        m_store->RecordBackgroundFailure(failure);
    }
    if (m_indentRaised) {
        SetTraceIndent(GetTraceIndent() - 2);
        m_indentRaised = false;
    }
    m_open = false;
    m_store->GetSegmentWriter().SetElementOpen(false);
    m_store->EndChange();
    if (failure) std::rethrow_exception(failure);
}

void SerialElementWriter::Abandon() noexcept
{
    if (!m_open) return;
    if (m_indentRaised) {
        SetTraceIndent(GetTraceIndent() - 2);
        m_indentRaised = false;
    }
    m_open = false;
    m_store->GetSegmentWriter().SetElementOpen(false);
    m_store->EndChange();
}

// ---------------------------------------------------------------------------------
// Transaction

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
    if (m_store->IsBeingWritten(seid)) ThrowProgrammingError("DeleteSeidSpace() : Currenly writing given serial element");
    if (m_writer.IsOpen()) ThrowProgrammingError("DeleteSerialElement() : a serial element is being written");
    m_store->BeginChange(seid, true, "DeleteSeidSpace() : Currenly reading given serial element");
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
        m_store->EndChange();
        throw;
    }
    m_store->EndChange();
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
        if (m_flushWhenClose) {
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
    if (waitForCommit) {
        // The units just flushed follow a check point whose division is not yet on
        // disk: the transaction is durable only once it is.
        m_store->WaitForCheckPointCommit();
        m_store->CheckBackgroundFailure();
    }
}

ILssTransaction* LSS::OpenTransaction()
{
    CheckBackgroundFailure();
    if (m_txn.IsOwnedByCallingThread()) ThrowProgrammingError("OpenTransaction() : Transaction already open on this thread");
    {
        // A requested check point goes first.
        std::unique_lock<std::mutex> lock(m_dueLock);
        m_dueChanged.wait(lock, [this] { return !m_checkPointDue || m_failed.load(); });
    }
    CheckBackgroundFailure();
    m_segmentWriter.Lock(false);
    if (!m_segmentWriter.IsStarted()) {
        m_segmentWriter.Unlock();
        ThrowProgrammingError("OpenTransaction() : store is not open");
    }
    m_txn.Begin();
    return &m_txn;
}

// ---------------------------------------------------------------------------------
// Failure record

void LSS::RecordBackgroundFailure(std::exception_ptr failure) noexcept
{
    {
        std::lock_guard<std::mutex> lock(m_failureLock);
        if (m_failed) return;
        m_failure = failure;
        m_failed = true;
    }
    {
        // Transactions waiting for a check point give up.
        std::lock_guard<std::mutex> lock(m_dueLock);
    }
    m_dueChanged.notify_all();
}

void LSS::ClearBackgroundFailure()
{
    std::lock_guard<std::mutex> lock(m_failureLock);
    m_failure = nullptr;
    m_failed = false;
}

bool LSS::HasBackgroundFailure() { return m_failed.load(); }

void LSS::CheckBackgroundFailure()
{
    if (!m_failed.load()) return;
    std::exception_ptr e;
    {
        std::lock_guard<std::mutex> lock(m_failureLock);
        e = m_failure;
    }
    if (e) RethrowCopy(e);
}

// ---------------------------------------------------------------------------------
// Construction, open and close

LSS::LSS(std::unique_ptr<IRAS> storage, const char* deltasDirPath, const LssSettings& settings)
    : LssSettings(settings),
      m_storageOwner(std::move(storage)),
      m_storage(m_storageOwner.get()),
      m_deltasDirPath(deltasDirPath ? deltasDirPath : ""),
      m_rootBlock(m_storage, settings.m_segmentSize),
      m_cache(m_storage, IsValidSegmentSize(settings.m_segmentSize) ? settings.m_segmentSize : 0x80000),
      m_sut(m_storage),
      m_rpm(&m_sut, this),
      m_deltas(this, deltasDirPath),
      m_segmentWriter(this),
      m_txn(this),
      m_checkPointer(this),
      m_cleaner(this)
{
}

LSS::~LSS()
{
    Abandon();
    // The members that hold storage buffers go before the storage.
}

void LSS::Open(bool* createdNew, bool rawDevice)
{
    m_cache.SetCapacity(m_maxNumSegmentsInCache);
    const uint64_t size = m_storage->GetSize();
    bool create = rawDevice ? !RootBlock::HasMagic(m_storage) : size == 0;
    if (!create && RootBlock::IsUnfinishedCreation(m_storage)) {
        // Creation stopped before the first division was committed: nothing in the
        // file is of value, so the store is created afresh.
        m_storage->SetSize(0);
        create = true;
    }
    if (createdNew) *createdNew = create;
    {
        TraceIndenter indent(2);
        if (create) Create();
        else OpenExisting();
    }
    CheckBackgroundFailure();
}

void LSS::Create()
{
    if (!IsValidSegmentSize(m_segmentSize)) ThrowProgrammingError("LSS : invalid segment size in the settings");
    m_sut.SetSegmentSize(m_segmentSize);
    m_rootBlock.WriteHeaderSector();
    m_rootBlock.SetGracefulShutdown(false);
    // A random first id: units of an earlier store left in reused space never match it.
    m_cpid = NewCheckPointId();
    m_deltas.Position(m_cpid, m_numCheckPoints);
    StartThreads(nullptr);
    CheckPointWithNewId();
}

void LSS::StartThreads(const LogHead* head)
{
    TraceIndenter indent(2);
    ClearBackgroundFailure();
    m_threadsStarted = true;
    m_checkPointer.Start();
    m_segmentWriter.Start(head);
    m_cleaner.Start();
}

void LSS::StopThreads()
{
    TraceIndenter indent(2);
    m_cleaner.Stop();
    m_checkPointer.Stop();
    CheckPointTakenOrDropped();
    if (!m_failed && m_segmentWriter.IsStarted()) {
        try {
            CheckPointWithNewId();
        } catch (...) {
            RecordBackgroundFailure(std::current_exception());
        }
    }
    m_segmentWriter.Stop();
    if (m_failed) m_deltas.Close();
    m_threadsStarted = false;
}

// Stops the threads without a check point and closes the storage.
void LSS::Abandon() noexcept
{
    if (m_threadsStarted) {
        m_cleaner.Stop();
        m_checkPointer.Stop();
        m_segmentWriter.Stop();
        m_threadsStarted = false;
    }
    if (m_storage) {
        try {
            m_storage->Close();
        } catch (...) {
        }
    }
}

bool LSS::CloseStore(std::exception_ptr* failure) noexcept
{
    bool clean;
    {
        TraceIndenter indent(2);
        // The caller's own transaction ends first (the check point below would wait for
        // it for ever). What it changed is not committed: the store is left to recovery,
        // which drops it, rather than checkpointed with it.
        if (m_txn.IsOwnedByCallingThread() && m_txn.Abandon()) {
            RecordBackgroundFailure(std::make_exception_ptr(
                ProgrammingErrorException(xstring("Close() : the store was closed inside a transaction that changed it"))));
        }
        StopThreads();
        clean = !m_failed;
        if (clean) {
            try {
                m_storage->Sync();
                m_rootBlock.SetGracefulShutdown(true);
                m_storage->Sync();
            } catch (...) {
                RecordBackgroundFailure(std::current_exception());
                clean = false;
            }
        }
        if (!clean && failure) {
            std::lock_guard<std::mutex> lock(m_failureLock);
            *failure = m_failure;
        }
    }
    delete this;
    return clean;
}

void LSS::Close() { CloseStore(nullptr); }

bool LSS::CloseReporting(std::exception_ptr* failure) { return CloseStore(failure); }

void LSS::Flush()
{
    TraceIndenter indent(2);
    {
        CriticalSectionLock lock(m_segmentWriter.GetLock());
        if (!m_segmentWriter.IsStarted()) return;
        m_segmentWriter.Flush();
    }
    m_segmentWriter.GetLazyWriter().Flush(false);
}

// ---------------------------------------------------------------------------------
// Root division

void LSS::WriteRootDivision(Archive& ar, const PagedBuffer& rpmImage)
{
    m_divisionSchema = kDivisionSchema;
    ar.Write4(uint32_t(sizeof kDivisionBeginMarker - 1));
    ar.WriteBytes(kDivisionBeginMarker, sizeof kDivisionBeginMarker - 1);
    ar.Write4(uint32_t(kDivisionSchema));
    m_sut.Serialise(ar);
    int32_t left = rpmImage.GetSize();
    for (int32_t i = 0; left > 0; ++i) {
        const int32_t n = left < rpmImage.GetPageSize() ? left : rpmImage.GetPageSize();
        ar.WriteBytes(rpmImage.GetPage(i), n);
        left -= n;
    }
    ar.Write4(uint32_t(m_positionOfLastCheckPoint.m_segmentId));
    ar.Write4(uint32_t(m_positionOfLastCheckPoint.m_offset));
    ar.Write4(uint32_t(m_mssn));
    ar.SerialiseGuid(m_cpid);
    ar.Write8(uint64_t(m_numTransactions));
    ar.Write4(uint32_t(m_numCheckPoints));
    ar.Write4(uint32_t(sizeof kDivisionEndMarker - 1));
    ar.WriteBytes(kDivisionEndMarker, sizeof kDivisionEndMarker - 1);
}

void LSS::ReadRootDivision(InputArchive ar)
{
    ReadMarker(ar, kDivisionBeginMarker, "LSS is corrupt : Root block division must begin with string 'LSS-BEGIN-DIV'");
    NeedRoom(ar, 4);
    int32_t schema = 0;
    ar = Read4FromBuffer(ar, schema);
    if (schema < 1 || schema > kDivisionSchema) {
        char m[96];
        std::snprintf(m, sizeof m, "Bad schema (%d) - should be between 1 and %d", schema, kDivisionSchema);
        ThrowDeserialisationException(m);
    }
    if (schema == 2 || schema == 3) ThrowCorruptLss("LSS schema 2,3 no longer supported");
    m_divisionSchema = schema;
    ar = m_sut.Deserialise(ar);
    ar = m_rpm.Deserialise(ar);
    NeedRoom(ar, 8 + 4 + 16);
    ar = Read4FromBuffer(ar, m_positionOfLastCheckPoint.m_segmentId);
    ar = Read4FromBuffer(ar, m_positionOfLastCheckPoint.m_offset);
    ar = Read4FromBuffer(ar, m_mssn);
    ar = DeserialiseGuid(ar, m_cpid);
    m_numTransactions = 0;
    m_numCheckPoints = 0;
    if (schema == 4) {
        NeedRoom(ar, 12);
        ar = Read8FromBuffer(ar, m_numTransactions);
        ar = Read4FromBuffer(ar, m_numCheckPoints);
    }
    ReadMarker(ar, kDivisionEndMarker, "LSS is corrupt : Root block division must end with string 'LSS-END-DIV'");
}

// ---------------------------------------------------------------------------------
// Map operations

void LSS::SetMaxNumSegmentsInCache(int32_t count)
{
    TraceIndenter indent(2);
    m_maxNumSegmentsInCache = count;
    m_cache.SetCapacity(count);
}

SeidHigh LSS::AllocateSeidHigh()
{
    TraceIndenter indent(2);
    return m_rpm.AllocateSeidHigh();
}

Seid LSS::AllocateSeid(SeidHigh high)
{
    TraceIndenter indent(2);
    return m_rpm.AllocateSeid(high);
}

SeidLow LSS::GetNextSeidLow(SeidHigh high)
{
    TraceIndenter indent(2);
    return m_rpm.GetNextSeidLow(high);
}

bool LSS::AllocateSeidNear(Seid& seid)
{
    TraceIndenter indent(2);
    return m_rpm.AllocateSeidNear(seid);
}

void LSS::GetSeidLowsInSpace(xvector<SeidLow>& out, SeidHigh high) { m_rpm.GetSeidLowsInSpace(out, high); }

bool LSS::SerialElementExists(Seid seid)
{
    TraceIndenter indent(2);
    CheckBackgroundFailure();
    if (!IsValidSeid(seid)) return false;
    return !m_rpm.Lookup(seid, false).IsEmpty();
}

bool LSS::GetRpmChildren(SeidLow low, SeidHigh high, xvector<Seid>& out) { return m_rpm.GetChildren(Seid(low, high), out); }

bool LSS::DumpRpmNode(SeidLow low, SeidHigh high, TextWriter& w) { return m_rpm.DumpNode(Seid(low, high), w); }

// ---------------------------------------------------------------------------------
// Node packets read by the map

void LSS::OpenPacket(RpmPosition pos, RpmPacket& packet)
{
    PacketHeader* h = new PacketHeader;
    try {
        h->Decode(m_cache, m_sut, pos.m_segmentId, pos.m_offset, false);
    } catch (...) {
        delete h;
        throw;
    }
    packet.m_seid = h->m_seid;
    packet.m_payload = h->m_payload;
    packet.m_length = h->m_length;
    packet.m_hasNext = h->HasNext();
    packet.m_handle = h;
}

void LSS::ClosePacket(RpmPacket& packet) noexcept
{
    delete static_cast<PacketHeader*>(packet.m_handle);
    packet.m_handle = nullptr;
    packet.m_payload = nullptr;
}

// ---------------------------------------------------------------------------------
// Opening

LSS* OpenLSSOnStorage(IRAS* storage, const char* deltasDirPath, bool* createdNew, bool rawDevice,
                      const LssSettings& settings)
{
    std::unique_ptr<IRAS> owned(storage);
    LSS* store = new LSS(std::move(owned), deltasDirPath, settings);
    try {
        store->Open(createdNew, rawDevice);
    } catch (...) {
        delete store; // stops what was started and closes the storage
        throw;
    }
    return store;
}

ILogStructuredStore* OpenLSS(const char* path, const char* deltasDirPath, bool* createdNew, EOpenMode mode,
                             const LssSettings* settings)
{
    const LssSettings s = settings ? *settings : LssSettings();
    IRAS* storage = OpenRAS(path, mode, s);
    const bool rawDevice = std::strncmp(path, "\\\\.\\", 4) == 0;
    return OpenLSSOnStorage(storage, deltasDirPath, createdNew, rawDevice, s);
}

} // namespace vorn
