// vorn::OidSpaceMap: a persistable two-way map between the high words of OIDs and the
// GUIDs that name OID spaces. The reverse map is rebuilt from the forward one whenever
// the object is read. All operations take the object's own lock.
//
// Stored form: schema 1, compressed count, then per entry in ascending high-word order
// the high word as 4 raw bytes (least significant first) and the GUID's 16 bytes.
#pragma once
#include "vnPersistStore/Persistable.h"
#include "vnUtils/Guid.h"
#include "vnUtils/Threads.h"
#include <cstring>
#include <map>

namespace vorn {

using OidSpaceGuid = Guid;

// An OID named across stores: the GUID of its space and its low word.
struct Goid {
    OidSpaceGuid m_oidSpaceGuid;
    OidLow m_oidLow;
};
static_assert(sizeof(Goid) == 20, "a Goid is five 32-bit words");

struct GuidLess {
    bool operator()(const Guid& a, const Guid& b) const { return std::memcmp(&a, &b, sizeof(Guid)) < 0; }
};

class OidSpaceMap : public PersistableMixin<OidSpaceMap> {
public:
    using Forward = std::map<OidHigh, OidSpaceGuid>;
    using Reverse = std::map<OidSpaceGuid, OidHigh, GuidLess>;

    static const ReflectedClass s_class; // "vorn::OidSpaceMap"

    // Adds or replaces the pair in both directions.
    void Set(OidHigh high, const OidSpaceGuid& guid);
    // False when the map lacks the key.
    bool FindGuid(OidHigh high, OidSpaceGuid& guid);
    bool FindOidHigh(const OidSpaceGuid& guid, OidHigh& high);
    Forward GetForward();
    Reverse GetReverse();

    // IObject and IPersistable (the rest from PersistableMixin).
    const ReflectedClass* GetReflectedClass() const { return &s_class; }
    void Serialise(Archive& ar) const;
    // Throws DeserialisationException for another schema or a damaged record; the map
    // is unchanged then.
    InputArchive Deserialise(InputArchive in);

private:
    mutable CriticalSection m_lock;
    Forward m_forward;
    Reverse m_reverse;
};

} // namespace vorn
