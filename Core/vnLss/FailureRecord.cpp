#include "vnLss/FailureRecord.h"
#include "vnUtils/Exceptions.h"

namespace vorn {

namespace {

[[noreturn]] void RethrowCopy(const std::exception_ptr& e)
{
    try {
        std::rethrow_exception(e);
    } catch (const FileException& x) {
        throw FileException(x);
    } catch (const SystemException& x) {
        throw SystemException(x);
    } catch (const CorruptLSSException& x) {
        throw CorruptLSSException(x);
    } catch (const DeserialisationException& x) {
        throw DeserialisationException(x);
    } catch (const ProgrammingErrorException& x) {
        throw ProgrammingErrorException(x);
    }
}

} // namespace

bool FailureRecord::Record(std::exception_ptr failure) noexcept
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_failed) return false;
    m_failure = failure;
    m_failed = true;
    return true;
}

void FailureRecord::Clear()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_failure = nullptr;
    m_failed = false;
}

void FailureRecord::Check()
{
    if (!m_failed.load()) return;
    const std::exception_ptr e = Get();
    if (e) RethrowCopy(e);
}

std::exception_ptr FailureRecord::Get()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_failure;
}

} // namespace vorn
