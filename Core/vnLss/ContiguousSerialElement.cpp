#include "vnLss/ContiguousSerialElement.h"
#include "vnLss/LssInternal.h"
#include "vnLss/RPM.h"
#include "vnLss/ReadSerialElementStream.h"
#include "vnLss/ReaderRegistry.h"
#include "vnLss/SUT.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/Memory.h"
#include "vnUtils/PagedBuffer.h"
#include <climits>

namespace vorn {

ContiguousSerialElement::~ContiguousSerialElement()
{
    m_header.Release();
    if (m_copy) MemFree(m_copy);
    if (m_registered) m_store->GetReaders().Remove(m_seid);
}

bool ContiguousSerialElement::Open()
{
    ReadSerialElementStream chain(m_store, m_seid);
    if (!chain.Open()) return false;
    if (!chain.Header().HasNext()) {
        // One packet: the element stays in the pinned segment. The reader entry,
        // the pin and the reservation move over to this object.
        m_store->GetReaders().Add(m_seid);
        m_registered = true;
        const RpmPosition p{chain.Header().m_segmentId, chain.Header().m_offset};
        m_store->GetSUT().Reserve(p.m_segmentId);
        m_header.Decode(m_store->GetCache(), m_store->GetSUT(), p.m_segmentId, p.m_offset, true, true);
        m_ptr = m_header.m_payload;
        m_length = m_header.m_length;
        return true;
    }
    PagedBuffer pages(4096);
    int64_t total = 0;
    do {
        const PacketHeader& h = chain.Header();
        total += h.m_length;
        if (total > INT32_MAX) ThrowProgrammingError("GetContiguousSerialElement() : element too large for one buffer");
        pages.Write(h.m_payload, h.m_length);
    } while (chain.MoveNext());
    m_copy = static_cast<uint8_t*>(MemAllocOrThrow(size_t(total)));
    pages.CopyTo(m_copy);
    m_ptr = m_copy;
    m_length = total;
    m_store->GetReaders().Add(m_seid);
    m_registered = true;
    return true;
}

void ContiguousSerialElement::Release()
{
    LssInternal* store = m_store;
    delete this;
    store->CheckBackgroundFailure();
}

} // namespace vorn
