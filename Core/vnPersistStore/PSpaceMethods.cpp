// The space's own forms of the operations that reach its store or its write-back
// state; each is the global operation on this space.
#include "vnPersistStore/PSpace.h"
#include "vnPersistStore/PersistStore.h"
#include "vnPersistStore/SpaceOperations.h"
#include "vnUtils/Exceptions.h"

namespace vorn {

void PSpace::Close()
{
    PersistStore* store = vorn::GetPersistStore(*this);
    if (store == nullptr) throw ProgrammingErrorException("PSpace::Close: the space has no store");
    store->ClosePSpace(this);
}

PersistStore* PSpace::GetPersistStore() { return vorn::GetPersistStore(*this); }

void PSpace::WriteDirtyObjectsToLss(bool flushToDisk) { vorn::WriteDirtyObjectsToLss(*this, flushToDisk); }

void PSpace::MarkPersistableAsDirtyWithoutTrace(IPersistablePtr object)
{
    vorn::MarkPersistableAsDirtyWithoutTrace(*this, object);
}

void PSpace::DeclareReachable(IPersistablePtr parent, IPersistablePtr child, bool trace)
{
    vorn::DeclareReachable(*this, parent, child, trace);
}

void PSpace::AsyncPermanentlyDeleteSubTree(IPersistablePtr object) { vorn::AsyncPermanentlyDeleteSubTree(*this, object); }
void PSpace::AsyncPermanentlyDeleteObject(IPersistablePtr object) { vorn::AsyncPermanentlyDeleteObject(*this, object); }
void PSpace::SyncPermanentlyDeleteObject(IPersistablePtr object) { vorn::SyncPermanentlyDeleteObject(*this, object); }

} // namespace vorn
