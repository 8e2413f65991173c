// vorn::IObject: the interface every object of a reflected class implements, as a
// function table of seven operations taking the object first; an object is held as the
// pair {object, table} (AnyInterface). MakeIObjectTable<C>() builds the table from C's
// member functions of the same names (Destroy from C's DestroyObject, so that a class
// may have a Destroy of its own meaning, as windows do), so no class writes its own
// thunks, and IObjectBaseMixin<C> gives C the members that are the same in every class.
#pragma once
#include "vnReflection/Records.h"
#include <cstdint>

namespace vorn {

class CSpace;

// The header first in every object managed by an object space.
struct ObjSysState {
    CSpace* m_space;          // owning space
    int32_t m_evictableSize;  // evictable size in bytes
    int32_t m_flags;          // bit 0 marked by the collector, bit 1 deletion inhibited
    uint64_t m_lastTouched;   // last-touched stamp
};

// Visits the references an object holds: slot 0 a strong reference, slot 1 a weak
// (evictable) one. The weak reference is passed by address because the collector
// clears it ({null, null}) when it evicts the target.
class IObjectVisitor {
public:
    virtual void VisitStrong(AnyInterface ref) = 0;
    virtual void VisitWeak(AnyInterface& ref) = 0;
protected:
    ~IObjectVisitor() = default;
};

struct IObjectTable {
    AnyInterface (*QueryInterface)(void* self, const ReflectedInterface& ri);
    AnyInterface (*BindInterface)(void* self, const ReflectedInterface& ri);
    const ReflectedClass* (*GetReflectedClass)(const void* self);
    void (*VisitObjects)(void* self, IObjectVisitor& v);
    void (*OnGarbageCollect)(void* self);
    void (*Destroy)(void* self);
    ObjSysState& (*GetSysState)(void* self);
};
constexpr int32_t kNumIObjectMethods = 7;

// A typed interface pointer: the object and the function table of interface TTable.
template <class TTable>
struct InterfacePtr {
    void* m_object = nullptr;
    const TTable* m_table = nullptr;

    bool IsNull() const { return m_object == nullptr; }
    AnyInterface Any() const { return AnyInterface{m_object, m_table}; }
    // Every interface table begins with the IObject operations.
    const IObjectTable& Object() const { return *reinterpret_cast<const IObjectTable*>(m_table); }
    static InterfacePtr FromAny(AnyInterface p) { return InterfacePtr{p.m_object, static_cast<const TTable*>(p.m_table)}; }
    bool operator==(const InterfacePtr& o) const { return m_object == o.m_object && m_table == o.m_table; }
};
using IObjectPtr = InterfacePtr<IObjectTable>;

// The IObject operations of class C, calling C's members of the same names; Destroy
// calls DestroyObject.
template <class C>
struct IObjectThunks {
    static AnyInterface QueryInterface(void* s, const ReflectedInterface& ri) { return static_cast<C*>(s)->QueryInterface(ri); }
    static AnyInterface BindInterface(void* s, const ReflectedInterface& ri) { return static_cast<C*>(s)->BindInterface(ri); }
    static const ReflectedClass* GetReflectedClass(const void* s) { return static_cast<const C*>(s)->GetReflectedClass(); }
    static void VisitObjects(void* s, IObjectVisitor& v) { static_cast<C*>(s)->VisitObjects(v); }
    static void OnGarbageCollect(void* s) { static_cast<C*>(s)->OnGarbageCollect(); }
    static void Destroy(void* s) { static_cast<C*>(s)->DestroyObject(); }
    static ObjSysState& GetSysState(void* s) { return static_cast<C*>(s)->GetSysState(); }
};

template <class C>
constexpr IObjectTable MakeIObjectTable()
{
    using T = IObjectThunks<C>;
    return IObjectTable{&T::QueryInterface, &T::BindInterface, &T::GetReflectedClass, &T::VisitObjects,
                        &T::OnGarbageCollect, &T::Destroy, &T::GetSysState};
}

// The one IObject table of class C.
template <class C>
inline constexpr IObjectTable kIObjectTableOf = MakeIObjectTable<C>();

// The record "vorn::IObject" (registered by the core module).
const ReflectedInterface& GetIObjectInterfaceRecord();
// Whether an interface asked for is the one given: the same record, or one of the same
// qualified name.
bool IsInterface(const ReflectedInterface& asked, const ReflectedInterface& which);

// The IObject members for class C (derived from IObjectBaseMixin<C>) that are the same
// in every class: it holds the object header (first in the object when the mixin is
// C's first base), binds an interface as it queries it, and by default answers only
// IObject, has no class record, refers to nothing, has nothing to do before it is
// collected, and is deleted by DestroyObject. C declares a member of the same name to
// do otherwise; the table calls whichever C has.
template <class C>
class IObjectBaseMixin {
public:
    AnyInterface QueryInterface(const ReflectedInterface& ri)
    {
        if (IsInterface(ri, GetIObjectInterfaceRecord())) return Self().AsObject();
        return AnyInterface{nullptr, nullptr};
    }
    AnyInterface BindInterface(const ReflectedInterface& ri) { return Self().QueryInterface(ri); }
    const ReflectedClass* GetReflectedClass() const { return nullptr; }
    void VisitObjects(IObjectVisitor&) {}
    void OnGarbageCollect() {}
    void DestroyObject() { delete &Self(); }
    ObjSysState& GetSysState() { return m_sys; }
    AnyInterface AsObject();

    ObjSysState m_sys{};

private:
    C& Self() { return *static_cast<C*>(this); }
};

// A factory for ReflectedClass::m_factory: allocates a default-constructed C and returns
// it with its IObject table (C must provide the IObject members).
template <class C>
AnyInterface NewObjectFactory()
{
    return AnyInterface{new C(), &kIObjectTableOf<C>};
}

template <class C>
AnyInterface IObjectBaseMixin<C>::AsObject()
{
    return AnyInterface{&Self(), &kIObjectTableOf<C>};
}

} // namespace vorn
