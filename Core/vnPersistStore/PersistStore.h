// vorn::PersistStore: one open store file seen as a set of named persistent spaces. It
// owns the log-structured store, the schema (class-id map, type-operations table and
// the store's own SeidHigh), the registry of spaces by name, the dirty-object-set
// writer and the asynchronous object loader. Besides the objects the store keeps two
// elements of its own (see PersistStoreLayout.h): the schema and the space registry.
//
// Lock order across the object spaces, this store and the log-structured store
// beneath it (a lock is only taken while holding locks above it; every lock is held
// by a guard, under the exception-safety rule of vnUtils/Threads.h):
//   1. the dirty-object-set writer's lock (DosWriter.h), or a CSpace's collection-pass
//      lock (CSpace.h);
//   2. CSpace (space) locks: one space's, or those of a write group (the writer waits
//      for none of them while holding another, DosWriter.h); a space transaction holds
//      its space's from open to close. A thread that holds space locks enters another
//      only in an order that every thread keeps (by name, say): a transaction that
//      opens a space inside it enters that space's lock, and two transactions that
//      each hold one space and open the other's wait for each other for good. Nothing
//      detects that;
//   3. a dirty set's lock, then this store's registry lock, then the writer's group and
//      list locks (DosWriter.h); a CSpace's pending-registration lock;
//   4. the log-structured store's locks, in the order LSS.h gives: the store is called
//      with space locks or the registry lock held, and never calls back up.
// Nobody waits for the registry's condition (a space being built or destroyed) while
// holding a lock: an open waits only for a destruction, which takes no lock that an
// opener could hold (see "Who may hold a PSpace*" below). A space registers with the
// writer before it is published, with no lock held. Locks of the programs' own, taken
// inside a space transaction, come after 2 and never have a space lock entered while
// they are held.
//
// Who may hold a PSpace*, and when it is freed. The registry entry of an open space
// counts its references: each open (OpenPSpace, an open inside a transaction) is one,
// given back by one Close; each transaction that entered the space's lock (an open
// inside it, OpenPSpaceTxn on the thread space) holds one until it ends; the spaces
// given to OpenTxn are the caller's, who must hold them. A PSpace* may be used only by
// a holder of one of these, and by what such a holder lends it to for the time of a
// call (the writer's lists and write groups, the loader, the space's own collector).
// A hold, and a release of a hold that is not the last, take no lock; a Close takes
// the registry lock and finds the space by its address, without reading it, so that
// closing a space that is gone (or closing more often than opening) is refused. The
// release that gives back the last reference starts a close: it waits for the space's
// loads and has the writer write it, without any lock held. An open
// meanwhile takes the space back at once (a reference again) and the close is given
// up. Only when a close ends with no reference and no other close under way (the last
// one to end decides, under the writer's lock) is the space taken off the writer's
// lists and rings and its entry marked busy; it is then destroyed with no lock held,
// and an open of its name waits for that end and builds the space anew. A close that
// fails before the writer decided leaves the space open, listed and without a
// reference: an open takes it back, the store's close closes it.
// The store's close gives back the opens nobody gave back; a space that transactions
// still hold is closed by the end of the last of them, which the store's close waits
// for. So close a store outside every transaction on it, and start none meanwhile.
// A transaction's end gives its holds back after leaving its locks and may so finish a
// close: end a transaction in which a space was closed without other space locks held.
#pragma once
#include "vnLss/LssInterfaces.h"
#include "vnPersistStore/AsyncObjectLoader.h"
#include "vnPersistStore/DosWriter.h"
#include "vnPersistStore/Oid.h"
#include "vnPersistStore/PersistSchema.h"
#include "vnReflection/NameSpace.h"
#include "vnUtils/XString.h"
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

