// vorn::ClassIdMap: the store's numbering of the classes of its objects. Class names
// are only ever appended, so an id, once handed out, names the same class for the life
// of the store (a translation keeps a renamed class at its stored position). Ids start
// at 1; 0 stands for no object. All operations take the map's own lock.
//
// Stored form: schema 1, compressed count, then per class in id order its name as a
// compressed length and the bytes.
#pragma once
#include "vnReflection/NameSpace.h"
#include "vnReflection/Records.h"
#include "vnUtils/Archive.h"
#include "vnUtils/Threads.h"
#include "vnUtils/XString.h"
#include <cstdint>
#include <map>
#include <unordered_map>
#include <vector>

namespace vorn {

// A stored class name and the name it has now.
struct ClassNameTranslation {
    const char* m_storedName;
    const char* m_currentName;
};
struct ClassNameTranslationTable {
    const ClassNameTranslation* m_translations;
    int32_t m_count;
};

class ClassIdMap {
public:
    struct CidResult {
        int32_t m_cid;
        bool m_added; // the class was new to the map (the store's schema is then dirty)
    };
    // The id of a class, appending its name when the map lacks it.
    CidResult GetCid(const ReflectedClass* cls);
    // The class of an id: throws BadCidException for an id outside 1 .. count, and
    // ReflectedClassNotFoundException naming the class when no registry knows its name.
    const ReflectedClass* GetClass(int32_t cid);
    int32_t GetCount();
    // The stored name of an id (empty outside 1 .. count).
    xstring GetName(int32_t cid);

    void Write(Archive& ar);
    // Replaces the map with a stored one, renaming through the table (when given) and
    // setting dirty when a name was translated. Throws DeserialisationException for a
    // damaged record and RepeatedClassNameInCidMapException for a name listed twice;
    // the map is unchanged then.
    InputArchive Read(InputArchive in, const ClassNameTranslationTable* translations, bool& dirty);

private:
    struct Entry {
        xstring m_name;
        const ReflectedClass* m_class = nullptr; // resolved on first use
    };
    CriticalSection m_lock;
    std::vector<Entry> m_entries;
    std::map<xstring, int32_t, BytewiseLess> m_byName;
    std::unordered_map<const ReflectedClass*, int32_t> m_byClass;
};

} // namespace vorn
