// One persistent object in its serial element: the class id (from the store's class-id
// map; 0 for no object), then the class's own serialisation, which begins with its
// schema number. The bytes of the class's part are kept as the object's evictable size,
// so that the collector's eviction budget counts serialised bytes.
#pragma once
#include "vnLss/LssInterfaces.h"
#include "vnPersistStore/Persistable.h"
#include "vnPersistStore/PersistSchema.h"

namespace vorn {

// Writes the object record; a null object writes class id 0. A class new to the map
// marks the schema dirty.
void WritePersistentObject(Archive& ar, PersistSchema& schema, IPersistablePtr object);

// Reads one object record at the cursor into out (null for class id 0) and returns the
// cursor past it. With registerObject the new object is registered with the calling
// thread's CSpace (which must exist) before its own part is read, so that the space
// owns it whatever happens next; without, a failure destroys it. Throws
// DeserialisationException for a damaged record, BadCidException for an id outside
// the map, ReflectedClassNotFoundException for a class that no registry knows or that
// cannot be created, TypeMismatchException for a class that is not persistable.
InputArchive ReadPersistentObject(InputArchive in, PersistSchema& schema, bool registerObject, IPersistablePtr& out);

// The schema of the store whose object record the calling thread is reading, or null
// outside a read: a class whose own part needs the store's tables finds them here, on
// whichever thread the object is read.
PersistSchema* GetReadingSchema();

// Reads the object stored under oid, registered with the calling thread's CSpace and
// carrying the OID; null when the store holds no element under it. An element that
// holds class id 0 throws DeserialisationException. The element is
// released on every path; a failure of the release itself after a good read is traced
// and the object returned.
IPersistablePtr LoadPersistentObject(ILogStructuredStore* lss, PersistSchema& schema, OID oid);

// Releases an element, tracing instead of throwing a failure of the release.
void ReleaseElementNoThrow(IContiguousSerialElement* element) noexcept;

// Calls read with a cursor over the element stored under seid and releases the element
// on every path; false (read not called) when the store holds no such element.
template <class F>
bool ReadSerialElement(ILogStructuredStore* lss, Seid seid, F&& read)
{
    IContiguousSerialElement* element = lss->GetContiguousSerialElement(seid);
    if (element == nullptr) return false;
    try {
        int64_t length = 0;
        const uint8_t* buffer = element->GetBuffer(length);
        read(InputArchive(buffer, size_t(length)));
    } catch (...) {
        ReleaseElementNoThrow(element);
        throw;
    }
    ReleaseElementNoThrow(element);
    return true;
}

} // namespace vorn
