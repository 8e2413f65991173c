#include "vnPersistStore/PersistStore.h"
#include "vnObject/CSpace.h"
#include "vnPersistStore/ObjectSerialisation.h"
#include "vnPersistStore/PSpace.h"
#include "vnPersistStore/PersistExceptions.h"
#include "vnPersistStore/PersistStoreLayout.h"
#include "vnPersistStore/PersistStoreTxn.h"
#include "vnPersistStore/SpaceOperations.h"
#include "vnPersistStore/StoreTransaction.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/Trace.h"

namespace vorn {

namespace {

constexpr int32_t kOwnCSpaceMilliSecsPerGc = 2000;

// The collector loop of a space's own CSpace, run with the space as the thread's.
void RunSpaceCollector(void*, CSpace* cspace)
{
    RestoreThreadPSpace restoreP(GetPSpaceOfCSpace(cspace));
    RestoreThreadCSpace restoreC(cspace);
    cspace->RunCollectorLoop();
}

} // namespace

PersistStore::PersistStore(ILogStructuredStore* lss, const PersistStoreSettings& settings)
    : m_lss(lss), m_settings(settings)
{
}

PersistStore::~PersistStore() = default;

void PersistStore::Open(bool createdNew)
{
    // A store cut off before its creation reached the disk holds no element at all:
    // it is created again rather than refused.
    if (!createdNew && !m_lss->SerialElementExists(Seid(kSchemaElementLow, kStoreElementsHigh)) &&
        !m_lss->SerialElementExists(Seid(kRegistryElementLow, kStoreElementsHigh))) {
        LssStats stats;
        m_lss->GetStats(&stats);
        createdNew = stats.m_numSerialElements == 0;
    }
    if (createdNew) {
        m_seidHigh = m_lss->AllocateSeidHigh();
        m_lss->AllocateSeid(m_seidHigh); // the schema element
        m_lss->AllocateSeid(m_seidHigh); // the registry element
        m_schema.m_dirty.store(true);
        // On the disk before the store is handed out: a store without them never opens.
        RunInStoreTransaction(m_lss, true, [&](ILssTransaction* txn) {
            WriteSchemaElement(txn);
            WriteRegistryElement(txn);
        });
    } else {
        ReadSchemaElement();
        if (m_schema.m_dirty.load())
            RunInStoreTransaction(m_lss, false, [&](ILssTransaction* txn) { WriteSchemaElement(txn); });
        ReadRegistryElement();
    }
    m_loader.Start();
    if (m_settings.startObjectDeletion) m_writer.Start();
}

PersistStore* OpenPersistStoreOnLss(ILogStructuredStore* lss, bool createdNew, const PersistStoreSettings* settings)
{
    PersistStore* store = nullptr;
    try {
        // The copy of the settings allocates too: the store is taken over whatever fails.
        const PersistStoreSettings s = settings ? *settings : PersistStoreSettings{};
        store = new PersistStore(lss, s);
    } catch (...) {
        lss->Close();
        throw;
    }
    try {
        store->Open(createdNew);
    } catch (...) {
        store->Shutdown();
        delete store;
        throw;
    }
    return store;
}

PersistStore* OpenPersistStore(const char* lssPath, EOpenMode openMode, const PersistStoreSettings* settings)
{
    const PersistStoreSettings s = settings ? *settings : PersistStoreSettings{};
    bool createdNew = false;
    ILogStructuredStore* lss = OpenLSS(lssPath, s.deltasDirPath, &createdNew, openMode, &s.lssSettings);
    return OpenPersistStoreOnLss(lss, createdNew, &s);
}

// ---- the store's elements ------------------------------------------------------------

bool PersistStore::WriteSchemaElement(ILssTransaction* txn)
{
    if (!m_schema.m_dirty.exchange(false)) return false;
    try {
        ICloseableOutputStream* stream = txn->WriteSerialElement(kSchemaElementLow, kStoreElementsHigh);
        {
            Archive ar(stream);
            ar.WriteCompressedUInt32(kStoreSchema);
            m_schema.m_classIds.Write(ar);
            ar.Write4(m_seidHigh);
            m_schema.m_typeOps.Write(ar);
            ar.Flush();
        }
        stream->Close();
    } catch (...) {
        m_schema.m_dirty.store(true);
        throw;
    }
    return true;
}

void PersistStore::WriteRegistryElement(ILssTransaction* txn)
{
    std::lock_guard<std::mutex> lock(m_registryLock);
    if (!m_registryDirty) return;
    ICloseableOutputStream* stream = txn->WriteSerialElement(kRegistryElementLow, kStoreElementsHigh);
    {
        Archive ar(stream);
        ar.WriteCompressedUInt32(kRegistrySchema);
        uint32_t count = 0;
        for (const auto& [name, e] : m_registry) count += e.m_persisted ? 1 : 0;
        ar.WriteCompressedUInt32(count);
        for (const auto& [name, e] : m_registry) {
            if (!e.m_persisted) continue;
            ar.WriteCompressedUInt32(uint32_t(name.size()));
            ar.WriteBytes(name.data(), name.size());
            WriteOid(ar, e.m_oid);
        }
        ar.Flush();
    }
    m_registryDirty = false;
    stream->Close();
}

void PersistStore::ReadSchemaElement()
{
    const bool found = ReadSerialElement(m_lss, Seid(kSchemaElementLow, kStoreElementsHigh), [&](InputArchive in) {
        int schema;
        in = ReadSchema(in, kStoreSchema, schema);
        bool dirty = false;
        in = m_schema.m_classIds.Read(in, m_settings.translationTable, dirty);
        uint32_t high;
        in = Read4FromBuffer(in, high);
        if (!IsValidSeid(Seid(kSeidCounterStart, high)))
            ThrowDeserialisationException("Bad schema record : the store's seid-high is not valid");
        if (schema >= 2) in = m_schema.m_typeOps.Read(in);
        m_seidHigh = high;
        if (dirty) m_schema.m_dirty.store(true);
    });
    if (!found) throw CorruptLSSException(xstring("Persistent store : the schema element is missing"));
}

void PersistStore::ReadRegistryElement()
{
    Registry registry;
    const bool found = ReadSerialElement(m_lss, Seid(kRegistryElementLow, kStoreElementsHigh), [&](InputArchive in) {
        int schema;
        in = ReadSchema(in, kRegistrySchema, schema);
        uint32_t count;
        in = ReadCompressedUInt32FromBuffer(in, count);
        // An entry takes at least a length byte and two OID bytes.
        if (count > in.Remaining() / 2) ThrowDeserialisationException("Bad registry record : count beyond the record");
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t n;
            in = ReadCompressedUInt32FromBuffer(in, n);
            CheckArchiveRoom(in, n);
            const char* p = reinterpret_cast<const char*>(in.Ptr());
            xstring name(p, p + n);
            in.m_ptr += n;
            OID oid;
            in = ReadOid(in, oid);
            if (oid.IsNull()) ThrowDeserialisationException("Bad registry record : a space without an OID");
            const auto [it, added] = registry.try_emplace(std::move(name));
            if (!added) ThrowDeserialisationException("Bad registry record : a name listed twice");
            it->second.m_oid = oid;
            it->second.m_persisted = true;
        }
    });
    if (!found) throw CorruptLSSException(xstring("Persistent store : the space registry element is missing"));
    std::lock_guard<std::mutex> lock(m_registryLock);
    m_registry = std::move(registry);
    m_registryDirty = false;
}

