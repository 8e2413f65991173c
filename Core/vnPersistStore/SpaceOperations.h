// The operations of a persistent space that change what must reach the store, and the
// global functions that act on an object's space or the thread's space. The caller
// holds the space's CSpace lock (a space transaction). The space of an object is the
// PSpace bound to its owning CSpace; the functions that find none do nothing (or
// return null / false).
#pragma once
#include "vnPersistStore/PSpace.h"

namespace vorn {

class PersistStore;
class SpaceRootObject;

// The store that opened the space (null for a space used without one).
PersistStore* GetPersistStore(PSpace& space);

// When the object has an OID and is not dirty yet: sets its dirty flag and queues it.
void MarkPersistableAsDirtyWithoutTrace(PSpace& space, IPersistablePtr object);
// When the parent has an OID and the child is not null and has none: the child gets an
// OID near the parent's (with trace, so does every new object it reaches).
void DeclareReachable(PSpace& space, IPersistablePtr parent, IPersistablePtr child, bool trace);
// When the object has an OID: queues the deletion of it and everything it reaches
// (AsyncPermanentlyDeleteSubTree), or of it alone (AsyncPermanentlyDeleteObject).
void AsyncPermanentlyDeleteSubTree(PSpace& space, IPersistablePtr object);
void AsyncPermanentlyDeleteObject(PSpace& space, IPersistablePtr object);
// Marks the object dirty and deleted: the writer deletes its element.
void SyncPermanentlyDeleteObject(PSpace& space, IPersistablePtr object);
// Has the writer write the space's write group now (no space lock held).
void WriteDirtyObjectsToLss(PSpace& space, bool flushToDisk);

// The collectable object that keeps a space's named roots and dirty objects alive: it
// is a collector root of the space's CSpace.
SpaceRootObject* CreateSpaceRootObject(PSpace& space);
// Unroots it and cuts it off the space (a space whose opening failed).
void DetachSpaceRootObject(PSpace& space);

// Finds or creates the root object called name, of class cls, in the thread's space
// (without one: in the thread's CSpace, which then finds none), inside a transaction
// of its own; the object becomes a collector root of the thread's CSpace. Null when the
// stored root is of another class.
AnyInterface BootstrapPSpaceRoot(const ReflectedClass* cls, const char* name);

// The global forms.
PersistStore* GetAssociatedPersistStore(AnyInterface object);
bool ObjectsBelongToDifferentPersistStores(AnyInterface a, AnyInterface b);
OID GetOid(AnyInterface object);
void MarkPersistentAsDirtyWithoutTrace(AnyInterface object);
void DeclareReachable(AnyInterface parent, AnyInterface child, bool trace);
void AsyncPermanentlyDeleteSubTree(AnyInterface object);
void AsyncPermanentlyDeleteObject(AnyInterface object);
void SyncPermanentlyDeleteSubTree(AnyInterface object);
void SyncPermanentlyDeleteObject(AnyInterface object);
IPersistablePtr BindObjectGivenOid(OID oid);
IPersistablePtr BindObjectInMemoryGivenOid(OID oid);
IPersistablePtr AsyncBindObjectInMemoryGivenOid(OID oid);
IPersistablePtr TryBindObjectGivenOid(OID oid);
IPersistablePtr GetPSpaceRoot(const char* name);
bool AddPSpaceRoot(const char* name, AnyInterface object);
bool RemovePSpaceRoot(const char* name);

} // namespace vorn