namespace vorn {

class CSpace;
class PSpace;
class PersistStoreTxn;
struct ClassNameTranslationTable;

enum PSpaceLockMode : int32_t {
    PSPACE_LOCK_SHARED_READ = 0,
    PSPACE_LOCK_EXCLUSIVE = 1,
};

struct PSpaceLockPair {
    PSpace* m_space = nullptr;
    PSpaceLockMode m_mode = PSPACE_LOCK_SHARED_READ;
};

struct PersistStoreSettings {
    const char* deltasDirPath = nullptr;
    LssSettings lssSettings;
    const ClassNameTranslationTable* translationTable = nullptr;
    bool startObjectDeletion = true;
};

class PersistStore {
public:
    // Closes the spaces still open (each writes what it holds; a space that transactions
    // hold once they have ended, see the top), stops the writer and the loader, closes
    // the log-structured store and frees the store. Then throws the
    // writer's recorded failure, or the first failure of closing a space, if any.
    void Close();
    // As Close, but reports instead of throwing: true when nothing failed, else false
    // with the failure in *failure when given (also the store's own background failure).
    bool CloseReporting(std::exception_ptr* failure);

    ILogStructuredStore* GetLss() const { return m_lss; }
    // Starts the writer unless it runs.
    void StartObjectDeletion();
    // Only while the writer runs: writes every scheduled space now.
    void WriteAllDirtyObjectsToLss(bool flushToDisk);
    // A transaction over the given spaces (see PersistStoreTxn); enters no lock.
    PersistStoreTxn* OpenTxn(const PSpaceLockPair* pairs, int32_t count);
    int32_t GetDosPeriod() { return m_writer.GetPeriod(); }
    void SetDosPeriod(int32_t ms) { m_writer.SetPeriod(ms); }
    // Spaces known to the registry, open or not.
    int32_t GetNumPSpaces();
    // Serial elements of the store that hold objects (writes everything first while the
    // writer runs): the store's elements and those of every space written so far are
    // not counted. Never negative.
    int32_t GetNumPersistableObjects();
    TypeOpsId GetTypeOpsId(const ReflectionByteCodeValue& rbcv) { return m_schema.GetTypeOpsId(rbcv); }
    const TypeOps* GetTypeOps(TypeOpsId id) { return m_schema.m_typeOps.GetTypeOps(id).m_ops; }

    // Opens (or creates, as mode allows) the space called name and counts the open; an
    // open space is returned as it is, also one whose last close is under way (which is
    // then given up). With cspace null a new space makes a CSpace of its own with a
    // collector thread. A given cspace must not be locked by another thread meanwhile.
    // Call without the registry lock; the caller may hold other space locks.
    PSpace* OpenPSpace(const char* name, EOpenMode mode, bool* createdNew, CSpace* cspace);
    // Gives back one open of the space. The last reference (see the top) writes the
    // space and, when nobody took it back meanwhile, frees its CSpace (and with it every
    // object still registered) and the space. Call without holding space locks. Throws a
    // failure of the write after that; ProgrammingErrorException for a space not open
    // (also one freed already, unless a new space took its address) or with no open
    // left.
    void ClosePSpace(PSpace* space);
    // A transaction entered the space's lock: the space lives at least until the
    // matching ReleasePSpace. The caller holds an open or a hold of the space already.
    void HoldPSpace(PSpace* space);
    // Gives back a hold: as ClosePSpace for the last reference.
    void ReleasePSpace(PSpace* space);
    // The references (opens and holds) of the open space called name; 0 when not open.
    int32_t GetNumPSpaceReferences(const char* name);

    // Points of a close on the closing thread: Writing, before the write of the space;
    // Destroying, once the close has decided to destroy it (the entry is busy) and
    // before it does. Set the hook only while no close runs.
    enum class CloseStage { Writing, Destroying };
    void SetCloseHookForTests(std::function<void(PSpace*, CloseStage)> hook) { m_closeHook = std::move(hook); }
    // Opens that wait for the destruction of a space.
    int32_t GetNumWaitingOpensForTests();
    // Called by OpenPSpace on the opening thread once it has published a space it built,
    // before it returns it; set it only while no open runs.
    void SetOpenHookForTests(std::function<void(PSpace*)> hook) { m_openHook = std::move(hook); }

