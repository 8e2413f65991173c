// A collectable test object with strong and weak references, a canary that every
// access checks, and counters of the space's notices.
#pragma once
#include "vnObject/CSpace.h"
#include "vnObject/ObjHeader.h"
#include "vnReflection/IObject.h"
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <vector>

namespace vorn::test {

struct Counters {
    std::atomic<int> live{0};
    std::atomic<int> destroyed{0};
    std::atomic<int> notices{0};
    void Reset() { live = 0, destroyed = 0, notices = 0; }
};
inline Counters g_counts;

struct Node {
    static constexpr uint64_t kCanary = 0x5EEDC0DE12345678ull;
    ObjSysState sys{};
    uint64_t canary = kCanary;
    int32_t value = 0;
    std::vector<AnyInterface> strong; // guarded by the space lock
    std::vector<AnyInterface> weak;
    std::function<void(Node&, IObjectVisitor&)> onVisit;
    std::function<void(Node&)> onGc;
    std::function<void()> onDestroyAfter;

    Node() { ++g_counts.live; }
    ~Node()
    {
        canary = 0;
        --g_counts.live;
    }
    void Check() const
    {
        if (canary != kCanary) std::abort();
    }
    AnyInterface Any();

    AnyInterface QueryInterface(const ReflectedInterface&) { return AnyInterface{nullptr, nullptr}; }
    AnyInterface BindInterface(const ReflectedInterface&) { return AnyInterface{nullptr, nullptr}; }
    const ReflectedClass* GetReflectedClass() const { return nullptr; }
    void VisitObjects(IObjectVisitor& v)
    {
        Check();
        for (AnyInterface& s : strong) v.VisitStrong(s);
        for (AnyInterface& w : weak) v.VisitWeak(w);
        if (onVisit) onVisit(*this, v);
    }
    void OnGarbageCollect()
    {
        Check();
        ++g_counts.notices;
        if (onGc) onGc(*this);
    }
    void DestroyObject()
    {
        Check();
        ++g_counts.destroyed;
        // The hook runs after the deletion (it may throw, as a late failure would).
        const std::function<void()> after = std::move(onDestroyAfter);
        delete this;
        if (after) after();
    }
    ObjSysState& GetSysState() { return sys; }
};

inline AnyInterface Node::Any() { return AnyInterface{this, &kIObjectTableOf<Node>}; }

// A node registered with space.
inline Node* NewNode(CSpace* space, int32_t value = 0)
{
    Node* n = new Node;
    n->value = value;
    space->RegisterGcObject(n->Any());
    return n;
}

inline Node* NodeOf(AnyInterface p) { return static_cast<Node*>(p.m_object); }

} // namespace vorn::test
