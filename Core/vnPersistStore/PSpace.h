// vorn::PSpace: a named space of persistent objects, bound to one CSpace whose collector
// manages its objects in memory. It owns its named roots and its table of resident
// objects, binds OIDs to objects and gives new objects their OIDs.
//
// The space reaches its store through three services given at construction: the
// log-structured store, the store's schema and its object loader. The caller of every
// operation holds the lock of the space's CSpace unless an operation says otherwise.
#pragma once
#include "vnLss/LssInterfaces.h"
#include "vnPersistStore/PSpaceRoots.h"
#include "vnPersistStore/Persistable.h"
#include "vnPersistStore/PersistSchema.h"
#include "vnPersistStore/ResidentObjectTable.h"
#include "vnPersistStore/SpaceWriteState.h"
#include "vnUtils/XString.h"

namespace vorn {

class AsyncObjectLoader;
class CSpace;
class PersistStore;

class PSpace {
public:
    // Binds the space to cspace (pointer slot 0). rootsOid names the element of the named
    // roots; a new space starts with empty, dirty roots, an existing one calls LoadRoots.
    PSpace(ILogStructuredStore* lss, PersistSchema* schema, AsyncObjectLoader* loader, CSpace* cspace,
           const xstring& name, OID rootsOid, bool createdNew);
    // Waits for the space's background loads to end (without the space lock) and
    // unbinds the CSpace, which the caller destroys.
    ~PSpace();
    PSpace(const PSpace&) = delete;
    PSpace& operator=(const PSpace&) = delete;

    CSpace* GetCSpace() const { return m_cspace; }
    ILogStructuredStore* GetLss() const { return m_lss; }
    PersistSchema& GetSchema() const { return *m_schema; }
    AsyncObjectLoader* GetLoader() const { return m_loader; }
    // The name; its bytes are followed by a NUL, so GetName().data() is a C string.
    const xstring& GetName() const { return m_name; }
    ResidentObjectTable& GetResidentObjects() { return m_resident; }
    PSpaceRoots& GetRoots() { return m_roots; }

    // The object under oid; throws DerefDanglingOidException when the store holds no
    // element under it or the object is deleted.
    IPersistablePtr BindObject(OID oid);
    // As BindObject, null instead of throwing.
    IPersistablePtr TryBindObject(OID oid);
    // The resident object, null when not in memory or deleted.
    IPersistablePtr BindObjectIfMemoryResident(OID oid);
    // The resident object, else null (a load is arranged for an observed evaluation);
    // a deleted object gives null.
    IPersistablePtr AsyncBind(OID oid);
    // Loads the object under a private CSpace and hands it (with what its loading
    // created) to this space's CSpace; null when not stored or deleted.
    IPersistablePtr MakeMemoryResident(OID oid);

    // OID allocation: incremental in the oidHigh space, or near the affiliate.
    OidHigh GetOidHighForOidAllocations() const { return m_oidHigh; }
    void SetOidHighForOidAllocations(OidHigh oidHigh, bool useIncrementalOidAllocations);
    OidLow GetAffiliateOidLow() const { return m_affiliateOidLow; }
    void SetAffiliateOidLow(OidLow low) { m_affiliateOidLow = low; }
    // A fresh OID under the current allocation settings.
    OID AllocateOid();

    // Sets the affiliate, then gives the object a fresh OID without tracing.
    void MakeObjectPersist(OidLow affiliateOidLow, IPersistablePtr object);
    // Enters the object as resident under oid, writes the OID into it and marks it dirty;
    // with trace, every not yet persistent object it reaches through prefs gets an OID
    // allocated near the object that refers to it.
    void MakeObjectPersistWithGivenOID(IPersistablePtr object, OID oid, bool trace);
    // Gives every bound, not yet persistent object that object reaches an OID.
    void MakeReachableObjectsPersist(IPersistablePtr object);

