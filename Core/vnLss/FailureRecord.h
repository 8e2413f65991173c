// The store's failure record: the first failure of background work (or of an element
// being written) is kept; later ones are dropped. Any thread may record, test and
// check it.
#pragma once
#include <atomic>
#include <exception>
#include <mutex>

namespace vorn {

class FailureRecord {
public:
    // Keeps the failure unless one is kept already; true when this one was kept.
    bool Record(std::exception_ptr failure) noexcept;
    void Clear();
    bool Has() const { return m_failed.load(); }
    // Throws a copy of the kept failure (the kinds the store records are copied; any
    // other exception is thrown again as it is); does nothing when there is none.
    void Check();
    std::exception_ptr Get();

private:
    std::mutex m_lock;
    std::atomic<bool> m_failed{false};
    std::exception_ptr m_failure;
};

} // namespace vorn
