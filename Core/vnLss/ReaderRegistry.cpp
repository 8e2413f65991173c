#include "vnLss/ReaderRegistry.h"
#include "vnLss/LssInternal.h"
#include "vnUtils/Exceptions.h"

namespace vorn {

void ReaderRegistry::Add(Seid seid)
{
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        if (m_changing != seid) break;
        if (!m_changingIsDelete) ThrowProgrammingError("ReadSerialElement() : Currenly writing given serial element");
        m_changed.wait(lock); // a delete is short: wait for it to end
    }
    ++m_reading[seid];
}

void ReaderRegistry::Remove(Seid seid) noexcept
{
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_reading.find(seid);
    if (it != m_reading.end() && --it->second <= 0) m_reading.erase(it);
}

void ReaderRegistry::BeginChange(Seid seid, bool forDelete, const char* readMessage)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_reading.count(seid)) ThrowProgrammingError(readMessage);
    m_changing = seid;
    m_changingIsDelete = forDelete;
}

void ReaderRegistry::EndChange() noexcept
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_changing = Seid();
        m_changingIsDelete = false;
    }
    m_changed.notify_all();
}

bool ReaderRegistry::IsBeingWritten(Seid seid)
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_changing == seid && !m_changingIsDelete;
}

} // namespace vorn