void PersistStore::MarkPersisted(PSpace* space)
{
    std::lock_guard<std::mutex> lock(m_registryLock);
    auto it = m_registry.find(space->GetName());
    if (it == m_registry.end() || it->second.m_persisted) return;
    it->second.m_persisted = true;
    m_registryDirty = true;
}

void PersistStore::MarkStoreElementsDirty()
{
    std::lock_guard<std::mutex> lock(m_registryLock);
    m_registryDirty = true;
}

bool PersistStore::IsRegistryDirty()
{
    std::lock_guard<std::mutex> lock(m_registryLock);
    return m_registryDirty;
}

// ---- operations ------------------------------------------------------------------------

void PersistStore::StartObjectDeletion() { m_writer.Start(); }

void PersistStore::WriteAllDirtyObjectsToLss(bool flushToDisk)
{
    if (!m_writer.IsRunning()) return;
    m_writer.WriteAll(flushToDisk);
    m_writer.ThrowRecordedFailure();
}

PersistStoreTxn* PersistStore::OpenTxn(const PSpaceLockPair* pairs, int32_t count)
{
    return new PersistStoreTxn(this, pairs, count);
}

int32_t PersistStore::GetNumPSpaces()
{
    std::lock_guard<std::mutex> lock(m_registryLock);
    return int32_t(m_registry.size());
}

