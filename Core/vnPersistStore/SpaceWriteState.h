// What a persistent space keeps for writing itself back: its store, its dirty set and
// pending deletions, its write-group ring and its places on the writer's lists.
//
// Guards: the ring link and visited flag by the writer's group lock; the dirty-list
// links by the writer's dirty-list lock; the deletion-list links and flag by the
// writer's deletion-list lock; the rest by the space's CSpace lock.
#pragma once
#include <atomic>
#include <cstdint>
#include "vnPersistStore/DirtyObjectSet.h"
#include "vnPersistStore/PendingDeletions.h"

namespace vorn {

class PersistStore;
class PSpace;
class SpaceRootObject;

struct SpaceWriteState {
    explicit SpaceWriteState(PSpace* space) : m_dirty(space), m_groupNext(space) {}

    PersistStore* m_store = nullptr; // null for a space used without a store
    // Its count of references in the store's registry, once it is published (PersistStore.h).
    std::atomic<int32_t>* m_references = nullptr;
    DirtyObjectSet m_dirty;
    PendingDeletions m_deletions{false};
    bool m_writtenByWriter = false;  // the registry entry is marked persisted
    SpaceRootObject* m_rootObject = nullptr;

    PSpace* m_groupNext;             // the write-group ring; the space itself when alone
    bool m_visited = false;
    // The writer waits to take this space's lock: a fresh transaction waits behind it
    // (DosWriter.h). Set and cleared by the writer, under its turn lock.
    std::atomic<bool> m_writersTurn{false};

    // A space's place on one of the writer's lists.
    struct ListLinks {
        PSpace* m_prev = nullptr;
        PSpace* m_next = nullptr;
    };
    ListLinks m_dirtyLinks;    // the writer's list of spaces to write
    ListLinks m_deletionLinks; // the writer's list of spaces with deletions
};

} // namespace vorn
