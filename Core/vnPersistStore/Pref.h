// vorn::pref: a persistent reference, an OID plus the {object, IPersistable table} pair
// it was last bound to (null until bound). Binding goes through the thread's current
// PSpace. The collector sees a pref with an OID as a weak reference (the object may be
// evicted and is bound again by OID on the next Get) and one without an OID, whose
// object is not yet persistent, as a strong one. In archives a pref is its OID.
#pragma once
#include "vnPersistStore/Persistable.h"
#include "vnReflection/ByteCode.h"
#include "vnReflection/Records.h"

namespace vorn {

struct pref {
    OID m_oid;
    AnyInterface m_cached{nullptr, nullptr}; // the object and its IPersistable table

    pref() = default;
    explicit pref(OID oid) : m_oid(oid) {}
    explicit pref(IPersistablePtr object) : m_cached(object.Any()) {}

    bool IsNull() const { return m_oid.IsNull() && m_cached.m_object == nullptr; }
    IPersistablePtr GetCached() const { return IPersistablePtr::FromAny(m_cached); }

    // The object: the cached one, else null for a null OID, else bound in the thread's
    // PSpace (throws DerefDanglingOidException when the store has no live object under
    // the OID) and cached. A bound object is touched.
    IPersistablePtr Get();
    // As Get, but an object that is not in memory is not read here: AsyncBind of the
    // thread's PSpace gives it when resident (cached and touched), else null for now
    // (a load is queued when the caller is an observed evaluation).
    IPersistablePtr AsyncGet();
    // Get, throwing DerefNullPrefException for a null reference.
    IPersistablePtr Deref();
    // The OID, first copied from the cached object when the OID is null.
    OID GetOid();
    // The cached object when it is not yet persistent (it has no OID), else null.
    IPersistablePtr UnpersistedTarget();
};
static_assert(sizeof(pref) == size_t(kPrefSize), "the reflection byte code sizes prefs as an OID and a pair");

// Writes the reference's OID (filled from the cached object first).
void SerialisePref(Archive& ar, pref& p);
// Reads an OID into an unbound reference.
InputArchive DeserialisePref(InputArchive in, pref& p);
// The collector's view of a reference (see above).
void VisitPref(IObjectVisitor& v, pref& p);

// The type operations of prefs: equality and order by OID, print, construct (null),
// copy, assign, destruct, serialise, deserialise; the first visiting slot takes an
// IObjectVisitor as context (VisitPref), the second an IPrefVisitor.
const TypeOps& GetPrefTypeOpsTable();

} // namespace vorn