    // ---- operations that reach the store (PSpaceMethods.cpp) --------------------------
    // Gives back one open of the space (PersistStore::ClosePSpace): the last one writes
    // what the space holds and frees its CSpace and the space. Call without holding
    // space locks. Throws ProgrammingErrorException for a space used without a store.
    // The space must live (it finds its store itself): a pointer that may be freed
    // already goes to PersistStore::ClosePSpace, which refuses it without reading it.
    void Close();
    // The store that opened the space (null for a space used without one).
    PersistStore* GetPersistStore();
    // Has the writer write the space's write group now (no space lock held).
    void WriteDirtyObjectsToLss(bool flushToDisk);
    // When the object has an OID and is not dirty yet: sets its dirty flag and queues it.
    void MarkPersistableAsDirtyWithoutTrace(IPersistablePtr object);
    // When the parent has an OID and the child is not null and has none: the child gets
    // an OID near the parent's (with trace, so does every new object it reaches).
    void DeclareReachable(IPersistablePtr parent, IPersistablePtr child, bool trace);
    // When the object has an OID: queues the deletion of it and everything it reaches,
    // or of it alone. The synchronous subtree deletion does nothing; the synchronous
    // object deletion marks the object dirty and deleted, so the writer deletes it.
    void AsyncPermanentlyDeleteSubTree(IPersistablePtr object);
    void AsyncPermanentlyDeleteObject(IPersistablePtr object);
    void SyncPermanentlyDeleteSubTree(IPersistablePtr) {}
    void SyncPermanentlyDeleteObject(IPersistablePtr object);

    // Named roots (see PSpaceRoots).
    IPersistablePtr GetRoot(const char* name) { return m_roots.GetRoot(*this, name); }
    bool AddRoot(const char* name, AnyInterface object) { return Scheduled(m_roots.AddRoot(*this, name, object)); }
    bool RemoveRoot(const char* name) { return Scheduled(m_roots.RemoveRoot(*this, name)); }
    // Reads the roots element of an existing space.
    void LoadRoots() { m_roots.LoadRoots(m_lss); }

    // The write-back state (dirty set, pending deletions, writer links; SpaceWriteState).
    SpaceWriteState& GetWriteState() { return m_writeState; }

private:
    bool Scheduled(bool changed)
    {
        if (changed) m_writeState.m_dirty.Schedule();
        return changed;
    }

    ILogStructuredStore* m_lss;
    PersistSchema* m_schema;
    AsyncObjectLoader* m_loader;
    PSpaceRoots m_roots;
    xstring m_name;
    ResidentObjectTable m_resident;
    bool m_useIncrementalOidAllocation = false;
    OidHigh m_oidHigh;
    OidLow m_affiliateOidLow;
    CSpace* m_cspace;
    SpaceWriteState m_writeState{this};
};

// The calling thread's current persistent space (null on a new thread).
PSpace* GetThreadPSpace();
void SetThreadPSpace(PSpace* space);
// The persistent space bound to a CSpace (its pointer slot 0), or null.
PSpace* GetPSpaceOfCSpace(CSpace* cspace);
// The persistent space of an object's owning CSpace, or null.
PSpace* GetAssociatedPSpace(AnyInterface object);
// OnGarbageCollectPersistable (Persistable.h): what a persistable object does before it
// is collected.

// Puts the thread's current persistent space back when the scope ends.
class RestoreThreadPSpace {
public:
    RestoreThreadPSpace() : m_saved(GetThreadPSpace()) {}
    explicit RestoreThreadPSpace(PSpace* space) : m_saved(GetThreadPSpace()) { SetThreadPSpace(space); }
    ~RestoreThreadPSpace() { SetThreadPSpace(m_saved); }
    RestoreThreadPSpace(const RestoreThreadPSpace&) = delete;
    RestoreThreadPSpace& operator=(const RestoreThreadPSpace&) = delete;
private:
    PSpace* m_saved;
};

} // namespace vorn
