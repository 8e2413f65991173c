// vorn::DGIndepNodeForAsyncPref: a dependency-graph node that stands for one object
// being loaded in the background. Evaluations that asked for the object depend on it;
// when the loader publishes the object the node invalidates and detaches them, so that
// they run again and find the object resident.
//
// The node has two references: the loader's queue and the dependency graph. The graph's
// goes when the node's last dependent goes (NoDependentsLeft, which also cancels a load
// that has not been resolved); the loader's when its loading step ends, whatever the
// outcome. The last reference frees the node.
//
// State guarded by the owning space's CSpace lock: m_resolved and the table entry.
// State guarded by the OID's stripe lock: m_object and the hand-over to a binder
// (m_cancelled set under it by a binder that reads the object itself).
#pragma once
#include "vnLss/LssInterfaces.h"
#include "vnObject/DepGraph.h"
#include "vnPersistStore/Persistable.h"
#include <atomic>
#include <cstdint>

namespace vorn {

class ResidentObjectTable;

class DGIndepNodeForAsyncPref final : public DGIndepNode {
public:
    DGIndepNodeForAsyncPref(ResidentObjectTable* table, OID oid);

    // Loader thread: reads, deserialises and publishes the object (or drops the load;
    // every failure is traced, the loading entry removed and the node detached). Ends by
    // dropping the loader's reference.
    void LoadFromStore() noexcept;
    // Drops one reference; the last frees the node.
    void Release() noexcept;

    OID GetOid() const { return m_oid; }
    // The loader has deserialised the object and not yet handed it over.
    bool HasDeserialisedObject();
    bool IsResolved() const { return m_resolved; }
    bool IsCancelled() const { return m_cancelled.load(std::memory_order_acquire); }

protected:
    // The last dependent went: cancels an unresolved load and drops the graph's
    // reference.
    void NoDependentsLeft() override;

private:
    friend class ResidentObjectTable;
    ~DGIndepNodeForAsyncPref() override;

    // Under the space lock: the load ended without an object; the entry goes and the
    // node is detached. With a failure (the loader's own), the OID is marked as failed
    // with the failure's text and the dependents are invalidated, so that they run once
    // more and find it missing; a binder that took the load over reports its failure to
    // its caller instead, and the dependents are left valid.
    void FailUnderSpaceLock(const xstring* failure = nullptr);
    // Under the space lock: the load ends unresolved; its entry (if still its own) goes.
    void Abandon();

    ResidentObjectTable* m_table;
    std::atomic<int32_t> m_refs{2};
    OID m_oid;
    IContiguousSerialElement* m_element = nullptr; // held only while deserialising
    std::atomic<bool> m_cancelled{false};
    bool m_resolved = false;
    IPersistablePtr m_object; // deserialised by the loader, not yet handed over
};

} // namespace vorn