int32_t PersistStore::GetNumPersistableObjects()
{
    if (m_writer.IsRunning()) WriteAllDirtyObjectsToLss(false);
    LssStats stats;
    m_lss->GetStats(&stats);
    // A space has its two elements (named roots, pending deletions) once the writer has
    // written it, which is when its registry entry becomes persisted.
    int32_t persistedSpaces = 0;
    {
        std::lock_guard<std::mutex> lock(m_registryLock);
        for (const auto& [name, e] : m_registry) persistedSpaces += e.m_persisted ? 1 : 0;
    }
    const int64_t count = int64_t(stats.m_numSerialElements) - 2 * int64_t(persistedSpaces) - 2;
    return count > 0 ? int32_t(count) : 0;
}

// ---- spaces --------------------------------------------------------------------------

PSpace* PersistStore::ConstructSpace(const xstring& name, OID oid, bool createdNew, CSpace* cspace)
{
    const bool ownCSpace = cspace == nullptr;
    PSpace* space = nullptr;
    if (ownCSpace) cspace = CreateCSpace(false, GCThreadFn{nullptr, &RunSpaceCollector});
    try {
        space = new PSpace(m_lss, &m_schema, &m_loader, cspace, name, oid, createdNew);
        SpaceWriteState& st = space->GetWriteState();
        st.m_store = this;
        st.m_deletions.SetDirty(createdNew);
        if (ownCSpace) cspace->SetMilliSecsPerGc(kOwnCSpaceMilliSecsPerGc);
        {
            RestoreThreadPSpace restoreP(space);
            RestoreThreadCSpace restoreC(cspace);
            CSpaceLock lock(cspace);
            CreateSpaceRootObject(*space);
            if (createdNew) {
                // The pending-deletions element lies next to the roots element.
                Seid near = oid.AsSeid();
                if (!m_lss->AllocateSeidNear(near)) near = m_lss->AllocateSeid(oid.m_high);
                space->GetRoots().SetPendingDeletionsOid(OID(near));
            } else {
                space->LoadRoots();
                space->GetWriteState().m_deletions.LoadPendingDeletions(m_lss, space->GetRoots().GetPendingDeletionsOid());
            }
        }
        // The collector runs with the space as its thread's space.
        if (ownCSpace) cspace->StartGc();
    } catch (...) {
        if (space) {
            {
                CSpaceLock lock(cspace);
                DetachSpaceRootObject(*space);
            }
            space->GetWriteState().m_store = nullptr;
            delete space;
        }
        if (ownCSpace) cspace->Destroy();
        throw;
    }
    // Only now on the writer's lists (nothing fails from here on): a space whose building
    // failed was never reachable by the writer. Not yet published, the space is read
    // here by nobody else. A new space writes its roots and its registry entry first.
    m_writer.RegisterSpace(space);
    if (createdNew) space->GetWriteState().m_dirty.Schedule();
    return space;
}

PersistStore::Registry::iterator PersistStore::EntryOf(PSpace* space)
{
    auto it = m_registry.find(space->GetName());
    if (it == m_registry.end() || it->second.m_space != space)
        throw ProgrammingErrorException(xstring("the persistent space is not open"));
    return it;
}

PersistStore::Registry::iterator PersistStore::EntryAt(PSpace* space)
{
    // By the address alone: the space itself is not read, it may be gone.
    for (auto it = m_registry.begin(); it != m_registry.end(); ++it)
        if (it->second.m_space == space && space != nullptr) return it;
    throw ProgrammingErrorException(xstring("the persistent space is not open"));
}

