// The schema of one store: the class-id map and the type-operations table that give its
// stored objects their meaning, and the flag that says the stored copy of them is out of
// date (set whenever either table gains an entry).
#pragma once
#include "vnPersistStore/ClassIdMap.h"
#include "vnPersistStore/TypeOpsTable.h"
#include <atomic>

namespace vorn {

struct PersistSchema {
    ClassIdMap m_classIds;
    TypeOpsTable m_typeOps;
    std::atomic<bool> m_dirty{false};

    int32_t GetCid(const ReflectedClass* cls)
    {
        const ClassIdMap::CidResult r = m_classIds.GetCid(cls);
        if (r.m_added) m_dirty.store(true, std::memory_order_relaxed);
        return r.m_cid;
    }
    TypeOpsId GetTypeOpsId(const ReflectionByteCodeValue& type)
    {
        const TypeOpsTable::IdResult r = m_typeOps.GetTypeOpsId(type);
        if (r.m_added) m_dirty.store(true, std::memory_order_relaxed);
        return r.m_id;
    }
};

} // namespace vorn
