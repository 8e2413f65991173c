#include "vnLss/PacketChain.h"
#include "vnLss/LogFormat.h"
#include "vnLss/RPM.h"
#include "vnLss/SUT.h"
#include "vnUtils/Trace.h"

namespace vorn {

bool NextSeidIsValid(Seid element, Seid current, Seid next)
{
    if (!IsValidOverflowSeid(next) || next.m_high != (element.m_high | kSeidOverflowBit)) return false;
    return current == element || next.m_low > current.m_low;
}

bool FreePacketChain(RPM7& rpm, SegmentCache& cache, SUT& sut, Seid seid)
{
    TraceIndenter indent(2);
    RpmPosition p = rpm.Lookup(seid, false);
    if (p.IsEmpty()) return false;
    PacketHeader h;
    h.Decode(cache, sut, p.m_segmentId, p.m_offset, false);
    if (h.m_seid != seid) ThrowCorruptLss("Seid doesn't match in packet header");
    for (;;) {
        if (!rpm.RemovePosition(h.m_seid)) ThrowCorruptLss("LSS is corrupt : Packet missing in RPM");
        sut.AddUtilisation(h.m_segmentId, -h.Size());
        if (!h.HasNext()) break;
        const Seid current = h.m_seid, next = h.m_next;
        if (!NextSeidIsValid(seid, current, next)) ThrowCorruptLss("LSS is corrupt : Next Seid invalid in packet chain");
        p = rpm.Lookup(next, false);
        if (p.IsEmpty()) ThrowCorruptLss("LSS is corrupt : Packet missing in chain");
        h.Decode(cache, sut, p.m_segmentId, p.m_offset, false);
        if (h.m_seid != next) ThrowCorruptLss("Seid doesn't match in packet header");
        if (h.IsHead()) ThrowCorruptLss("LSS is corrupt : Packet chain met a head packet");
    }
    return true;
}

bool IsLivePacket(RPM7& rpm, const PacketHeader& packet)
{
    const RpmPosition p = rpm.Lookup(packet.m_seid, false);
    return p.m_segmentId == packet.m_segmentId && p.m_offset == packet.m_offset;
}

} // namespace vorn
