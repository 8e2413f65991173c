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
        if (!m_requested) continue;
        try {
            m_store->CheckPointWithNewId();
            m_requested = false;
            m_store->CheckPointTakenOrDropped();
        } catch (...) {
            m_store->RecordBackgroundFailure(std::current_exception());
            break;
        }
    }
    m_store->CheckPointTakenOrDropped();
}

} // namespace vorn
