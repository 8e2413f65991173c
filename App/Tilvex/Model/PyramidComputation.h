// Computing a pyramid's upper levels from its bottom tiles, and the walk helpers that
// keep the nodes on the current path alive. The nodes of a level are computed in
// batches, each parent on one of the pool's threads. A parent's tile is the 2 x 2 truncating
// average of its children's decoded tiles, each child filling one 128 x 128 quadrant
// (a missing child, or one without an image, leaves its quadrant black); levels are
// computed from the deepest upwards, so every node follows all of its children.
// Tilvex::CalcIntermediateTiles and Tilvex::CreateFullTree are defined here, with their
// steps on a node: TilvexNode::CalcLevel, ComputeImageFromChildren and CreateFullTree.
//
// The caller has the pyramid's space as the thread's current spaces; every change is
// made inside a space transaction of this code's own. Failures of the averaging tasks
// are carried back and thrown on the calling thread.
#pragma once
#include "Tilvex/Model/Tilvex.h"
#include "vnUtils/PagedDeque.h"
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vorn {

class IThreadPool;
class ITaskExecuter;

// The smallest d >= 1 with 256 x 2^(d - 1) >= max(width, height), at most 30.
int32_t TilvexDepthForSize(int64_t width, int64_t height);

// A collected object of the thread's CSpace holding the nodes of the current path as
// strong references, and the count of nodes handled.
class TilvexWorkStack : public IObjectBaseMixin<TilvexWorkStack> {
public:
    // IObject (the rest from IObjectBaseMixin).
    void VisitObjects(IObjectVisitor& v);
    void DestroyObject();

    // Inside a transaction.
    void Push(TilvexNode* node) { m_work.PushBack(node->AsObject()); }
    void Pop() { m_work.PopBack(); }

    std::atomic<bool> m_abort{false}; // never set by the builder
    PagedDeque<AnyInterface> m_work;
    int64_t m_count = 0;
};

// Opens an object-stack frame holding a new work stack for the scope.
class WorkStackScope {
public:
    WorkStackScope();
    ~WorkStackScope();
    WorkStackScope(const WorkStackScope&) = delete;
    WorkStackScope& operator=(const WorkStackScope&) = delete;
    TilvexWorkStack* Get() const { return m_work; }
    // Another work stack, held by the same frame.
    TilvexWorkStack* AddWorkStack();
private:
    TilvexWorkStack* m_work;
    int32_t m_count = 0;
};

// Drops a parent's in-memory pointer to a child once the child has its OID (it has
// been written back), so that the collector may evict the child; it is loaded again by
// OID when next asked for. A child without an OID is kept (it would be lost), and false
// returned. Inside a transaction.
bool ReleaseWrittenChild(pref& ref);

// One parent's tile: the 2 x 2 truncating average of the children's decoded tiles, the
// child at index col + 2 row filling its quadrant (a null child leaves it black), JPEG-
// encoded into result. Uses objects the calling thread keeps between calls; a child
// that is not a 256 x 256 colour JPEG throws vorn::JpegException.
void ComputeParentImage(const uint8_t* const children[4], const size_t lengths[4], JpegImage& result);

// A parent's children as copies of their JPEG bytes, index col + 2 row, gathered so
// that the parent can be computed away from them (on another thread, or after they
// have left memory). A child left out (missing, or without an image) leaves its
// quadrant black.
struct ParentChildren {
    bool has[4] = {};
    xvector<uint8_t> bytes[4];

    // The parent's tile from the children held, as ComputeParentImage.
    void ComputeImage(JpegImage& result) const;
};

// Called on the walking thread each time a batch of parents has been computed, before
// their tiles are handed over (a test collects there). Null for none; not to be
// changed while levels are computed.
void SetLevelBatchFinishHook(void (*hook)());

// Makes the calling thread's objects of ComputeParentImage and of JPEG coding (state
// with destructors): the start of each pool thread that computes parents, before it
// takes work that may fail for want of memory.
void PreparePyramidThread();

// The number of threads of the pool that computes the levels.
constexpr int32_t kIntermediateThreads = 4;

} // namespace vorn
