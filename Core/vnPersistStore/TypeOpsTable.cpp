#include "vnPersistStore/TypeOpsTable.h"
#include "vnPersistStore/PersistExceptions.h"
#include "vnPersistStore/PersistLayout.h"
#include "vnReflection/BasicTypeOps.h"

namespace vorn {

TypeOpsTable::IdResult TypeOpsTable::GetTypeOpsId(const ReflectionByteCodeValue& type)
{
    CriticalSectionLock lock(m_lock);
    if (auto it = m_ids.find(type); it != m_ids.end()) return {it->second, false};
    m_entries.push_back(Entry{type, nullptr});
    const TypeOpsId id = TypeOpsId(m_entries.size());
    m_ids.emplace(type, id);
    return {id, true};
}

TypeOpsTable::OpsResult TypeOpsTable::GetTypeOps(TypeOpsId id)
{
    CriticalSectionLock lock(m_lock);
    if (id <= 0 || id > TypeOpsId(m_entries.size())) throw BadTypeOpsIdException(id);
    Entry& e = m_entries[size_t(id - 1)];
    if (e.m_ops == nullptr) {
        e.m_ops = GetBasicTypeOps(e.m_type.GetByteCode());
        if (e.m_ops == nullptr) throw TypeOpsNotFoundException(e.m_type);
    }
    return {&e.m_type, e.m_ops};
}

int32_t TypeOpsTable::GetCount()
{
    CriticalSectionLock lock(m_lock);
    return int32_t(m_entries.size());
}

void TypeOpsTable::Write(Archive& ar)
{
    CriticalSectionLock lock(m_lock);
    ar.WriteCompressedUInt32(kTypeOpsTableSchema);
    ar.WriteCompressedUInt32(uint32_t(m_entries.size()));
    for (const Entry& e : m_entries) {
        ar.SerialiseXvector(e.m_type.GetStringBytes());
        ar.SerialiseXvector(e.m_type.GetByteCodeBytes());
    }
}

InputArchive TypeOpsTable::Read(InputArchive in)
{
    int schema;
    in = ReadSchema(in, kTypeOpsTableSchema, schema);
    uint32_t count;
    in = ReadCompressedUInt32FromBuffer(in, count);
    // Every entry takes at least its two length bytes.
    if (count > in.Remaining() / 2) ThrowDeserialisationException("Bad type-operations table : count beyond the record");

    std::deque<Entry> entries;
    std::map<ReflectionByteCodeValue, TypeOpsId> ids;
    for (uint32_t i = 0; i < count; ++i) {
        xvector<uint8_t> names, byteCode;
        in = DeserialiseXvector(in, names);
        in = DeserialiseXvector(in, byteCode);
        Entry e;
        e.m_type.SetBytes(std::move(byteCode), std::move(names));
        // A type listed twice keeps its first id for lookups; both ids stay valid.
        ids.emplace(e.m_type, TypeOpsId(i + 1));
        entries.push_back(std::move(e));
    }

    CriticalSectionLock lock(m_lock);
    m_entries = std::move(entries);
    m_ids = std::move(ids);
    return in;
}

} // namespace vorn
