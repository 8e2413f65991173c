// The store's construction, open and close, reads, transactions, failure record and
// the map's node reader; the opening functions.
#include "vnLss/LSS.h"
#include "vnLss/ContiguousSerialElement.h"
#include "vnLss/LssLayout.h"
#include "vnLss/PacketChain.h"
#include "vnLss/ReadSerialElementStream.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/QuietClose.h"
#include "vnUtils/Trace.h"
#include <cstring>
#include <random>

namespace vorn {

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
    m_logBound = m_numSegmentsPerCheckPoint > 0 ? 2 * int64_t(m_numSegmentsPerCheckPoint) : 0;
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
    m_closing = false;
    m_threadsStarted = true;
    m_checkPointer.Start();
    m_segmentWriter.Start(head);
    m_cleaner.Start();
}

void LSS::StopThreads()
{
    TraceIndenter indent(2);
    // From here no transaction starts: one that held the segment writer before goes
    // into the check point below, and a later one would come after it.
    m_closing = true;
    m_cleaner.Stop();
    m_checkPointer.Stop();
    CheckPointTakenOrDropped();
    if (!m_failures.Has() && m_segmentWriter.IsStarted()) {
        try {
            CheckPointWithNewId();
        } catch (...) {
            RecordBackgroundFailure(std::current_exception());
        }
    }
    m_segmentWriter.Stop();
    if (m_failures.Has()) m_deltas.Close();
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
    if (m_storage) CloseQuietly([this] { m_storage->Close(); });
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
        clean = !m_failures.Has();
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
        if (!clean && failure) *failure = m_failures.Get();
        // Threads that were waiting to open a transaction (let go when the
        // check-pointer stopped) leave the store before it goes.
        std::unique_lock<std::mutex> lock(m_dueLock);
        m_dueChanged.wait(lock, [this] { return m_numOpening == 0; });
    }
    delete this;
    return clean;
}

void LSS::Close() { CloseStore(nullptr); }

bool LSS::CloseReporting(std::exception_ptr* failure) { return CloseStore(failure); }

void LSS::SetMaxNumSegmentsInCache(int32_t count)
{
    TraceIndenter indent(2);
    m_maxNumSegmentsInCache = count;
    m_cache.SetCapacity(count);
}

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
// Reading, transactions and elements

namespace {

// Opens a reader of the element; null when the seid has no element.
template <class Reader> Reader* OpenReader(LssInternal* store, Seid seid)
{
    Reader* r = new Reader(store, seid);
    try {
        if (r->Open()) return r;
    } catch (...) {
        delete r;
        throw;
    }
    delete r;
    return nullptr;
}

} // namespace

ICloseableInputStream* LSS::ReadSerialElement(Seid seid)
{
    TraceIndenter indent(2);
    CheckBackgroundFailure();
    if (!IsValidSeid(seid)) return nullptr;
    return OpenReader<ReadSerialElementStream>(this, seid);
}

IContiguousSerialElement* LSS::GetContiguousSerialElement(Seid seid)
{
    TraceIndenter indent(2);
    CheckBackgroundFailure();
    if (!IsValidSeid(seid)) return nullptr;
    return OpenReader<ContiguousSerialElement>(this, seid);
}

ILssTransaction* LSS::OpenTransaction()
{
    CheckBackgroundFailure();
    if (m_txn.IsOwnedByCallingThread()) ThrowProgrammingError("OpenTransaction() : Transaction already open on this thread");
    {
        std::lock_guard<std::mutex> lock(m_dueLock);
        ++m_numOpening;
    }
    struct Leave {
        LSS* m_lss;
        ~Leave()
        {
            // Notified under the lock: once the count is 0 a close may delete the store,
            // and it cannot see that before this thread has let go of the lock.
            std::lock_guard<std::mutex> lock(m_lss->m_dueLock);
            --m_lss->m_numOpening;
            m_lss->m_dueChanged.notify_all();
        }
    } leave{this};
    WaitForCheckPointTurn();
    CheckBackgroundFailure();
    m_segmentWriter.Lock(false);
    if (!m_segmentWriter.IsStarted() || m_closing) {
        m_segmentWriter.Unlock();
        ThrowProgrammingError("OpenTransaction() : store is not open");
    }
    m_txn.Begin();
    return &m_txn;
}

bool LSS::FreeElement(Seid seid) { return FreePacketChain(m_rpm, m_cache, m_sut, seid); }

bool LSS::IsLivePacket(const PacketHeader& packet) { return vorn::IsLivePacket(m_rpm, packet); }

// ---------------------------------------------------------------------------------
// Failure record

void LSS::RecordBackgroundFailure(std::exception_ptr failure) noexcept
{
    if (!m_failures.Record(failure)) return;
    {
        // Transactions waiting for a check point give up.
        std::lock_guard<std::mutex> lock(m_dueLock);
    }
    m_dueChanged.notify_all();
}

bool LSS::HasBackgroundFailure() { return m_failures.Has(); }

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

LSS* LSS::OpenOnStorage(IRAS* storage, const char* deltasDirPath, bool* createdNew, bool rawDevice,
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

ILogStructuredStore* OpenLSSOnStorage(IRAS* storage, const char* deltasDirPath, bool* createdNew, bool rawDevice,
                                      const LssSettings& settings)
{
    return LSS::OpenOnStorage(storage, deltasDirPath, createdNew, rawDevice, settings);
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
