#include "vnPersistStore/OidSpaceMap.h"
#include "vnPersistStore/PSpace.h"
#include "vnPersistStore/PersistLayout.h"

namespace vorn {

namespace {
constexpr size_t kStoredEntrySize = 4 + sizeof(Guid);
} // namespace

const ReflectedClass OidSpaceMap::s_class = MakeClassRecord<OidSpaceMap>(
    "vorn::OidSpaceMap", 1, TypeOps{}, nullptr, nullptr, 0, nullptr, 0, &NewPersistableFactory<OidSpaceMap>);

void OidSpaceMap::Set(OidHigh high, const OidSpaceGuid& guid)
{
    CriticalSectionLock lock(m_lock);
    if (auto it = m_forward.find(high); it != m_forward.end()) m_reverse.erase(it->second);
    if (auto it = m_reverse.find(guid); it != m_reverse.end()) m_forward.erase(it->second);
    m_forward[high] = guid;
    m_reverse[guid] = high;
}

bool OidSpaceMap::FindGuid(OidHigh high, OidSpaceGuid& guid)
{
    CriticalSectionLock lock(m_lock);
    auto it = m_forward.find(high);
    if (it == m_forward.end()) return false;
    guid = it->second;
    return true;
}

bool OidSpaceMap::FindOidHigh(const OidSpaceGuid& guid, OidHigh& high)
{
    CriticalSectionLock lock(m_lock);
    auto it = m_reverse.find(guid);
    if (it == m_reverse.end()) return false;
    high = it->second;
    return true;
}

OidSpaceMap::Forward OidSpaceMap::GetForward()
{
    CriticalSectionLock lock(m_lock);
    return m_forward;
}

OidSpaceMap::Reverse OidSpaceMap::GetReverse()
{
    CriticalSectionLock lock(m_lock);
    return m_reverse;
}


void OidSpaceMap::Serialise(Archive& ar) const
{
    CriticalSectionLock lock(m_lock);
    ar.WriteCompressedUInt32(kOidSpaceMapSchema);
    ar.WriteCompressedUInt32(uint32_t(m_forward.size()));
    for (const auto& [high, guid] : m_forward) {
        ar.Write4(high);
        ar.SerialiseGuid(guid);
    }
}

InputArchive OidSpaceMap::Deserialise(InputArchive in)
{
    int schema;
    in = ReadSchema(in, kOidSpaceMapSchema, schema);
    uint32_t count;
    in = ReadCompressedUInt32FromBuffer(in, count);
    if (count > in.Remaining() / kStoredEntrySize) ThrowDeserialisationException("Bad OID space map : count beyond the record");
    Forward forward;
    for (uint32_t i = 0; i < count; ++i) {
        OidHigh high;
        Guid guid;
        in = Read4FromBuffer(in, high);
        in = DeserialiseGuid(in, guid);
        forward[high] = guid;
    }
    Reverse reverse;
    for (const auto& [high, guid] : forward) reverse.emplace(guid, high);
    CriticalSectionLock lock(m_lock);
    m_forward = std::move(forward);
    m_reverse = std::move(reverse);
    return in;
}

} // namespace vorn
