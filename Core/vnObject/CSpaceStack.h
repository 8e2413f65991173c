// The per-thread object stack: frames of {object, IObject table} pairs that keep
// temporaries alive. An open frame is a collector root of the thread's CSpace, so every
// pair pushed on it is reachable; frames nest per thread and are closed in reverse
// order. Push and pop take only the frame's own lock, so they may run while the
// collector visits the frame.
#pragma once
#include "vnReflection/IObject.h"
#include "vnUtils/Threads.h"
#include <cstdint>

namespace vorn {

class CSpaceStack : public IObjectBaseMixin<CSpaceStack> {
public:
    static constexpr int32_t kPageEntries = 1024;

    struct Page {
        AnyInterface m_entries[kPageEntries];
        int32_t m_begin = kPageEntries / 2;
        int32_t m_end = kPageEntries / 2;
        Page* m_prev = nullptr;
        Page* m_next = nullptr;
    };

    explicit CSpaceStack(CSpaceStack* previous) : m_previous(previous) {}
    CSpaceStack(const CSpaceStack&) = delete;
    CSpaceStack& operator=(const CSpaceStack&) = delete;

    void Push(AnyInterface p);
    // Removes the last count pairs (no more than the frame holds).
    void Pop(int64_t count);
    int64_t Count();
    CSpaceStack* GetPrevious() const { return m_previous; }
    // Pages in use, and whether a spare page is kept (for tests and statistics).
    int32_t GetNumPages();
    bool HasSparePage();

    // IObject (the rest from IObjectBaseMixin, which alone deletes a frame).
    void VisitObjects(IObjectVisitor& v);

private:
    friend class IObjectBaseMixin<CSpaceStack>;
    ~CSpaceStack();
    Page* NewPage();
    void ReleasePage(Page* p);

    CSpaceStack* m_previous;
    Page* m_first = nullptr;
    Page* m_last = nullptr;
    int64_t m_count = 0;
    Page* m_spare = nullptr;
    CriticalSection m_lock;
};

// Opens a frame on the thread's CSpace (which the thread must have): registers it,
// makes it a root and the thread's current frame.
void OpenCSpaceStack();
// Closes the thread's current frame: it stops being a root and the next collection
// destroys it.
void CloseCSpaceStack();
void CSpaceStack_Push(AnyInterface object);
void CSpaceStack_Pop(int32_t count);
// The thread's current frame (null when none is open).
CSpaceStack* GetThreadCSpaceStack();

// Closes the thread's current frame when the scope ends.
class CSpaceStackGuard {
public:
    CSpaceStackGuard() = default;
    ~CSpaceStackGuard() { CloseCSpaceStack(); }
    CSpaceStackGuard(const CSpaceStackGuard&) = delete;
    CSpaceStackGuard& operator=(const CSpaceStackGuard&) = delete;
};

} // namespace vorn
