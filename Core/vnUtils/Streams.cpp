#include "vnUtils/Streams.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/PagedBuffer.h"
#include <cstdio>
#include <cstring>
#include <new>

namespace vorn {

void PagedBufferToOutputStreamAdapter::WriteStream(const void* buffer, ssize_t numBytes)
{
    const uint8_t* p = static_cast<const uint8_t*>(buffer);
    // A buffer holds at most INT32_MAX bytes; Write rejects anything past that.
    while (numBytes > INT32_MAX) {
        m_buffer->Write(p, INT32_MAX);
        p += INT32_MAX;
        numBytes -= INT32_MAX;
    }
    m_buffer->Write(p, int32_t(numBytes));
}

void VectorOutputStream::WriteStream(const void* buffer, ssize_t numBytes)
{
    const uint8_t* p = static_cast<const uint8_t*>(buffer);
    m_bytes.insert(m_bytes.end(), p, p + numBytes);
    ++m_numWrites;
}

PagedBufferToInputStreamAdapter::PagedBufferToInputStreamAdapter(const PagedBuffer* buffer)
{
    m_cursor.m_buffer = buffer;
}

ssize_t PagedBufferToInputStreamAdapter::ReadStream(void* buffer, ssize_t numBytes)
{
    const int32_t n = numBytes > INT32_MAX ? INT32_MAX : int32_t(numBytes);
    return m_cursor.m_buffer->Read(buffer, m_cursor, n);
}

int64_t PagedBufferToInputStreamAdapter::GetLength() { return m_cursor.m_buffer->GetSize(); }

int64_t PagedBufferToInputStreamAdapter::GetPosition() { return m_cursor.m_position; }

void PagedBufferToInputStreamAdapter::Seek(int64_t position)
{
    const PagedBuffer* b = m_cursor.m_buffer;
    if (position < 0) position = 0;
    const int64_t pageSize = b->GetPageSize();
    const int64_t index = position / pageSize;
    m_cursor.m_position = position;
    m_cursor.m_offset = int32_t(position % pageSize);
    if (index < b->GetNumPages()) {
        m_cursor.m_pageIndex = int32_t(index);
        m_cursor.m_page = b->GetPage(int32_t(index));
    } else {
        // Past the last page: reads return 0.
        m_cursor.m_pageIndex = index > INT32_MAX ? INT32_MAX : int32_t(index);
        m_cursor.m_page = nullptr;
    }
}

void BufferToOutputStreamAdapter::WriteStream(const void* buffer, ssize_t numBytes)
{
    if (numBytes <= 0) return;
    if (numBytes > m_roomLeft) throw BufferOverflowException();
    std::memcpy(m_ptr, buffer, size_t(numBytes));
    m_ptr += numBytes;
    m_written += numBytes;
    m_roomLeft -= numBytes;
}

void StdioOutputStream::WriteStream(const void* buffer, ssize_t numBytes)
{
    if (numBytes > 0) std::fwrite(buffer, 1, size_t(numBytes), stdout);
}

uint32_t CopyStream(IOutputStream& out, IInputStream& in)
{
    char chunk[8192];
    uint32_t total = 0;
    for (;;) {
        const ssize_t n = in.ReadStream(chunk, sizeof chunk);
        if (n <= 0) break;
        out.WriteStream(chunk, n);
        total += uint32_t(n);
    }
    return total;
}

} // namespace vorn
