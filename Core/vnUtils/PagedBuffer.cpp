#include "vnUtils/PagedBuffer.h"
#include <algorithm>
#include <cstring>

namespace vorn {

void PagedBuffer::Resize(int32_t n)
{
    if (n < 0) n = 0;
    const int32_t needed = int32_t((int64_t(n) + m_pageSize - 1) / m_pageSize);
    int32_t have = m_pages.size();
    if (needed < have) {
        for (int32_t i = needed; i < have; ++i) delete[] m_pages[i];
        m_pages.resize(needed);
    } else {
        // The table grows by the append rule (old capacity + new size), so page-by-page
        // growth stays linear; reserving first means a push_back never throws and
        // leaks the fresh page.
        if (m_pages.capacity() < needed) m_pages.reserve(m_pages.capacity() + needed);
        for (; have < needed; ++have) m_pages.push_back(new uint8_t[size_t(m_pageSize)]);
    }
    m_size = n;
    if (m_writePos > n) m_writePos = n;
}

void PagedBuffer::Write(const void* data, int32_t n)
{
    if (n <= 0) return;
    const int64_t end64 = int64_t(m_writePos) + n;
    const int32_t end = detail::CheckedBytes(end64);
    if (m_size < end) Resize(end);
    const uint8_t* src = static_cast<const uint8_t*>(data);
    int32_t pos = m_writePos;
    int32_t page = pos / m_pageSize;
    int32_t offset = pos % m_pageSize;
    while (n > 0) {
        const int32_t chunk = std::min(n, m_pageSize - offset);
        std::memcpy(m_pages[page] + offset, src, size_t(chunk));
        src += chunk;
        n -= chunk;
        ++page;
        offset = 0;
    }
    m_writePos = end;
}

int32_t PagedBuffer::Read(void* dst, PagedBufferCursor& c, int32_t n) const
{
    const int32_t numPages = m_pages.size();
    if (n <= 0 || numPages == 0) return 0;
    if (c.m_page == nullptr) {
        // First read, or a cursor parked past the last page.
        if (c.m_pageIndex >= numPages) return 0;
        c.m_page = m_pages[c.m_pageIndex];
    }
    uint8_t* out = static_cast<uint8_t*>(dst);
    int32_t total = 0;
    while (n > 0) {
        const bool last = c.m_pageIndex == numPages - 1;
        const int32_t pageEnd = last ? m_size - (numPages - 1) * m_pageSize : m_pageSize;
        const int32_t avail = pageEnd - c.m_offset;
        if (avail <= 0) {
            if (last) break;
            ++c.m_pageIndex;
            c.m_page = m_pages[c.m_pageIndex];
            c.m_offset = 0;
            continue;
        }
        const int32_t chunk = std::min(n, avail);
        std::memcpy(out, c.m_page + c.m_offset, size_t(chunk));
        out += chunk;
        n -= chunk;
        total += chunk;
        c.m_offset += chunk;
        c.m_position += chunk;
    }
    return total;
}

void PagedBuffer::CopyTo(void* dst) const
{
    uint8_t* out = static_cast<uint8_t*>(dst);
    int32_t left = m_size;
    for (int32_t i = 0; left > 0; ++i) {
        const int32_t chunk = std::min(left, m_pageSize);
        std::memcpy(out, m_pages[i], size_t(chunk));
        out += chunk;
        left -= chunk;
    }
}

void PagedBuffer::CopyTo(xstring& out) const
{
    out.resize(m_size);
    if (m_size) CopyTo(out.data());
}

void PagedBuffer::CopyTo(xvector<uint8_t>& out) const
{
    out.resize(m_size);
    if (m_size) CopyTo(out.data());
}

void PagedBuffer::Clear()
{
    for (int32_t i = 0, n = m_pages.size(); i < n; ++i) delete[] m_pages[i];
    m_pages.Release();
    m_size = 0;
    m_writePos = 0;
}

} // namespace vorn
