#include "vnPersistStore/ClassIdMap.h"
#include "vnPersistStore/PersistExceptions.h"
#include "vnPersistStore/PersistLayout.h"
#include "vnReflection/Registry.h"

namespace vorn {

ClassIdMap::CidResult ClassIdMap::GetCid(const ReflectedClass* cls)
{
    CriticalSectionLock lock(m_lock);
    if (auto it = m_byClass.find(cls); it != m_byClass.end()) return {it->second, false};
    const xstring name(cls->GetName());
    bool added = false;
    int32_t cid;
    if (auto it = m_byName.find(name); it != m_byName.end()) {
        cid = it->second;
    } else {
        m_entries.push_back(Entry{name, cls});
        cid = int32_t(m_entries.size());
        m_byName.emplace(name, cid);
        added = true;
    }
    m_byClass.emplace(cls, cid);
    return {cid, added};
}

const ReflectedClass* ClassIdMap::GetClass(int32_t cid)
{
    CriticalSectionLock lock(m_lock);
    if (cid <= 0 || cid > int32_t(m_entries.size())) throw BadCidException(cid);
    Entry& e = m_entries[size_t(cid - 1)];
    if (e.m_class == nullptr) e.m_class = FindReflectedClassOrThrow(e.m_name.Range());
    return e.m_class;
}

int32_t ClassIdMap::GetCount()
{
    CriticalSectionLock lock(m_lock);
    return int32_t(m_entries.size());
}

xstring ClassIdMap::GetName(int32_t cid)
{
    CriticalSectionLock lock(m_lock);
    if (cid <= 0 || cid > int32_t(m_entries.size())) return xstring();
    return m_entries[size_t(cid - 1)].m_name;
}

void ClassIdMap::Write(Archive& ar)
{
    CriticalSectionLock lock(m_lock);
    ar.WriteCompressedUInt32(kClassIdMapSchema);
    ar.WriteCompressedUInt32(uint32_t(m_entries.size()));
    for (const Entry& e : m_entries) {
        ar.WriteCompressedUInt32(uint32_t(e.m_name.size()));
        ar.WriteBytes(e.m_name.data(), e.m_name.size());
    }
}

InputArchive ClassIdMap::Read(InputArchive in, const ClassNameTranslationTable* translations, bool& dirty)
{
    std::map<xstring, xstring, BytewiseLess> renames;
    if (translations)
        for (int32_t i = 0; i < translations->m_count; ++i)
            renames.emplace(xstring(translations->m_translations[i].m_storedName),
                            xstring(translations->m_translations[i].m_currentName));

    int schema;
    in = ReadSchema(in, kClassIdMapSchema, schema);
    uint32_t count;
    in = ReadCompressedUInt32FromBuffer(in, count);
    // Every name takes at least its length byte.
    if (count > in.Remaining()) ThrowDeserialisationException("Bad class-id map : count beyond the record");

    std::vector<Entry> entries;
    std::map<xstring, int32_t, BytewiseLess> byName;
    entries.reserve(count);
    bool renamed = false;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t n;
        in = ReadCompressedUInt32FromBuffer(in, n);
        CheckArchiveRoom(in, n);
        xstring name(reinterpret_cast<const char*>(in.Ptr()), reinterpret_cast<const char*>(in.Ptr()) + n);
        in.m_ptr += n;
        if (auto it = renames.find(name); it != renames.end()) {
            name = it->second;
            renamed = true;
        }
        if (!byName.emplace(name, int32_t(i + 1)).second) throw RepeatedClassNameInCidMapException(name);
        entries.push_back(Entry{std::move(name), nullptr});
    }

    CriticalSectionLock lock(m_lock);
    m_entries = std::move(entries);
    m_byName = std::move(byName);
    m_byClass.clear();
    if (renamed) dirty = true;
    return in;
}

} // namespace vorn
