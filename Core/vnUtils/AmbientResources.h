// Ambient resources: a per-thread table, set by the window code before it calls into a
// view, through which code finds resources by name. The table maps names to 8-byte
// entries whose meaning belongs to the code that stores them; it only stores and
// copies them. Copying a table copies the whole map.
#pragma once
#include "vnUtils/XString.h"
#include <cstdint>
#include <map>

namespace vorn {

// The name of an ambient resource.
using ARN = string8;

class AmbientResourceTable {
public:
    using Entry = uint64_t;
    using Map = std::map<ARN, Entry>;

    // Stores entry under name, replacing an entry of that name.
    void Set(const ARN& name, Entry entry) { m_map.insert_or_assign(name, entry); }
    // The entry of name, or null when there is none.
    const Entry* Find(const ARN& name) const
    {
        const auto it = m_map.find(name);
        return it == m_map.end() ? nullptr : &it->second;
    }
    // True when an entry was removed.
    bool Remove(const ARN& name) { return m_map.erase(name) != 0; }
    void Clear() { m_map.clear(); }
    size_t Size() const { return m_map.size(); }

    const Map& GetMap() const { return m_map; }
    Map& GetMap() { return m_map; }

    bool operator==(const AmbientResourceTable& o) const { return m_map == o.m_map; }
    bool operator!=(const AmbientResourceTable& o) const { return !(*this == o); }

private:
    Map m_map;
};

// The calling thread's current table; null on a new thread until one is set.
AmbientResourceTable* GetThreadAmbientResourceTable();
// Sets the calling thread's table; the caller keeps ownership.
void SetThreadAmbientResourceTable(AmbientResourceTable* table);

} // namespace vorn
