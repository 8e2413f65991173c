#include "vnLss/LazyFlusher.h"
#include "vnLss/LssInternal.h"
#include "vnLss/LssSettings.h"
#include "vnUtils/Trace.h"

namespace vorn {

void LazyFlusher::ThreadMain()
{
    SetThreadName("Lazy Flusher");
    TraceIndenter indent(60);
    const uint32_t period = m_store->GetSettings().m_flushTimeMilliSec > 0 ? uint32_t(m_store->GetSettings().m_flushTimeMilliSec) : 1u;
    for (;;) {
        const bool signalled = m_event.Wait(period);
        if (m_stop) break;
        if (signalled) continue; // a segment was just written
        try {
            m_store->Flush();
        } catch (...) {
            m_store->RecordBackgroundFailure(std::current_exception());
        }
    }
}

} // namespace vorn
