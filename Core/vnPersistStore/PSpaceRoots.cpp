#include "vnPersistStore/PSpaceRoots.h"
#include "vnObject/CSpace.h"
#include "vnPersistStore/ObjectSerialisation.h"
#include "vnPersistStore/PSpace.h"
#include "vnPersistStore/PersistExceptions.h"
#include "vnPersistStore/PersistLayout.h"

namespace vorn {

void PSpaceRoots::Clear()
{
    m_map.clear();
    m_dirty = true;
}

namespace {

// The root's object, bound in space and cached when the reference holds none.
IPersistablePtr BindRoot(PSpace& space, pref& p)
{
    if (p.m_cached.m_object == nullptr) p.m_cached = space.BindObject(p.m_oid).Any();
    return p.GetCached();
}

} // namespace

IPersistablePtr PSpaceRoots::GetRoot(PSpace& space, const char* name)
{
    auto it = m_map.find(xstring(name));
    if (it == m_map.end()) return IPersistablePtr{};
    const IPersistablePtr object = BindRoot(space, it->second);
    SetTouched(object.Any());
    return object;
}

bool PSpaceRoots::AddRoot(PSpace& space, const char* name, AnyInterface object)
{
    const xstring key(name);
    if (m_map.find(key) != m_map.end()) return false;
    const IPersistablePtr p = QueryPersistable(object);
    if (p.IsNull()) {
        const ReflectedClass* cls =
            object.m_object ? static_cast<const IObjectTable*>(object.m_table)->GetReflectedClass(object.m_object) : nullptr;
        throw TypeMismatchException(cls, &kIPersistableInterface);
    }
    if (p.m_table->GetPersistObjState(p.m_object).m_oid.IsNull())
        space.MakeObjectPersistWithGivenOID(p, space.AllocateOid(), true);
    m_map.emplace(key, pref(p));
    m_dirty = true;
    return true;
}

bool PSpaceRoots::RemoveRoot(PSpace& space, const char* name)
{
    auto it = m_map.find(xstring(name));
    if (it == m_map.end()) return false;
    BindRoot(space, it->second);
    m_map.erase(it);
    m_dirty = true;
    return true;
}

void PSpaceRoots::Serialise(Archive& ar)
{
    ar.WriteCompressedUInt32(kRootsSchema);
    ar.WriteCompressedUInt32(uint32_t(m_map.size()));
    for (auto& [name, p] : m_map) {
        ar.WriteCompressedUInt32(uint32_t(name.size()));
        ar.WriteBytes(name.data(), name.size());
        SerialisePref(ar, p);
    }
    WriteOid(ar, m_pendingDeletionsOid);
}

InputArchive PSpaceRoots::Deserialise(InputArchive in)
{
    int schema;
    in = ReadSchema(in, kRootsSchema, schema);
    uint32_t count;
    in = ReadCompressedUInt32FromBuffer(in, count);
    // A root takes at least a length byte and an OID byte.
    if (count > in.Remaining() / 2) ThrowDeserialisationException("Bad roots record : count beyond the record");
    Map map;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t n;
        in = ReadCompressedUInt32FromBuffer(in, n);
        CheckArchiveRoom(in, n);
        const char* s = reinterpret_cast<const char*>(in.Ptr());
        xstring name(s, s + n);
        in.m_ptr += n;
        OID oid;
        in = ReadOid(in, oid);
        if (!map.emplace(std::move(name), pref(oid)).second)
            ThrowDeserialisationException("Bad roots record : a name listed twice");
    }
    OID pending;
    in = ReadOid(in, pending);
    m_map = std::move(map);
    m_pendingDeletionsOid = pending;
    return in;
}

void PSpaceRoots::WriteRoots(ILssTransaction* txn)
{
    if (!m_dirty) return;
    ICloseableOutputStream* stream = txn->WriteSerialElement(m_ownOid.m_low, m_ownOid.m_high);
    {
        Archive ar(stream);
        Serialise(ar);
        ar.Flush();
    }
    m_dirty = false;
    stream->Close();
}

void PSpaceRoots::LoadRoots(ILogStructuredStore* lss)
{
    if (!ReadSerialElement(lss, m_ownOid.AsSeid(), [&](InputArchive in) { Deserialise(in); }))
        throw DerefDanglingOidException(m_ownOid);
}

void PSpaceRoots::VisitObjects(IObjectVisitor& v)
{
    for (auto& [name, p] : m_map) VisitPref(v, p);
}

} // namespace vorn
