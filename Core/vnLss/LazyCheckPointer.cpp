#include "vnLss/LazyCheckPointer.h"
#include "vnLss/LssInternal.h"
#include "vnUtils/Trace.h"

namespace vorn {

void LazyCheckPointer::ThreadMain()
{
    SetThreadName("Lazy CheckPointer");
    TraceIndenter indent(40);
    for (;;) {
        m_event.Wait(15000);
        if (m_stop) break;
        // Cleared before the check point: a request made while it runs (after it has
        // taken the log) calls for the next one.
        if (!m_requested.exchange(false)) continue;
        try {
            m_store->CheckPointWithNewId();
        } catch (...) {
            m_store->RecordBackgroundFailure(std::current_exception());
            break;
        }
    }
    m_store->CheckPointTakenOrDropped();
}

} // namespace vorn
