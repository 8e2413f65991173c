// Closing what a scope opened when the scope is left. While no exception thrown inside
// the scope is passing, a failure of the close goes on to the caller; while one is
// passing, the close is quiet: its own failure is dropped and the first failure goes
// on. The log-structured store closes its storage this way; the persistent store its
// transactions, the store pointer and the space guard.
#pragma once
#include "vnUtils/NoThrow.h"

namespace vorn {

// Runs close, dropping a failure of its own.
template <class Close>
void CloseQuietly(Close&& close) noexcept
{
    try {
        close();
    } catch (...) {
    }
}

// Made with a guard: the guard's release closes as above, judged by the exceptions
// that are new to it (one made inside a catch handler is not quiet for the exception
// being handled).
class CloseOnLeave {
public:
    template <class Close>
    void Run(Close&& close) const
    {
        if (m_check.ExceptionPassing())
            CloseQuietly(close);
        else
            close();
    }

private:
    NoThrowCheck m_check;
};

} // namespace vorn