PSpace* PersistStore::OpenPSpace(const char* name, EOpenMode mode, bool* createdNew, CSpace* cspace)
{
    const xstring key(name);
    bool created = false;
    OID oid;
    {
        std::unique_lock<std::mutex> lock(m_registryLock);
        for (;;) {
            auto it = m_registry.find(key);
            if (it != m_registry.end() && it->second.m_busy) {
                // Built or destroyed by another thread, which needs no lock to finish.
                ++m_waitingOpens;
                m_registryChanged.wait(lock);
                --m_waitingOpens;
                continue;
            }
            if (it == m_registry.end()) {
                if (mode == OM_OPEN_EXISTING || mode == OM_DELETE_EXISTING) throw OpenPSpaceException(key, mode);
                Seid seid(kSeidCounterStart, m_seidHigh);
                // Never the schema element's seid: a failed search takes a fresh one.
                if (!m_lss->AllocateSeidNear(seid)) seid = m_lss->AllocateSeid(m_seidHigh);
                RegistryEntry& e = m_registry.try_emplace(key).first->second;
                e.m_oid = OID(seid);
                e.m_busy = true;
                created = true;
                oid = e.m_oid;
                break;
            }
            if (mode == OM_CREATE_NEW) throw OpenPSpaceException(key, mode);
            if (it->second.m_space) {
                // Also a space whose last close is under way: that close is given up.
                ++it->second.m_refs;
                ++it->second.m_opens;
                if (createdNew) *createdNew = false;
                return it->second.m_space;
            }
            it->second.m_busy = true;
            oid = it->second.m_oid;
            break;
        }
    }
    PSpace* space = nullptr;
    try {
        space = ConstructSpace(key, oid, created, cspace);
    } catch (...) {
        std::lock_guard<std::mutex> lock(m_registryLock);
        auto it = m_registry.find(key);
        if (created) m_registry.erase(it);
        else it->second.m_busy = false;
        m_registryChanged.notify_all();
        throw;
    }
    {
        std::lock_guard<std::mutex> lock(m_registryLock);
        RegistryEntry& e = m_registry.find(key)->second;
        e.m_refs = 1;
        e.m_opens = 1;
        space->GetWriteState().m_references = &e.m_refs;
        e.m_space = space;
        e.m_busy = false;
        m_registryChanged.notify_all();
    }
    if (m_openHook) m_openHook(space);
    if (createdNew) *createdNew = created;
    return space;
}

void PersistStore::HoldPSpace(PSpace* space)
{
    // The caller's reference keeps the count above 0: no lock needed. A store's close
    // waits for the hold to be given back.
    std::atomic<int32_t>* refs = space->GetWriteState().m_references;
    if (refs == nullptr) throw ProgrammingErrorException(xstring("the persistent space is not open"));
    refs->fetch_add(1);
}

int32_t PersistStore::GetNumPSpaceReferences(const char* name)
{
    std::lock_guard<std::mutex> lock(m_registryLock);
    auto it = m_registry.find(xstring(name));
    return it == m_registry.end() || it->second.m_space == nullptr ? 0 : it->second.m_refs.load();
}

int32_t PersistStore::GetNumWaitingOpensForTests()
{
    std::lock_guard<std::mutex> lock(m_registryLock);
    return m_waitingOpens;
}

void PersistStore::ClosePSpace(PSpace* space)
{
    const xstring* name;
    {
        std::lock_guard<std::mutex> lock(m_registryLock);
        const Registry::iterator it = EntryAt(space);
        RegistryEntry& e = it->second;
        if (e.m_opens <= 0) throw ProgrammingErrorException(xstring("the persistent space is closed more often than opened"));
        --e.m_opens;
        if (e.m_refs.fetch_sub(1) > 1) return;
        // The close under way keeps the space alive until it ends, and its entry (whose
        // name the close uses) with it.
        ++e.m_closing;
        name = &it->first;
    }
    RunClose(space, *name, false);
}

void PersistStore::ReleasePSpace(PSpace* space)
{
    // The hold keeps the space alive: it is read without the registry lock, and a
    // release that is not the last takes none. Only one that may be the last decides
    // under it (with the close under way counted at once).
    std::atomic<int32_t>* refs = space->GetWriteState().m_references;
    int32_t n = refs->load();
    while (n > 1)
        if (refs->compare_exchange_weak(n, n - 1)) return;
    const xstring* name;
    {
        std::lock_guard<std::mutex> lock(m_registryLock);
        const Registry::iterator it = EntryOf(space);
        RegistryEntry& e = it->second;
        if (e.m_refs.fetch_sub(1) > 1) return;
        ++e.m_closing;
        name = &it->first;
    }
    RunClose(space, *name, false);
}

