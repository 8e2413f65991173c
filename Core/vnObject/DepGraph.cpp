#include "vnObject/DepGraph.h"
#include "vnObject/CSpace.h"
#include "vnReflection/CoreModule.h"
#include "vnUtils/Exceptions.h"
#include <vector>

namespace vorn {

namespace {

void Unlink(DGEdge* e)
{
    DGBaseNode* dependent = e->m_dependent;
    if (e->m_prevDependency)
        e->m_prevDependency->m_nextDependency = e->m_nextDependency;
    else
        dependent->m_dependencies = e->m_nextDependency;
    if (e->m_nextDependency) e->m_nextDependency->m_prevDependency = e->m_prevDependency;

    DGBaseNode* dependency = e->m_dependency;
    if (e->m_prevDependent)
        e->m_prevDependent->m_nextDependent = e->m_nextDependent;
    else
        dependency->m_dependents = e->m_nextDependent;
    if (e->m_nextDependent) e->m_nextDependent->m_prevDependent = e->m_prevDependent;
}

void MarkMustRecompute(DGBaseNode* node)
{
    if (node->m_flags & DGBaseNode::DG_MUST_RECOMPUTE) return;
    node->m_flags |= DGBaseNode::DG_MUST_RECOMPUTE;
    for (DGEdge* e = node->m_dependents; e; e = e->m_nextDependent) MarkMustRecompute(e->m_dependent);
}

void MarkDependentsMustRecompute(DGBaseNode* node)
{
    for (DGEdge* e = node->m_dependents; e; e = e->m_nextDependent) MarkMustRecompute(e->m_dependent);
}

} // namespace

namespace {

// The invalidation walk: each dependent not yet invalid becomes invalid, is told, and
// passes it on.
void InvalidateDependents(DGBaseNode* node)
{
    for (DGEdge* e = node->m_dependents; e; e = e->m_nextDependent) {
        DGBaseNode* d = e->m_dependent;
        if (d->m_flags & DGBaseNode::DG_INVALID) continue;
        d->m_flags |= DGBaseNode::DG_INVALID;
        if (d->IsDependent()) static_cast<DGDepNode*>(d)->OnInvalidate();
        InvalidateDependents(d);
    }
}

// MarkDirty's step for one dependent: invalidate it (and what depends on it) when it was
// valid, then mark it must-recompute.
void DirtyDependent(DGBaseNode* d)
{
    if (!(d->m_flags & DGBaseNode::DG_INVALID)) {
        d->m_flags |= DGBaseNode::DG_INVALID;
        if (d->IsDependent()) static_cast<DGDepNode*>(d)->OnInvalidate();
        InvalidateDependents(d);
    }
    MarkMustRecompute(d);
}

} // namespace

// ---- nodes and edges ------------------------------------------------------------------

DGBaseNode::~DGBaseNode()
{
    while (DGEdge* e = m_dependents) {
        e->m_dependent->m_flags |= DG_INVALID | DG_MUST_RECOMPUTE;
        Unlink(e);
        delete e;
    }
    while (DGEdge* e = m_dependencies) e->m_dependency->RemoveEdge(e);
}

void AddDependency(DGBaseNode* dependency, DGBaseNode* dependent)
{
    DGEdge* e = new DGEdge{dependency, nullptr, dependent->m_dependencies, dependent, nullptr, dependency->m_dependents, false};
    if (dependent->m_dependencies) dependent->m_dependencies->m_prevDependency = e;
    dependent->m_dependencies = e;
    if (dependency->m_dependents) dependency->m_dependents->m_prevDependent = e;
    dependency->m_dependents = e;
    if (!(dependency->m_flags & DGBaseNode::DG_OBSERVED) && (dependent->m_flags & DGBaseNode::DG_OBSERVED))
        PropagateObserved(dependency);
}

void DGBaseNode::RemoveEdge(DGEdge* edge)
{
    Unlink(edge);
    delete edge;
    if (IsDependent()) {
        if (!IsObserved()) ClearDependencies(this);
    } else if (m_dependents == nullptr) {
        if (m_flags & DG_OBSERVED) {
            m_flags &= ~DG_OBSERVED;
            OnUnobserved();
        }
        NoDependentsLeft(); // may delete this node
    }
}

void ClearDependencies(DGBaseNode* node)
{
    if (node->m_flags & DGBaseNode::DG_OBSERVED) {
        node->m_flags &= ~DGBaseNode::DG_OBSERVED;
        node->OnUnobserved();
    }
    while (DGEdge* e = node->m_dependencies) e->m_dependency->RemoveEdge(e);
    node->m_flags |= DGBaseNode::DG_INVALID | DGBaseNode::DG_MUST_RECOMPUTE;
}

void PropagateObserved(DGBaseNode* node)
{
    node->m_flags |= DGBaseNode::DG_OBSERVED;
    node->OnObserved();
    if (!node->IsDependent() || node->m_dependencies == nullptr) return;
    std::vector<DGBaseNode*> stack{node};
    while (!stack.empty()) {
        DGBaseNode* n = stack.back();
        stack.pop_back();
        for (DGEdge* e = n->m_dependencies; e; e = e->m_nextDependency) {
            DGBaseNode* d = e->m_dependency;
            if (d->m_flags & DGBaseNode::DG_OBSERVED) continue;
            d->m_flags |= DGBaseNode::DG_OBSERVED;
            d->OnObserved();
            if (d->IsDependent()) stack.push_back(d);
        }
    }
}

bool DGBaseNode::IsObserved() const
{
    if (m_flags & (DG_OBSERVER | DG_EVALUATING)) return true;
    if (m_dependents == nullptr) return false;
    if (!(m_flags & DG_CYCLE)) return true;
    // Follow the chain of single dependents; a loop back to the tortoise is a cycle
    // that nothing outside observes (Brent's cycle test).
    int32_t power = 8;
    int32_t stepsLeft = 8;
    const DGBaseNode* tortoise = this;
    const DGBaseNode* current = this;
    for (;;) {
        if (--stepsLeft == 0) {
            power *= 2;
            stepsLeft = power;
            tortoise = current;
        }
        const DGEdge* e = current->m_dependents;
        if (e == nullptr) return false;
        if (e->m_nextDependent != nullptr) return true;
        const DGBaseNode* next = e->m_dependent;
        if (next->m_flags & DG_OBSERVER) return true;
        if (!(next->m_flags & DG_CYCLE)) return true;
        if (next == tortoise) return false;
        current = next;
    }
}

// ---- independent nodes ----------------------------------------------------------------

void DGIndepNode::MarkDirty()
{
    for (DGEdge* e = m_dependents; e; e = e->m_nextDependent) DirtyDependent(e->m_dependent);
}

void DGIndepNode::SignalAndDetach()
{
    while (DGEdge* e = m_dependents) {
        DirtyDependent(e->m_dependent);
        Unlink(e);
        delete e;
    }
    if (m_flags & DG_OBSERVED) {
        m_flags &= ~DG_OBSERVED;
        OnUnobserved();
    }
    if (!IsDependent()) NoDependentsLeft();
}

void DGIndepNodeForDataModelField::NoDependentsLeft() { m_owner->EraseFieldNode(m_field); }

// ---- dependent nodes ------------------------------------------------------------------

void DGDepNode::Invalidate(bool notifySelf)
{
    if (!(m_flags & DG_INVALID)) {
        m_flags |= DG_INVALID;
        if (notifySelf) OnInvalidate();
        InvalidateDependents(this);
    }
    MarkMustRecompute(this);
}

void DGDepNode::EvaluateIfNeeded()
{
    DGState* st = GetThreadDGState();
    if (st == nullptr) throw ProgrammingErrorException("EvaluateIfNeeded : the calling thread has no current object space");
    DGDepNode* current = st->GetCurrentNode();
    if (current != nullptr && current != this) AddDependency(this, current);
    EvaluateSteps(st);
}

void DGDepNode::EvaluateSteps(DGState* st)
{
    if (m_flags & DG_EVALUATING) {
        if (!(m_flags & DG_CYCLE)) MarkDependentsMustRecompute(this);
        throw CycleException();
    }
    if (m_flags & DG_INVALID) {
        m_flags |= DG_EVALUATING;
        DGDepNode* const saved = st->GetCurrentNode();
        // Edges that something removes meanwhile simply leave the list, so the old ones
        // are told from the new by a flag rather than by position.
        auto removeEdges = [this](bool old) {
            for (DGEdge* e = m_dependencies; e;) {
                DGEdge* next = e->m_nextDependency;
                if (e->m_old == old) e->m_dependency->RemoveEdge(e);
                e = next;
            }
        };
        try {
            if (!(m_flags & DG_MUST_RECOMPUTE)) {
                st->SetCurrentNode(nullptr);
                for (DGEdge* e = m_dependencies; e;) {
                    DGEdge* next = e->m_nextDependency;
                    if (e->m_dependency->IsDependent()) {
                        try {
                            static_cast<DGDepNode*>(e->m_dependency)->EvaluateSteps(st);
                        } catch (const CycleException&) {
                        }
                    }
                    e = next;
                }
            }
            if (m_flags & DG_MUST_RECOMPUTE) {
                for (DGEdge* e = m_dependencies; e; e = e->m_nextDependency) e->m_old = true;
                const bool hadCycle = (m_flags & DG_CYCLE) != 0;
                st->SetCurrentNode(this);
                bool changed;
                try {
                    changed = Recompute() || hadCycle;
                    m_flags &= ~DG_CYCLE;
                } catch (const CycleException&) {
                    changed = !hadCycle;
                    m_flags |= DG_CYCLE;
                }
                // The reads of this recomputation replace the old edges.
                removeEdges(true);
                if (changed) MarkDependentsMustRecompute(this);
            }
        } catch (...) {
            // A failed recomputation leaves the node invalid, without the edges it added,
            // and the space without a node in evaluation.
            // (Still marked as evaluating, so no removal cascades back into this list.)
            removeEdges(false);
            for (DGEdge* e = m_dependencies; e; e = e->m_nextDependency) e->m_old = false;
            st->SetCurrentNode(saved);
            m_flags &= ~DG_EVALUATING;
            m_flags |= DG_INVALID | DG_MUST_RECOMPUTE;
            throw;
        }
        st->SetCurrentNode(saved);
        m_flags &= ~DG_EVALUATING;
        if (IsObserved())
            m_flags &= ~(DG_INVALID | DG_MUST_RECOMPUTE);
        else
            ClearDependencies(this);
    }
    if (m_flags & DG_CYCLE) throw CycleException();
}

// ---- field nodes and the per-space state -------------------------------------------------

DGState* GetThreadDGState()
{
    CSpace* space = GetThreadCSpace();
    return space ? &space->GetDGState() : nullptr;
}

void DGReadDataModelField(void* field, AnyInterface object)
{
    DGState* st = GetThreadDGState();
    if (st == nullptr || st->GetCurrentNode() == nullptr) return;
    AddDependency(st->GetFieldNode(field, object), st->GetCurrentNode());
}

void DGInvalidateDataModelField(void* field, AnyInterface)
{
    DGState* st = GetThreadDGState();
    if (st == nullptr) return;
    if (DGIndepNodeForDataModelField* n = st->FindFieldNode(field)) n->MarkDirty();
}

DGState::~DGState() { m_fieldNodes.clear(); }

void ActivateAgent(DGDepNode& agent)
{
    const bool wasObserved = (agent.m_flags & DGBaseNode::DG_OBSERVED) != 0;
    agent.m_flags |= DGBaseNode::DG_OBSERVER;
    if (!wasObserved) {
        PropagateObserved(&agent);
        if (DGState* st = GetThreadDGState()) st->AddObserver(&agent);
    }
}

void DeactivateAgent(DGDepNode& agent)
{
    agent.m_flags &= ~uint32_t(DGBaseNode::DG_OBSERVER);
    if ((agent.m_flags & DGBaseNode::DG_OBSERVED) && agent.FirstDependent() == nullptr) {
        agent.OnUnobserved();
        if (DGState* st = GetThreadDGState()) st->RemoveObserver(&agent);
        agent.m_flags &= ~uint32_t(DGBaseNode::DG_OBSERVED);
        ClearDependencies(&agent);
    }
}

void ObserverListExit::OnCollected(ObjSysState& sys, std::initializer_list<DGBaseNode*> agents)
{
    if (m_done || (LoadObjFlags(sys) & OBJ_NO_DELETE)) return;
    CSpace* owner = LoadOwner(sys);
    if (!owner) return;
    for (DGBaseNode* a : agents) owner->GetDGState().RemoveObserver(a);
    m_done = true;
}

void ObserverListExit::OnDestroyed(ObjSysState& sys, std::initializer_list<DGBaseNode*> agents)
{
    if (m_done) return;
    CSpace* owner = LoadOwner(sys);
    if (DGState* st = owner ? &owner->GetDGState() : GetThreadDGState())
        for (DGBaseNode* a : agents) st->RemoveObserver(a);
    m_done = true;
}

int32_t DGState::RemoveObserver(DGBaseNode* node)
{
    int32_t erased = 0;
    for (int32_t i = m_observers.size() - 1; i >= 0; --i) {
        if (m_observers[i] != node) continue;
        for (int32_t j = i + 1; j < m_observers.size(); ++j) m_observers[j - 1] = m_observers[j];
        m_observers.resize(m_observers.size() - 1);
        ++erased;
    }
    return erased;
}

DGIndepNodeForDataModelField* DGState::GetFieldNode(void* field, AnyInterface object)
{
    auto it = m_fieldNodes.find(field);
    if (it == m_fieldNodes.end())
        it = m_fieldNodes.emplace(std::piecewise_construct, std::forward_as_tuple(field), std::forward_as_tuple(object, this, field)).first;
    return &it->second.m_node;
}

DGIndepNodeForDataModelField* DGState::FindFieldNode(void* field) const
{
    auto it = m_fieldNodes.find(field);
    return it == m_fieldNodes.end() ? nullptr : const_cast<DGIndepNodeForDataModelField*>(&it->second.m_node);
}

void DGState::VisitObjects(IObjectVisitor& v)
{
    // A model object stays alive while one of its fields is read by some node.
    for (auto& [field, entry] : m_fieldNodes) v.VisitStrong(entry.m_object);
    std::vector<DGBaseNode*> nodes;
    for (DGBaseNode* n : m_observers) {
        if (n->m_flags & DGBaseNode::DG_VISITED) continue;
        n->m_flags |= DGBaseNode::DG_VISITED;
        nodes.push_back(n);
    }
    for (size_t i = 0; i < nodes.size(); ++i) {
        DGBaseNode* n = nodes[i];
        if (!n->IsDependent()) continue;
        for (DGEdge* e = n->m_dependencies; e; e = e->m_nextDependency) {
            DGBaseNode* d = e->m_dependency;
            if (d->m_flags & DGBaseNode::DG_VISITED) continue;
            d->m_flags |= DGBaseNode::DG_VISITED;
            nodes.push_back(d);
        }
    }
    for (DGBaseNode* n : nodes) n->m_flags &= ~DGBaseNode::DG_VISITED;
    for (DGBaseNode* n : nodes) n->VisitObjects(v);
}

} // namespace vorn
