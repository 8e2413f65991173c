#include "vnLss/SerialElementWriter.h"
#include "vnLss/LogFormat.h"
#include "vnLss/LssInternal.h"
#include "vnLss/LssLayout.h"
#include "vnLss/RPM.h"
#include "vnLss/ReaderRegistry.h"
#include "vnLss/SUT.h"
#include "vnLss/SegmentWriter.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/Trace.h"

namespace vorn {

void SerialElementWriter::BeginPacket(Seid seid, bool head)
{
    SegmentWriter& w = m_store->GetSegmentWriter();
    w.EnsureRoom(kMinRoomElementPacket);
    m_packetSeid = seid;
    m_packetSegment = w.GetSegmentId();
    m_packetOffset = w.GetWriteOffset();
    uint8_t h[kPacketHeaderBytes];
    EncodePacketHeader(h, head ? PF_HEAD : 0, seid, -1);
    w.Append(h, kPacketHeaderBytes);
}

void SerialElementWriter::EndPacket(const Seid* next)
{
    SegmentWriter& w = m_store->GetSegmentWriter();
    uint8_t* p = w.GetBuffer() + m_packetOffset;
    int32_t total = w.GetWriteOffset() - m_packetOffset;
    SetPacketLength(p, total - kPacketHeaderBytes);
    if (next) {
        p[kPacketFlagsOffset] |= PF_HAS_NEXT;
        uint8_t n[kNextSeidBytes];
        EncodeNextSeid(n, *next);
        w.Append(n, kNextSeidBytes);
        total += kNextSeidBytes;
    }
    m_store->GetRPM().SetPosition(m_packetSeid, m_packetSegment, m_packetOffset);
    m_store->GetSUT().AddUtilisation(m_packetSegment, total);
}

void SerialElementWriter::Open(Seid seid)
{
    m_store->GetReaders().BeginChange(seid, false, "WriteSerialElement() : Currently reading given serial element");
    try {
        m_store->CheckBackgroundFailure();
    } catch (...) {
        m_store->GetReaders().EndChange();
        throw;
    }
    m_elementSeid = seid;
    SetTraceIndent(GetTraceIndent() + 2);
    m_indentRaised = true;
    try {
        m_store->FreeElement(seid);
        BeginPacket(seid, true);
    } catch (...) {
        SetTraceIndent(GetTraceIndent() - 2);
        m_indentRaised = false;
        m_store->GetReaders().EndChange();
        m_store->RecordBackgroundFailure(std::current_exception());
        throw;
    }
    m_store->GetSegmentWriter().SetElementOpen(true);
    m_open = true;
}

void SerialElementWriter::WriteStream(const void* bytes, ssize_t n)
{
    if (!m_open) ThrowProgrammingError("WriteStream() called on closed stream");
    if (n < 0) ThrowProgrammingError("WriteStream() : negative count");
    SegmentWriter& w = m_store->GetSegmentWriter();
    const uint8_t* src = static_cast<const uint8_t*>(bytes);
    try {
        while (n > 0) {
            const int64_t room = int64_t(w.Remaining()) - kNextSeidBytes;
            const int64_t take = room <= 0 ? 0 : (room < n ? room : n);
            if (take > 0) {
                w.Append(src, int32_t(take));
                src += take;
                n -= take;
            }
            if (n > 0) {
                const Seid overflow = m_store->GetRPM().AllocateOverflowSeid(m_elementSeid.m_high);
                EndPacket(&overflow);
                w.NewSegment();
                BeginPacket(overflow, false);
            }
        }
    } catch (...) {
        m_store->RecordBackgroundFailure(std::current_exception());
        throw;
    }
}

void SerialElementWriter::Close()
{
    if (!m_open) ThrowProgrammingError("Close() called on closed stream");
    std::exception_ptr failure;
    try {
        EndPacket(nullptr);
    } catch (...) {
        failure = std::current_exception();
        m_store->RecordBackgroundFailure(failure);
    }
    EndElement();
    if (failure) std::rethrow_exception(failure);
}

void SerialElementWriter::Abandon() noexcept
{
    if (m_open) EndElement();
}

void SerialElementWriter::EndElement() noexcept
{
    if (m_indentRaised) {
        SetTraceIndent(GetTraceIndent() - 2);
        m_indentRaised = false;
    }
    m_open = false;
    m_store->GetSegmentWriter().SetElementOpen(false);
    m_store->GetReaders().EndChange();
}

} // namespace vorn
