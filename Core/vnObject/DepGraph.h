// The dependency graph: independent nodes (DGIndepNode) stand for values set from
// outside, dependent nodes (DGDepNode) for computations. While a dependent node
// recomputes it is its space's current node, and every node read meanwhile becomes one
// of its dependencies; writing an independent value invalidates what depends on it,
// transitively. Only observed dependent nodes keep their dependencies between
// evaluations. Every operation runs under the lock of the calling thread's CSpace,
// whose DGState holds the current node, the observers and the field nodes.
#pragma once
#include "vnReflection/IObject.h"
#include "vnUtils/XVector.h"
#include <cstdint>
#include <initializer_list>
#include <map>

namespace vorn {

class CSpace;
class DGBaseNode;

// Thrown (by value) out of an evaluation that met a cycle.
class CycleException {};

// One dependency: m_dependent read m_dependency. It sits in the dependent's list of
// dependencies and in the dependency's list of dependents; new edges go to both heads.
struct DGEdge {
    DGBaseNode* m_dependency;
    DGEdge* m_prevDependency; // links in m_dependent's dependencies list
    DGEdge* m_nextDependency;
    DGBaseNode* m_dependent;
    DGEdge* m_prevDependent;  // links in m_dependency's dependents list
    DGEdge* m_nextDependent;
    bool m_old = false;       // read before the recomputation in progress
};

class DGBaseNode {
public:
    enum Flags : uint32_t {
        DG_DEPENDENT = 0x1,       // a dependent node
        DG_INVALID = 0x2,         // something it depends on may have changed
        DG_MUST_RECOMPUTE = 0x4,  // something it read has certainly changed
        DG_EVALUATING = 0x8,
        DG_CYCLE = 0x10,          // the last evaluation met a cycle
        DG_OBSERVED = 0x20,       // an observer depends on it, directly or transitively
        DG_OBSERVER = 0x100,      // always counts as observed
        DG_VISITED = 0x200,       // during the collector's walk only
    };

    DGBaseNode(const DGBaseNode&) = delete;
    DGBaseNode& operator=(const DGBaseNode&) = delete;

    // Called when the node becomes / stops being observed.
    virtual void OnObserved() {}
    virtual void OnUnobserved() {}
    // Lets the collector see the objects that the node keeps alive.
    virtual void VisitObjects(IObjectVisitor& v) = 0;

    uint32_t GetFlags() const { return m_flags; }
    bool IsDependent() const { return (m_flags & DG_DEPENDENT) != 0; }
    DGEdge* FirstDependent() const { return m_dependents; }
    DGEdge* FirstDependency() const { return m_dependencies; }

    // True when some observer depends on the node (cycles that nothing outside
    // observes do not count).
    bool IsObserved() const;
    // Unlinks and frees edge, one of this node's dependents edges; a dependent node left
    // unobserved drops its dependencies, an independent node left without dependents
    // is told so (which may delete it: touch nothing of it afterwards).
    void RemoveEdge(DGEdge* edge);

    uint32_t m_flags;
    DGEdge* m_dependents = nullptr;   // edges in which this node is the dependency
    DGEdge* m_dependencies = nullptr; // edges in which this node is the dependent

protected:
    explicit DGBaseNode(uint32_t flags) : m_flags(flags) {}
    // Unlinks every edge left (the owner should have detached the node first).
    virtual ~DGBaseNode();

    friend void ClearDependencies(DGBaseNode* node);
    friend class DGIndepNode;
    friend class DGDepNode;
    // The independent node's "no dependents left" notice (see DGIndepNode).
    virtual void NoDependentsLeft() {}
};

// A value set from outside: writing it calls MarkDirty.
class DGIndepNode : public DGBaseNode {
public:
    DGIndepNode() : DGBaseNode(0) {}
    void VisitObjects(IObjectVisitor&) override {}
    // Invalidates every dependent (transitively) and marks them must-recompute.
    void MarkDirty();
    // As MarkDirty for each dependent, then removes every dependents edge.
    void SignalAndDetach();

protected:
    ~DGIndepNode() override = default;
    // The last dependent dropped its edge. May delete the node.
    void NoDependentsLeft() override {}
};

// A computation. Valid when neither DG_INVALID nor DG_MUST_RECOMPUTE is set.
class DGDepNode : public DGBaseNode {
public:
    DGDepNode() : DGBaseNode(DG_DEPENDENT | DG_INVALID | DG_MUST_RECOMPUTE) {}
    // Records the read in the current node, then brings the node up to date.
    // Throws CycleException when the node takes part in a cycle; other exceptions
    // of Recompute propagate with the node left invalid and the graph consistent.
    void EvaluateIfNeeded();
    // Marks the node (and, when it was valid, its dependents) invalid, calling
    // OnInvalidate on the node itself only when notifySelf; then must-recompute.
    void Invalidate(bool notifySelf);

