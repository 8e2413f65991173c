// The store's seid operations and map queries: each is the map's own, under the
// store's trace indentation where it has one.
#include "vnLss/LSS.h"
#include "vnUtils/Trace.h"

namespace vorn {

SeidHigh LSS::AllocateSeidHigh()
{
    TraceIndenter indent(2);
    return m_rpm.AllocateSeidHigh();
}

Seid LSS::AllocateSeid(SeidHigh high)
{
    TraceIndenter indent(2);
    return m_rpm.AllocateSeid(high);
}

SeidLow LSS::GetNextSeidLow(SeidHigh high)
{
    TraceIndenter indent(2);
    return m_rpm.GetNextSeidLow(high);
}

bool LSS::AllocateSeidNear(Seid& seid)
{
    TraceIndenter indent(2);
    return m_rpm.AllocateSeidNear(seid);
}

void LSS::GetSeidLowsInSpace(xvector<SeidLow>& out, SeidHigh high) { m_rpm.GetSeidLowsInSpace(out, high); }

bool LSS::SerialElementExists(Seid seid)
{
    TraceIndenter indent(2);
    CheckBackgroundFailure();
    if (!IsValidSeid(seid)) return false;
    return !m_rpm.Lookup(seid, false).IsEmpty();
}

bool LSS::GetRpmChildren(SeidLow low, SeidHigh high, xvector<Seid>& out) { return m_rpm.GetChildren(Seid(low, high), out); }

bool LSS::DumpRpmNode(SeidLow low, SeidHigh high, TextWriter& w) { return m_rpm.DumpNode(Seid(low, high), w); }

} // namespace vorn
