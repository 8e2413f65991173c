// vorn::LockGuard ends a space transaction: it closes the transaction it holds (if
// any) and then leaves the space lock that the transaction entered. Fail-fast: when an
// exception leaves the transaction's scope the process ends instead, so that no
// half-changed object is ever written back; the exception's description (when it is a
// vorn::IException or std::exception thrown inside a LockGuard::Run body, or the
// assertion report otherwise) goes to standard error first.
#pragma once
#include "vnObject/CSpace.h"
#include "vnUtils/NoThrow.h"
#include <exception>
#include <utility>

namespace vorn {

// A transaction that a LockGuard ends (the persistent store's transactions).
class ISpaceTxn {
public:
    virtual void Close() = 0;
protected:
    ~ISpaceTxn() = default;
};

class LockGuard {
public:
    // lockedSpace: the space whose lock the transaction holds (entered by the opener).
    LockGuard(CSpace* lockedSpace, ISpaceTxn* txn = nullptr) : m_space(lockedSpace), m_txn(txn) {}
    ~LockGuard();
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

    // Runs body inside the transaction; an exception out of it is described on
    // standard error and ends the process.
    template <class F>
    decltype(auto) Run(F&& body)
    {
        try {
            return std::forward<F>(body)();
        } catch (...) {
            FailWith(std::current_exception());
        }
    }

    // Describes the exception on standard error and ends the process.
    [[noreturn]] static void FailWith(std::exception_ptr e) noexcept;

private:
    NoThrowCheck m_check;
    CSpace* m_space;
    ISpaceTxn* m_txn;
};

} // namespace vorn
