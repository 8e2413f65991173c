// vorn::ResidentObjectTable: the objects of one persistent space that are in memory, or
// on their way into it, by OID. Binding an OID finds its object here or reads it from
// the store: synchronously (Bind) or in the background (AsyncBind, which hands the
// load to the store's AsyncObjectLoader and lets a DGIndepNodeForAsyncPref stand for
// the object until it arrives).
//
// The caller of every operation except WaitForLoads holds the lock of the space's
// CSpace. A synchronous bind never waits for the loader: it takes over an object the
// loader has already deserialised, or reads the element itself (the loader then drops
// its copy). The 16 stripe locks (by OidLow & 15) guard only that hand-over.
#pragma once
#include <set>
#include "vnPersistStore/AsyncPrefNode.h"
#include "vnPersistStore/Persistable.h"
#include "vnUtils/Threads.h"
#include <cstdint>
#include <unordered_map>

namespace vorn {

class AsyncObjectLoader;
class CSpace;
class PSpace;

class ResidentObjectTable {
public:
    static constexpr int32_t kNumStripes = 16;

    ResidentObjectTable(PSpace* space, AsyncObjectLoader* loader);
    // The caller has waited for the loads (WaitForLoads).
    ~ResidentObjectTable() = default;
    ResidentObjectTable(const ResidentObjectTable&) = delete;
    ResidentObjectTable& operator=(const ResidentObjectTable&) = delete;

    // The object under oid, read from the store when not resident (registered with the
    // thread's CSpace); null when the store holds no element under it.
    IPersistablePtr Bind(OID oid);
    // The object when resident, else null; never reads the store.
    IPersistablePtr FindResident(OID oid) const;
    // The object when resident; else null, and when the thread's current evaluation is
    // observed it comes to depend on a load of the object (one load per OID). An OID
    // whose background load failed is not loaded again: it stays null here.
    IPersistablePtr AsyncBind(OID oid);
    // Under the space lock: how many OIDs failed to load in the background, and the
    // trace text of the first failure.
    int64_t GetNumFailedLoads() const { return int64_t(m_failedLoads.size()); }
    const xstring& GetFirstLoadFailure() const { return m_firstLoadFailure; }
    // Reads the object (and whatever its reading creates) under a private CSpace and
    // then hands everything to the space's CSpace; the entry map changes only under the
    // space's lock, which this takes itself for the hand-over.
    IPersistablePtr MakeMemoryResident(OID oid);
    // Moves the resident entries of other into this table (an entry here is
    // overwritten; a load here of the same OID is cancelled and its evaluations get the
    // merged object) and cancels other's loads, whose evaluations are invalidated so
    // that they ask again. Takes other's space lock itself.
    void Merge(ResidentObjectTable& other);

    // A newly persistent object.
    void InsertResident(OID oid, IPersistablePtr object);
    // An object leaves memory: its entry goes when it still names that object.
    bool RemoveResident(OID oid, const void* object);

    // Blocks until no load node of this table exists. Without the space lock.
    void WaitForLoads();
    int32_t GetNumLoads();
    // The node of the OID's load in progress, or null.
    DGIndepNodeForAsyncPref* FindLoad(OID oid) const;
    size_t GetNumEntries() const { return m_map.size(); }
    PSpace* GetSpace() const { return m_space; }

private:
    friend class DGIndepNodeForAsyncPref;

    // Resident: {object, IPersistable table}; loading: {node, null}.
    struct Entry {
        void* m_word0 = nullptr;
        const void* m_table = nullptr;
        bool IsLoading() const { return m_table == nullptr; }
        DGIndepNodeForAsyncPref* Node() const { return static_cast<DGIndepNodeForAsyncPref*>(m_word0); }
        IPersistablePtr Object() const { return IPersistablePtr{m_word0, static_cast<const IPersistableTable*>(m_table)}; }
    };
    struct OidHash {
        size_t operator()(OID oid) const { return size_t(oid.AsUInt64() * 0x9E3779B97F4A7C15ull >> 16); }
    };
    // Hashed rather than ordered: nothing depends on the order of entries, and a bind
    // among a million entries then costs one or two cache misses instead of twenty.
    using Map = std::unordered_map<OID, Entry, OidHash>;

    CriticalSection& StripeOf(OID oid) { return m_stripes[oid.m_low & (kNumStripes - 1)]; }
    CSpace* GetCSpace() const;
    // Under the space lock: the load of node ends with object (already registered with
    // the space): the entry becomes resident, the node resolved and its dependents
    // invalidated and detached.
    void CompleteLoad(DGIndepNodeForAsyncPref* node, IPersistablePtr object);
    // Under the space lock: a binder takes over the load of node; returns the object
    // the loader had deserialised (not registered), or null when it had none yet (the
    // loader then drops what it reads).
    IPersistablePtr TakeOverLoad(DGIndepNodeForAsyncPref* node);
    void NodeCreated();
    void NodeDestroyed();

    PSpace* m_space;
    AsyncObjectLoader* m_loader;
    CriticalSection m_loadLock;
    Event m_noLoads{true, true}; // signalled exactly while m_numLoads is 0
    int32_t m_numLoads = 0;
    CriticalSection m_stripes[kNumStripes];
    Map m_map;
    std::set<OID> m_failedLoads; // under the space lock
    xstring m_firstLoadFailure;
};

} // namespace vorn
