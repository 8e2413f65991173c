#include "vnPersistStore/ThreadPSpaceGuard.h"
#include "vnObject/CSpace.h"
#include "vnPersistStore/PSpace.h"

namespace vorn {

ThreadPSpaceGuard::ThreadPSpaceGuard(PSpace* space)
    : m_space(space), m_previousPSpace(GetThreadPSpace()), m_previousCSpace(GetThreadCSpace())
{
    if (m_space == nullptr) return;
    SetThreadPSpace(m_space);
    SetThreadCSpace(m_space->GetCSpace());
}

void ThreadPSpaceGuard::Close()
{
    if (m_done) return;
    m_done = true;
    PSpace* space = m_space;
    m_space = nullptr;
    struct Restore {
        ThreadPSpaceGuard& g;
        ~Restore()
        {
            SetThreadPSpace(g.m_previousPSpace);
            SetThreadCSpace(g.m_previousCSpace);
        }
    } restore{*this};
    if (space) space->Close();
}

ThreadPSpaceGuard::~ThreadPSpaceGuard() noexcept(false)
{
    m_leave.Run([this] { Close(); });
}

} // namespace vorn
