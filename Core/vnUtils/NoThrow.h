// vorn::NoThrowCheck: for guards whose release must never run while an exception
// thrown inside their scope propagates. It remembers how many exceptions were in flight
// when the guard was made, so a guard made inside a catch handler or a destructor that
// runs during unwinding is judged by exceptions that are new to it.
#pragma once
#include "vnUtils/Trace.h"
#include <cstdlib>
#include <exception>

namespace vorn {

class NoThrowCheck {
public:
    NoThrowCheck() noexcept : m_uncaught(std::uncaught_exceptions()) {}

    // True when an exception thrown since construction is passing now.
    bool ExceptionPassing() const noexcept { return std::uncaught_exceptions() > m_uncaught; }

    // Call from the guard's destructor: when a new exception is passing, reports the
    // assertion failure vnAssert(false) of Core/vnUtils/NoThrow line 36, raises the
    // breakpoint trap and aborts the process.
    void Check() const noexcept
    {
        if (ExceptionPassing()) Fail();
    }

    [[noreturn]] static void Fail() noexcept
    {
        if (ReportAssertionFailure("Core/vnUtils/NoThrow", "false", 36)) AssertionTrap();
        std::abort();
    }

private:
    int m_uncaught;
};

} // namespace vorn
