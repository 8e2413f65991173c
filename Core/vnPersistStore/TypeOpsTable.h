// vorn::TypeOpsTable: the store's numbering of value types (vorn::TypeOpsId), so that
// stored data can name the types of its keys and payloads. Entries are only appended;
// ids start at 1. Each entry's operations are resolved from its type on first use. All
// operations take the table's own lock.
//
// Stored form: schema 1, compressed count, then per entry in id order its names and
// then its byte code, each as a compressed length and the bytes.
#pragma once
#include "vnReflection/ByteCodeValue.h"
#include "vnReflection/Records.h"
#include "vnUtils/Archive.h"
#include "vnUtils/Threads.h"
#include <cstdint>
#include <deque>
#include <map>

namespace vorn {

using TypeOpsId = int32_t;

// A type named by its byte code, with its operations: what the table gives for an id.
struct BcTypeOps {
    const ReflectionByteCodeValue* m_type;
    const TypeOps* m_ops;
};

class TypeOpsTable {
public:
    struct Entry {
        ReflectionByteCodeValue m_type;
        const TypeOps* m_ops = nullptr; // resolved on first use
    };
    struct IdResult {
        TypeOpsId m_id;
        bool m_added; // the type was new to the table (the store's schema is then dirty)
    };
    using OpsResult = BcTypeOps;

    IdResult GetTypeOpsId(const ReflectionByteCodeValue& type);
    // Throws BadTypeOpsIdException for an id outside 1 .. count and
    // TypeOpsNotFoundException when no operations are known for the entry's type.
    OpsResult GetTypeOps(TypeOpsId id);
    int32_t GetCount();

    void Write(Archive& ar);
    // Replaces the table with a stored one (entries unresolved). Throws
    // DeserialisationException for a damaged record; the table is unchanged then.
    InputArchive Read(InputArchive in);

private:
    CriticalSection m_lock;
    std::deque<Entry> m_entries; // stable addresses for OpsResult
    std::map<ReflectionByteCodeValue, TypeOpsId> m_ids;
};

} // namespace vorn