    // Recomputes the value; true when it changed. Runs as the space's current node.
    virtual bool Recompute() = 0;
    // The node has just become invalid. Must not block.
    virtual void OnInvalidate() {}

protected:
    ~DGDepNode() override = default;

private:
    void EvaluateSteps(class DGState* st);
};

// The node of one model field, owned by its space's field-node map.
class DGIndepNodeForDataModelField final : public DGIndepNode {
public:
    DGIndepNodeForDataModelField(class DGState* owner, void* field) : m_owner(owner), m_field(field) {}
    ~DGIndepNodeForDataModelField() override = default;
protected:
    void NoDependentsLeft() override; // erases the map entry, and so the node
private:
    class DGState* m_owner;
    void* m_field;
};

// Links dependency -> dependent; propagates the observed flag when the dependent is
// observed and the dependency is not.
void AddDependency(DGBaseNode* dependency, DGBaseNode* dependent);
// Drops every dependency of node (calling OnUnobserved when it was observed) and leaves
// it invalid and must-recompute.
void ClearDependencies(DGBaseNode* node);
// Sets DG_OBSERVED on node and, transitively, on its dependencies.
void PropagateObserved(DGBaseNode* node);

// Read barrier of a model field: a dependency of the current node (if any) on the
// field's node, created on first read.
void DGReadDataModelField(void* field, AnyInterface object);
// A model field was written: its node (if it has one) is marked dirty.
void DGInvalidateDataModelField(void* field, AnyInterface object);

// The per-space graph state, a collectable object embedded in its CSpace.
class DGState : public IObjectBaseMixin<DGState> {
public:
    struct FieldEntry {
        AnyInterface m_object;
        DGIndepNodeForDataModelField m_node;
        FieldEntry(AnyInterface object, DGState* owner, void* field) : m_object(object), m_node(owner, field) {}
    };

    DGState() = default;
    ~DGState();
    DGState(const DGState&) = delete;
    DGState& operator=(const DGState&) = delete;

    DGDepNode* GetCurrentNode() const { return m_current; }
    void SetCurrentNode(DGDepNode* n) { m_current = n; }

    // Observer agents registered by their owners.
    void AddObserver(DGBaseNode* node) { m_observers.push_back(node); }
    // Erases every occurrence; returns how many.
    int32_t RemoveObserver(DGBaseNode* node);
    const xvector<DGBaseNode*>& GetObservers() const { return m_observers; }

    // The field's node, created when missing.
    DGIndepNodeForDataModelField* GetFieldNode(void* field, AnyInterface object);
    // The field's node or null.
    DGIndepNodeForDataModelField* FindFieldNode(void* field) const;
    size_t GetNumFieldNodes() const { return m_fieldNodes.size(); }
    void EraseFieldNode(void* field) { m_fieldNodes.erase(field); }

    // IObject (the rest from IObjectBaseMixin; the state is marked as a root by the
    // collector).
    void VisitObjects(IObjectVisitor& v);
    void DestroyObject() {} // embedded: lives and dies with its space

private:
    xvector<DGBaseNode*> m_observers;
    DGDepNode* m_current = nullptr;
    std::map<void*, FieldEntry> m_fieldNodes;
};

// The graph state of the calling thread's CSpace, or null when it has none.
DGState* GetThreadDGState();

// An agent (a window's display agent, say) becomes an observer: it keeps its
// dependencies, is told of changes, and joins the thread's space's observer list when it
// was not observed yet. Deactivating undoes that once nothing depends on the agent. Both
// under the space lock.
void ActivateAgent(DGDepNode& agent);
void DeactivateAgent(DGDepNode& agent);

// Takes an object's observer agents off its space's observer list once, where no other
// thread can be changing the list: from the object's OnGarbageCollect when the collector
// will delete it (the pass holds the space lock then; the deletion that follows does
// not), else from its destructor (a space being torn down, or an object never
// registered, whose agents are on the calling thread's list).
class ObserverListExit {
public:
    void OnCollected(ObjSysState& sys, std::initializer_list<DGBaseNode*> agents);
    void OnDestroyed(ObjSysState& sys, std::initializer_list<DGBaseNode*> agents);
private:
    bool m_done = false;
};

} // namespace vorn