void PersistStore::RunClose(PSpace* space, const xstring& name, bool mustEnd)
{
    // Until it decides (under the writer lock) this close holds the space; an open
    // meanwhile takes the space back without waiting, since the write may need space
    // locks that the opener holds.
    bool decided = false;
    bool destroying = false;
    auto decide = [&] {
        std::lock_guard<std::mutex> lock(m_registryLock);
        decided = true;
        RegistryEntry& e = m_registry.find(name)->second;
        --e.m_closing;
        if (e.m_refs == 0 && e.m_closing == 0) {
            e.m_space = nullptr;
            e.m_busy = true;
            destroying = true;
        }
        m_registryChanged.notify_all();
        return destroying;
    };
    // A failure before the writer decided: the space stays open, on the writer's lists,
    // without a reference (an open takes it back, the store's close closes it).
    auto keepOpen = [&] {
        std::lock_guard<std::mutex> lock(m_registryLock);
        decided = true;
        --m_registry.find(name)->second.m_closing;
        m_registryChanged.notify_all();
    };
    std::exception_ptr failure;
    try {
        space->GetResidentObjects().WaitForLoads();
        { CriticalSectionLock pass(space->GetWriteState().m_dirty.Lock()); }
        ReachedCloseStage(space, CloseStage::Writing);
    } catch (...) {
        failure = std::current_exception();
        if (!mustEnd) {
            keepOpen();
            throw;
        }
    }
    try {
        m_writer.ForgetSpace(space, decide);
    } catch (...) {
        if (!failure) failure = std::current_exception();
    }
    if (!decided) keepOpen();
    if (!destroying) {
        // Given up: the space belongs to those who hold it now.
        if (failure) std::rethrow_exception(failure);
        return;
    }
    if (!failure) failure = m_writer.GetRecordedFailure();
    ReachedCloseStage(space, CloseStage::Destroying);
    DestroySpace(space);
    {
        std::lock_guard<std::mutex> lock(m_registryLock);
        m_registry.find(name)->second.m_busy = false;
        m_registryChanged.notify_all();
    }
    if (failure) std::rethrow_exception(failure);
}

void PersistStore::DestroySpace(PSpace* space)
{
    CSpace* cspace = space->GetCSpace();
    // The space goes before its CSpace (whose objects then find no space), and no
    // collector pass or root object reaches it meanwhile.
    cspace->StopGc();
    {
        CSpaceLock lock(cspace);
        DetachSpaceRootObject(*space);
    }
    space->GetWriteState().m_store = nullptr;
    delete space;
    cspace->Destroy();
}

// ---- closing -------------------------------------------------------------------------

std::exception_ptr PersistStore::Shutdown()
{
    std::exception_ptr failure;
    // Spaces still open are written and closed first: the opens nobody gave back are
    // given back now; a space that transactions hold is closed by the end of the last
    // of them, which the close waits for.
    for (;;) {
        PSpace* open = nullptr;
        const xstring* name = nullptr;
        {
            std::unique_lock<std::mutex> lock(m_registryLock);
            bool busy = false;
            for (auto& [key, e] : m_registry) {
                if (e.m_busy || e.m_closing > 0) {
                    busy = true;
                    continue;
                }
                if (e.m_space == nullptr) continue;
                const int32_t opens = e.m_opens;
                e.m_opens = 0;
                if (e.m_refs.fetch_sub(opens) > opens) {
                    busy = true; // held by transactions
                    continue;
                }
                ++e.m_closing;
                open = e.m_space;
                name = &key;
                break;
            }
            if (open == nullptr && busy) {
                // A close or open of another thread, or a transaction, still runs: wait
                // for it to end.
                m_registryChanged.wait(lock);
                continue;
            }
        }
        if (open == nullptr) break;
        try {
            RunClose(open, *name, true);
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
    }
    m_writer.Stop();
    if (!failure) failure = m_writer.GetRecordedFailure();
    m_loader.Stop();
    std::exception_ptr lssFailure;
    if (!m_lss->CloseReporting(&lssFailure) && !failure) failure = lssFailure;
    m_lss = nullptr;
    return failure;
}

bool PersistStore::CloseReporting(std::exception_ptr* failure)
{
    const std::exception_ptr f = Shutdown();
    delete this;
    if (failure) *failure = f;
    return !f;
}

void PersistStore::Close()
{
    std::exception_ptr f;
    if (!CloseReporting(&f)) std::rethrow_exception(f);
}

} // namespace vorn
