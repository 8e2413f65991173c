// vorn::ThreadPSpaceGuard: owns a persistent space that its owner opened and makes it,
// with its CSpace, the thread's current spaces for a scope. On leaving it closes the
// space (PSpace::Close, which writes what the space holds) and then puts the thread's
// previous PSpace and CSpace back; the slots are restored even when the close throws.
//
// A close that fails while no exception is passing throws out of the guard (Close or the
// destructor); while one is passing, the failure is dropped and the first one goes on.
// Give the guard a space opened with no lock held; the guard must be left before the
// space's store is closed.
#pragma once
#include "vnUtils/QuietClose.h"

namespace vorn {

class CSpace;
class PSpace;

class ThreadPSpaceGuard {
public:
    // Saves the thread's spaces and makes space (and its CSpace) current; a null space
    // saves the slots and changes nothing else.
    explicit ThreadPSpaceGuard(PSpace* space);
    ~ThreadPSpaceGuard() noexcept(false);
    ThreadPSpaceGuard(const ThreadPSpaceGuard&) = delete;
    ThreadPSpaceGuard& operator=(const ThreadPSpaceGuard&) = delete;

    PSpace* Get() const { return m_space; }
    PSpace* operator->() const { return m_space; }
    // Closes the space now and restores the slots; a later Close or the destructor does
    // nothing more.
    void Close();

private:
    PSpace* m_space;
    PSpace* m_previousPSpace;
    CSpace* m_previousCSpace;
    bool m_done = false;
    CloseOnLeave m_leave;
};

} // namespace vorn
