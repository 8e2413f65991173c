#include "vnObject/CSpaceStack.h"
#include "vnObject/CSpace.h"
#include "vnReflection/CoreModule.h"

namespace vorn {

namespace {
thread_local CSpaceStack* t_frame = nullptr;
}

CSpaceStack::~CSpaceStack()
{
    for (Page* p = m_first; p;) {
        Page* next = p->m_next;
        delete p;
        p = next;
    }
    delete m_spare;
}

CSpaceStack::Page* CSpaceStack::NewPage()
{
    Page* p = m_spare ? m_spare : new Page;
    m_spare = nullptr;
    p->m_begin = p->m_end = 0;
    p->m_prev = p->m_next = nullptr;
    return p;
}

void CSpaceStack::ReleasePage(Page* p)
{
    if (m_spare == nullptr)
        m_spare = p;
    else
        delete p;
}

void CSpaceStack::Push(AnyInterface pair)
{
    CriticalSectionLock lock(m_lock);
    if (m_last == nullptr) {
        m_first = m_last = NewPage();
    } else if (m_last->m_end == kPageEntries) {
        Page* p = NewPage();
        p->m_prev = m_last;
        m_last->m_next = p;
        m_last = p;
    }
    m_last->m_entries[m_last->m_end++] = pair;
    ++m_count;
}

void CSpaceStack::Pop(int64_t count)
{
    CriticalSectionLock lock(m_lock);
    while (count > 0 && m_last != nullptr) {
        const int64_t inPage = m_last->m_end - m_last->m_begin;
        const int64_t n = count < inPage ? count : inPage;
        m_last->m_end -= int32_t(n);
        m_count -= n;
        count -= n;
        if (m_last->m_end == m_last->m_begin) {
            Page* empty = m_last;
            m_last = empty->m_prev;
            if (m_last)
                m_last->m_next = nullptr;
            else
                m_first = nullptr;
            ReleasePage(empty);
        }
    }
}

int64_t CSpaceStack::Count()
{
    CriticalSectionLock lock(m_lock);
    return m_count;
}

int32_t CSpaceStack::GetNumPages()
{
    CriticalSectionLock lock(m_lock);
    int32_t n = 0;
    for (Page* p = m_first; p; p = p->m_next) ++n;
    return n;
}

bool CSpaceStack::HasSparePage()
{
    CriticalSectionLock lock(m_lock);
    return m_spare != nullptr;
}

void CSpaceStack::VisitObjects(IObjectVisitor& v)
{
    CriticalSectionLock lock(m_lock);
    for (Page* p = m_first; p; p = p->m_next)
        for (int32_t i = p->m_begin; i < p->m_end; ++i) v.VisitStrong(p->m_entries[i]);
}

// ---- the thread's frames -----------------------------------------------------------------

void OpenCSpaceStack()
{
    CSpace* space = GetThreadCSpace();
    if (space == nullptr) throw ProgrammingErrorException("OpenCSpaceStack : the calling thread has no current object space");
    CSpaceLock lock(space);
    CSpaceStack* frame = new CSpaceStack(t_frame);
    t_frame = frame;
    space->RegisterGcObject(frame->AsObject());
    space->AddGcRoot(frame->AsObject());
}

void CloseCSpaceStack()
{
    CSpaceStack* frame = t_frame;
    if (frame == nullptr) return;
    t_frame = frame->GetPrevious();
    // The frame's owner is the space that registered it (the thread's space may have
    // changed meanwhile).
    CSpace* space = LoadOwner(frame->GetSysState());
    CSpaceLock lock(space);
    space->RemoveGcRoot(frame->AsObject());
}

namespace {
CSpaceStack& CurrentFrame()
{
    if (t_frame == nullptr) throw ProgrammingErrorException("CSpaceStack : the calling thread has no open frame");
    return *t_frame;
}
} // namespace

void CSpaceStack_Push(AnyInterface object) { CurrentFrame().Push(object); }
void CSpaceStack_Pop(int32_t count) { CurrentFrame().Pop(count); }
CSpaceStack* GetThreadCSpaceStack() { return t_frame; }

} // namespace vorn
