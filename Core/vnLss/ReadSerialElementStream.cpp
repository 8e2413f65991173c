#include "vnLss/ReadSerialElementStream.h"
#include "vnLss/LssInternal.h"
#include "vnLss/PacketChain.h"
#include "vnLss/RPM.h"
#include "vnLss/ReaderRegistry.h"
#include <cstring>

namespace vorn {

ReadSerialElementStream::~ReadSerialElementStream()
{
    m_header.Release();
    if (m_registered) m_store->GetReaders().Remove(m_seid);
}

bool ReadSerialElementStream::Open()
{
    m_store->GetReaders().Add(m_seid);
    m_registered = true;
    const RpmPosition p = m_store->GetRPM().Lookup(m_seid, true);
    if (p.IsEmpty()) return false;
    m_header.Decode(m_store->GetCache(), m_store->GetSUT(), p.m_segmentId, p.m_offset, true, true);
    if (m_header.m_seid != m_seid) ThrowCorruptLss("Seid doesn't match in packet header");
    if (!m_header.IsHead()) ThrowCorruptLss("LSS corrupt : Packet is not the head of a chain");
    m_ptr = m_header.m_payload;
    m_left = m_header.m_length;
    return true;
}

bool ReadSerialElementStream::MoveNext()
{
    if (!m_header.HasNext()) {
        m_header.Release();
        m_ptr = nullptr;
        m_left = 0;
        return false;
    }
    const Seid current = m_header.m_seid;
    const Seid next = m_header.m_next;
    if (!NextSeidIsValid(m_seid, current, next)) ThrowCorruptLss("LSS is corrupt : Next Seid invalid in packet chain");
    const RpmPosition p = m_store->GetRPM().Lookup(next, true);
    if (p.IsEmpty()) ThrowCorruptLss("LSS is corrupt : packet missing in chain");
    m_header.Decode(m_store->GetCache(), m_store->GetSUT(), p.m_segmentId, p.m_offset, true, true);
    if (m_header.m_seid != next) ThrowCorruptLss("Seid doesn't match in packet header");
    if (m_header.IsHead()) ThrowCorruptLss("LSS is corrupt : Packet chain met a head packet");
    m_ptr = m_header.m_payload;
    m_left = m_header.m_length;
    return true;
}

ssize_t ReadSerialElementStream::ReadStream(void* buffer, ssize_t count)
{
    uint8_t* out = static_cast<uint8_t*>(buffer);
    ssize_t done = 0;
    while (done < count) {
        if (m_left == 0) {
            if (!m_ptr || !MoveNext()) break;
            continue;
        }
        const ssize_t n = count - done < m_left ? count - done : m_left;
        std::memcpy(out + done, m_ptr, size_t(n));
        m_ptr += n;
        m_left -= int32_t(n);
        done += n;
    }
    return done;
}

} // namespace vorn
