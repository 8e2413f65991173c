// The seids being read (with a count per seid) and the one seid being written or
// deleted. An element is not written while it is read; a read waits for a delete of its
// seid to end and is refused while the seid is being written. Any thread.
#pragma once
#include "vnLss/Seid.h"
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>

namespace vorn {

class ReaderRegistry {
public:
    // Counts one more reader of seid; throws vorn::ProgrammingErrorException while the
    // seid is being written.
    void Add(Seid seid);
    void Remove(Seid seid) noexcept;
    // Publishes seid as being written (forDelete: deleted); throws
    // vorn::ProgrammingErrorException with readMessage while it is read.
    void BeginChange(Seid seid, bool forDelete, const char* readMessage);
    void EndChange() noexcept;
    bool IsBeingWritten(Seid seid);

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::map<Seid, int32_t> m_reading;
    Seid m_changing;           // the seid being written or deleted (null: none)
    bool m_changingIsDelete = false;
};

} // namespace vorn
