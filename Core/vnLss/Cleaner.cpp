#include "vnLss/Cleaner.h"
#include "vnLss/LSS.h"

namespace vorn {

void LazyCleaner::ThreadMain()
{
    while (!m_stop) m_event.Wait(1000);
}

void LazyCleaner::RecomputeCandidates() {}

void LazyCleaner::CleanSegment(int32_t) {}

} // namespace vorn