    PersistSchema& GetSchema() { return m_schema; }
    SeidHigh GetSeidHigh() const { return m_seidHigh; }
    DosWriter& GetWriter() { return m_writer; }
    AsyncObjectLoader& GetLoader() { return m_loader; }

    // Inside a write group's transaction: the two store elements, each only when dirty.
    // The schema's flag is cleared as it is written: WriteSchemaElement says whether it
    // wrote, so that a transaction that then fails can mark the schema dirty again.
    bool WriteSchemaElement(ILssTransaction* txn);
    void WriteRegistryElement(ILssTransaction* txn);
    // The writer wrote the space for the first time: its registry entry is persisted.
    void MarkPersisted(PSpace* space);
    // A write-back failed after the store elements were taken: write them again.
    void MarkStoreElementsDirty();
    bool IsRegistryDirty();

private:
    friend PersistStore* OpenPersistStoreOnLss(ILogStructuredStore*, bool, const PersistStoreSettings*);
    struct RegistryEntry {
        OID m_oid;
        bool m_persisted = false;
        PSpace* m_space = nullptr; // the open space, or null
        // Opens not yet closed and transactions' holds. Changed under the registry lock,
        // except from above 1 to above 1 (HoldPSpace, a release that is not the last).
        std::atomic<int32_t> m_refs{0};
        int32_t m_opens = 0;       // the opens among them

        int32_t m_closing = 0;     // closes under way (each begun by a last release)
        bool m_busy = false;       // the space is being built or destroyed
    };
    using Registry = std::map<xstring, RegistryEntry, BytewiseLess>;

    PersistStore(ILogStructuredStore* lss, const PersistStoreSettings& settings);
    ~PersistStore();
    void Open(bool createdNew);
    void ReadSchemaElement();
    void ReadRegistryElement();
    PSpace* ConstructSpace(const xstring& name, OID oid, bool createdNew, CSpace* cspace);
    // The entry of the open space (under the registry lock); throws when it is not open.
    Registry::iterator EntryOf(PSpace* space);
    // The same for a space that may be gone, found by its address without reading it.
    Registry::iterator EntryAt(PSpace* space);
    // The close begun by the last release: write, decide, destroy. name is the entry's
    // key. A failure before the writer decided leaves the space open, unless mustEnd
    // (the store's close), which goes on to destroy it.
    void RunClose(PSpace* space, const xstring& name, bool mustEnd);
    void DestroySpace(PSpace* space);
    void ReachedCloseStage(PSpace* space, CloseStage stage)
    {
        if (m_closeHook) m_closeHook(space, stage);
    }
    std::exception_ptr Shutdown();

    ILogStructuredStore* m_lss;
    PersistStoreSettings m_settings;
    PersistSchema m_schema;
    SeidHigh m_seidHigh = 0;
    std::mutex m_registryLock;
    std::condition_variable m_registryChanged; // a space was built or destroyed, a close ended
    int32_t m_waitingOpens = 0;
    std::function<void(PSpace*, CloseStage)> m_closeHook;
    std::function<void(PSpace*)> m_openHook;
    bool m_registryDirty = true;
    Registry m_registry;
    DosWriter m_writer{this};
    AsyncObjectLoader m_loader;
};

// Opens or creates the store file (failures of the log-structured store propagate;
// a missing schema or registry element is CorruptLSSException). A failed open closes
// what it opened and stops its threads.
PersistStore* OpenPersistStore(const char* lssPath, EOpenMode openMode, const PersistStoreSettings* settings);
// The same over a log-structured store opened by the caller, which the persistent
// store takes over (also when the open fails).
PersistStore* OpenPersistStoreOnLss(ILogStructuredStore* lss, bool createdNew, const PersistStoreSettings* settings);

} // namespace vorn
