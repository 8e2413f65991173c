#include "vnPersistStore/Pref.h"
#include "vnObject/CSpace.h"
#include "vnPersistStore/PSpace.h"
#include "vnPersistStore/PersistExceptions.h"
#include "vnReflection/BasicTypeOps.h"
#include "vnUtils/TextWriter.h"

namespace vorn {

namespace {

// The OID of the cached object, copied in when the reference has none.
inline void FillOid(pref& p)
{
    if (p.m_oid.IsNull() && p.m_cached.m_object != nullptr)
        p.m_oid = p.GetCached().m_table->GetPersistObjState(p.m_cached.m_object).m_oid;
}

PSpace* ThreadPSpaceOrThrow(OID oid)
{
    PSpace* space = GetThreadPSpace();
    if (space == nullptr) throw DerefDanglingOidException(oid);
    return space;
}

} // namespace

IPersistablePtr pref::Get()
{
    if (m_cached.m_object == nullptr) {
        if (m_oid.IsNull()) return IPersistablePtr{};
        m_cached = ThreadPSpaceOrThrow(m_oid)->BindObject(m_oid).Any();
    }
    SetTouched(m_cached);
    return GetCached();
}

IPersistablePtr pref::AsyncGet()
{
    if (m_cached.m_object == nullptr) {
        if (m_oid.IsNull()) return IPersistablePtr{};
        const IPersistablePtr p = ThreadPSpaceOrThrow(m_oid)->AsyncBind(m_oid);
        if (p.IsNull()) return p;
        m_cached = p.Any();
    }
    SetTouched(m_cached);
    return GetCached();
}

IPersistablePtr pref::Deref()
{
    const IPersistablePtr p = Get();
    if (p.IsNull()) throw DerefNullPrefException();
    return p;
}

OID pref::GetOid()
{
    FillOid(*this);
    return m_oid;
}

IPersistablePtr pref::UnpersistedTarget()
{
    FillOid(*this);
    return m_oid.IsNull() ? GetCached() : IPersistablePtr{};
}

void SerialisePref(Archive& ar, pref& p)
{
    FillOid(p);
    WriteOid(ar, p.m_oid);
}

InputArchive DeserialisePref(InputArchive in, pref& p)
{
    OID oid;
    in = ReadOid(in, oid);
    p = pref(oid);
    return in;
}

void VisitPref(IObjectVisitor& v, pref& p)
{
    FillOid(p);
    if (p.m_cached.m_object == nullptr) return;
    if (p.m_oid.IsNull()) v.VisitStrong(p.m_cached);
    else v.VisitWeak(p.m_cached);
}

// ---------------------------------------------------------------------------------
// Type operations

namespace {

inline pref& At(void* first, ssize_t stride, ssize_t i) { return *reinterpret_cast<pref*>(static_cast<char*>(first) + i * stride); }
inline const pref& At(const void* first, ssize_t stride, ssize_t i)
{
    return *reinterpret_cast<const pref*>(static_cast<const char*>(first) + i * stride);
}

// The OID a reference stands for, without changing it.
inline OID OidOf(const pref& p)
{
    if (p.m_oid.IsNull() && p.m_cached.m_object != nullptr)
        return p.GetCached().m_table->GetPersistObjState(p.m_cached.m_object).m_oid;
    return p.m_oid;
}

bool Equal(const void* a, const void* b)
{
    const pref& x = *static_cast<const pref*>(a);
    const pref& y = *static_cast<const pref*>(b);
    const OID ox = OidOf(x), oy = OidOf(y);
    if (ox.IsNull() && oy.IsNull()) return x.m_cached.m_object == y.m_cached.m_object;
    return ox == oy;
}
bool Less(const void* a, const void* b) { return OidOf(*static_cast<const pref*>(a)) < OidOf(*static_cast<const pref*>(b)); }
void Print(TextWriter& w, const void* v) { w << OidOf(*static_cast<const pref*>(v)); }
void ConstructN(void* first, ssize_t stride, ssize_t count)
{
    for (ssize_t i = 0; i < count; ++i) new (&At(first, stride, i)) pref();
}
void CopyN(void* dst, ssize_t dstStride, const void* src, ssize_t srcStride, ssize_t count)
{
    for (ssize_t i = 0; i < count; ++i) At(dst, dstStride, i) = At(src, srcStride, i);
}
void DestructN(void*, ssize_t, ssize_t) {}
void SerialiseN(Archive& ar, const void* first, ssize_t stride, ssize_t count)
{
    for (ssize_t i = 0; i < count; ++i) WriteOid(ar, OidOf(At(first, stride, i)));
}
InputArchive DeserialiseN(InputArchive in, void* first, ssize_t stride, ssize_t count)
{
    for (ssize_t i = 0; i < count; ++i) in = DeserialisePref(in, At(first, stride, i));
    return in;
}
void VisitObjectsN(void* context, void* first, ssize_t stride, ssize_t count)
{
    auto& v = *static_cast<IObjectVisitor*>(context);
    for (ssize_t i = 0; i < count; ++i) VisitPref(v, At(first, stride, i));
}
void VisitPrefsN(void* context, void* first, ssize_t stride, ssize_t count)
{
    auto& v = *static_cast<IPrefVisitor*>(context);
    for (ssize_t i = 0; i < count; ++i) v.VisitPref(At(first, stride, i));
}
ssize_t LowerBound(const void* first, ssize_t stride, ssize_t count, const void* key)
{
    ssize_t lo = 0, hi = count;
    while (lo < hi) {
        const ssize_t mid = lo + (hi - lo) / 2;
        if (Less(&At(first, stride, mid), key)) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}
ssize_t UpperBound(const void* first, ssize_t stride, ssize_t count, const void* key)
{
    ssize_t lo = 0, hi = count;
    while (lo < hi) {
        const ssize_t mid = lo + (hi - lo) / 2;
        if (!Less(key, &At(first, stride, mid))) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}

constexpr TypeOps kPrefTypeOps{kPrefSize, &Equal, &Less, &Print, &ConstructN, &CopyN, &CopyN, &DestructN,
                               &SerialiseN, &DeserialiseN, &VisitObjectsN, &VisitPrefsN, &LowerBound, &UpperBound};

// Installed as the reflection's table of prefs as soon as this unit is linked in.
const bool g_prefTypeOpsInstalled = (SetPrefTypeOps(&kPrefTypeOps), true);

} // namespace

const TypeOps& GetPrefTypeOpsTable() { return kPrefTypeOps; }

} // namespace vorn
