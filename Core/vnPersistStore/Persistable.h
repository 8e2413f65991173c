// Persistable objects: vorn::IPersistable, the interface of every object that can live
// in a persistent space, and vorn::PersistObjState, the persistent header that follows
// the object's ObjSysState. An object becomes persistent when it gets an OID; until
// then its header's OID is null.
#pragma once
#include "vnPersistStore/Oid.h"
#include "vnReflection/IObject.h"
#include "vnUtils/Archive.h"
#include <cstdint>

namespace vorn {

struct pref;

// The persistent header of an object.
struct PersistObjState {
    OID m_oid;
    uint32_t m_flags = 0;
};
enum EPersistObjFlags : uint32_t {
    POS_DIRTY = 1,   // changed since it was last written
    POS_REACHED = 2, // reached by a permanent-deletion walk
    POS_DELETED = 4, // deleted; the writer removes its serial element
};

// Sees the prefs of a value or object.
class IPrefVisitor {
public:
    virtual void VisitPref(pref& p) = 0;
    virtual void VisitNothing() {}
protected:
    ~IPrefVisitor() = default;
};

// The function table of IPersistable: the IObject operations, then the persistence
// ones. Serialise writes the object's own form (starting with its schema number);
// Deserialise reads it from the cursor and returns the cursor past it, checking every
// read against the end of the block.
struct IPersistableTable {
    IObjectTable m_object;
    PersistObjState& (*GetPersistObjState)(void* self);
    void (*VisitPrefs)(void* self, IPrefVisitor& v);
    bool (*RepresentsSubTree)(const void* self);
    void (*Serialise)(const void* self, Archive& ar);
    InputArchive (*Deserialise)(void* self, InputArchive in);
    void (*OnCreate)(void* self, bool persistent);
};
using IPersistablePtr = InterfacePtr<IPersistableTable>;

// The interface record "vorn::IPersistable" (base vorn::IObject).
extern const ReflectedInterface kIPersistableInterface;
// The interface record "vorn::IObject" as this module names it in QueryInterface.
extern const ReflectedInterface kIObjectInterfaceName;

// The object's IPersistable interface, or null when it has none (or is null).
inline IPersistablePtr QueryPersistable(AnyInterface object)
{
    if (object.m_object == nullptr) return IPersistablePtr{};
    const auto* t = static_cast<const IObjectTable*>(object.m_table);
    return IPersistablePtr::FromAny(t->QueryInterface(object.m_object, kIPersistableInterface));
}

// The IPersistable operations of class C, calling C's members of the same names; C
// also provides the IObject members (see IObjectThunks).
template <class C>
struct PersistableThunks {
    static PersistObjState& GetPersistObjState(void* s) { return static_cast<C*>(s)->GetPersistObjState(); }
    static void VisitPrefs(void* s, IPrefVisitor& v) { static_cast<C*>(s)->VisitPrefs(v); }
    static bool RepresentsSubTree(const void* s) { return static_cast<const C*>(s)->RepresentsSubTree(); }
    static void Serialise(const void* s, Archive& ar) { static_cast<const C*>(s)->Serialise(ar); }
    static InputArchive Deserialise(void* s, InputArchive in) { return static_cast<C*>(s)->Deserialise(in); }
    static void OnCreate(void* s, bool persistent) { static_cast<C*>(s)->OnCreate(persistent); }
};

template <class C>
constexpr IPersistableTable MakePersistableTable()
{
    using T = PersistableThunks<C>;
    return IPersistableTable{MakeIObjectTable<C>(), &T::GetPersistObjState, &T::VisitPrefs, &T::RepresentsSubTree,
                             &T::Serialise, &T::Deserialise, &T::OnCreate};
}

// The one IPersistable table of class C; its IObject part serves as C's IObject table.
template <class C>
inline constexpr IPersistableTable kPersistableTableOf = MakePersistableTable<C>();

// A factory for a persistable class C: a default-constructed C with its table.
template <class C>
AnyInterface NewPersistableFactory()
{
    return AnyInterface{new C(), &kPersistableTableOf<C>};
}

// Answers QueryInterface for a persistable class: IObject and IPersistable give the
// object with its table, anything else null.
template <class C>
AnyInterface QueryPersistableInterface(C* self, const ReflectedInterface& ri)
{
    if (IsInterface(ri, kIPersistableInterface) || IsInterface(ri, kIObjectInterfaceName))
        return AnyInterface{self, &kPersistableTableOf<C>};
    return AnyInterface{nullptr, nullptr};
}

// An object leaves memory: when it has an OID, its space's resident entry goes.
// Persistable classes call it from OnGarbageCollect.
void OnGarbageCollectPersistable(AnyInterface object);

// The IObject and IPersistable members for a persistable class C (derived from
// PersistableMixin<C>) that are the same in every class: beside those of
// IObjectBaseMixin, it holds the persistent header right after the object header,
// answers IObject and IPersistable with C's one table, leaves the space's resident
// entry when it is collected, and by default holds no prefs, represents no subtree and
// has nothing to do when created. C declares a member of the same name to do otherwise.
template <class C>
class PersistableMixin : public IObjectBaseMixin<C> {
public:
    AnyInterface QueryInterface(const ReflectedInterface& ri) { return QueryPersistableInterface(&Self(), ri); }
    void OnGarbageCollect() { OnGarbageCollectPersistable(AsObject()); }
    AnyInterface AsObject() { return AnyInterface{&Self(), &kPersistableTableOf<C>}; }
    PersistObjState& GetPersistObjState() { return m_pos; }
    void VisitPrefs(IPrefVisitor&) {}
    bool RepresentsSubTree() const { return false; }
    void OnCreate(bool) {}
    IPersistablePtr AsPersistable() { return IPersistablePtr{&Self(), &kPersistableTableOf<C>}; }

    PersistObjState m_pos;

private:
    C& Self() { return *static_cast<C*>(this); }
};

} // namespace vorn
