#include "vnObject/LockGuard.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/TextWriter.h"
#include <cstdio>

namespace vorn {

LockGuard::~LockGuard()
{
    if (m_check.ExceptionPassing()) {
        std::fputs("An exception left a space transaction; the process ends so that no half-changed object is written.\n",
                   stderr);
        NoThrowCheck::Fail();
    }
    if (m_txn) m_txn->Close();
    if (m_space) m_space->Unlock();
}

void LockGuard::FailWith(std::exception_ptr e) noexcept
{
    xstring description = DescribeException(e);
    std::fprintf(stderr, "Exception in a space transaction: %s\n", description.c_str());
    std::fflush(stderr);
    NoThrowCheck::Fail();
}

} // namespace vorn
