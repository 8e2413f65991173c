#include "vnLss/LSS.h"
#include "vnLss/LssLayout.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/PagedBuffer.h"
#include "vnUtils/Trace.h"

namespace vorn {

void LSS::GetStats(LssStats* stats)
{
    CheckBackgroundFailure();
    LssStats s;
    s.m_numCheckPoints = m_numCheckPoints;
    s.m_numRecoveries = m_mssn;
    s.m_numTransactions = m_numTransactions;
    s.m_segmentSize = m_sut.GetSegmentSize();
    s.m_totalUtilisation = m_sut.GetTotalUtilisation();
    s.m_fileSize = int64_t(m_storage->GetSize());
    if (stats) *stats = s;
}

void LSS::Dump(LssStats* stats, TextWriter& w, bool, bool, bool, bool, bool, bool, bool, bool, bool, bool)
{
    TraceIndenter indent(2);
    GetStats(stats);
    m_rootBlock.WriteDiagnostics(w);
    {
        CriticalSectionLock lock(m_segmentWriter.GetLock());
        m_recoveryLog.Flush();
        xstring text;
        m_recoveryLog.GetBuffer().CopyTo(text);
        w << "Recovery log\n" << text;
    }
    m_sut.Dump(w);
}

} // namespace vorn

namespace vorn {

uint32_t LSS::CrcOfAllObjects() { return 0; }

} // namespace vorn
