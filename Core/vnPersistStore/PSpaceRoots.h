// vorn::PSpaceRoots: the named roots of a persistent space, entry objects reachable
// under a text name, kept with the OID of the space's pending-deletions element in one
// serial element under an OID fixed when the space was created. Names are ordered by
// their bytes as unsigned values, a proper prefix first.
//
// Stored form: schema 1, compressed count, per root in name order its name (compressed
// length, bytes) and its OID, then the pending-deletions OID.
//
// The caller holds the lock of the space's CSpace.
#pragma once
#include "vnLss/LssInterfaces.h"
#include "vnPersistStore/Pref.h"
#include "vnReflection/NameSpace.h"
#include "vnUtils/XString.h"
#include <map>

namespace vorn {

class PSpace;

class PSpaceRoots {
public:
    using Map = std::map<xstring, pref, BytewiseLess>;

    PSpaceRoots(OID ownOid, bool dirty) : m_ownOid(ownOid), m_dirty(dirty) {}

    OID GetOwnOid() const { return m_ownOid; }
    OID GetPendingDeletionsOid() const { return m_pendingDeletionsOid; }
    void SetPendingDeletionsOid(OID oid) { m_pendingDeletionsOid = oid; }
    bool IsDirty() const { return m_dirty; }
    void SetDirty(bool dirty) { m_dirty = dirty; }
    const Map& GetMap() const { return m_map; }
    // Empties the map (the record is then dirty).
    void Clear();

    // The root's object, bound in space when not cached (DerefDanglingOidException when
    // it cannot be); null when no root has the name.
    IPersistablePtr GetRoot(PSpace& space, const char* name);
    // False (nothing changes) when the name is taken. The object must be persistable
    // (TypeMismatchException otherwise); one without an OID is made persistent in space
    // with everything it reaches, one with an OID keeps it.
    bool AddRoot(PSpace& space, const char* name, AnyInterface object);
    // False when no root has the name; the object itself is not changed.
    bool RemoveRoot(PSpace& space, const char* name);

    // Writes the element when dirty, then clears dirty.
    void WriteRoots(ILssTransaction* txn);
    // Reads the element; DerefDanglingOidException when the store lacks it,
    // DeserialisationException when it is damaged (the roots are unchanged then).
    void LoadRoots(ILogStructuredStore* lss);

    void Serialise(Archive& ar);
    InputArchive Deserialise(InputArchive in);
    // The collector's view: every root's pref.
    void VisitObjects(IObjectVisitor& v);

private:
    OID m_pendingDeletionsOid;
    OID m_ownOid;
    bool m_dirty;
    Map m_map;
};

} // namespace vorn
