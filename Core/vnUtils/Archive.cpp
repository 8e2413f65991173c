#include "vnUtils/Archive.h"
#include "vnUtils/Exceptions.h"
#include <cstdio>

namespace vorn {

// ---------------------------------------------------------------------------------
// ArchiveReader

uint8_t ArchiveReader::ReadByteFromStream()
{
    if (m_pushbackPos != 0) ReleasePushback(); // every pushed-back byte is consumed
    uint8_t b;
    if (m_stream == nullptr || m_stream->ReadStream(&b, 1) != 1) throw EndOfStreamException();
    return b;
}

uint32_t ArchiveReader::ReadCompressedUInt32()
{
    const uint32_t b = ReadByte();
    if (b < 0x80) return b;
    int follow;
    uint32_t v;
    if (b < 0xC0) {
        follow = 1;
        v = b & 0x3F;
    } else if (b < 0xE0) {
        follow = 2;
        v = b & 0x1F;
    } else if (b < 0xF0) {
        follow = 3;
        v = b & 0x0F;
    } else {
        follow = 4;
        v = 0;
    }
    while (follow--) v = v << 8 | ReadByte();
    return v;
}

void ArchiveReader::PushBack(const void* data, int32_t n)
{
    if (n <= 0) return;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    const int32_t left = GetPushbackCount();
    xvector<uint8_t> joined;
    joined.reserve(n + left);
    joined.append(p, n);
    joined.append(m_pushback.data() + m_pushbackPos, left);
    m_pushback.swap(joined);
    m_pushbackPos = 0;
}

// ---------------------------------------------------------------------------------
// Archive

Archive::~Archive()
{
    m_reader.ReleasePushback();
    try {
        Flush();
    } catch (...) {
        // See the declaration: the destructor does not throw.
    }
}

void Archive::HandOver()
{
    const int32_t n = int32_t(m_ptr - m_buffer);
    // The bytes stay buffered when the target throws.
    m_target->WriteStream(m_buffer, n);
    m_handedOver += n;
    m_ptr = m_buffer;
}

void Archive::WriteBuffered(const void* data, int32_t n)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
        if (m_ptr == m_buffer + kBufferSize) HandOver();
        const int32_t room = Room();
        const int32_t k = n < room ? n : room;
        std::memcpy(m_ptr, p, size_t(k));
        m_ptr += k;
        p += k;
        n -= k;
    }
}

void Archive::WriteDirect(const void* data, int32_t n)
{
    if (m_ptr != m_buffer) HandOver();
    m_target->WriteStream(data, n);
    m_handedOver += n;
}

void Archive::WriteCompressedSlow(uint32_t v)
{
    uint8_t bytes[5];
    const uint8_t* end = EncodeCompressedUInt32(bytes, v);
    for (const uint8_t* p = bytes; p != end; ++p) WriteByte(*p);
}

uint32_t Archive::CopyFromStream(IInputStream& in)
{
    Flush();
    const uint32_t n = CopyStream(*m_target, in);
    m_handedOver += n;
    return n;
}

// ---------------------------------------------------------------------------------
// InputArchive

namespace detail {

void ThrowArchiveOverrun()
{
    ThrowDeserialisationException("Unexpected end of archive data");
}

} // namespace detail

InputArchive ReadSchema(InputArchive ar, int maxSchema, int& schema)
{
    uint32_t raw;
    ar = ReadCompressedUInt32FromBuffer(ar, raw);
    const int n = int(int32_t(raw));
    if (n < 1 || n > maxSchema) {
        char message[96];
        if (maxSchema == 1)
            std::snprintf(message, sizeof message, "Bad schema (%d) - should be 1", n);
        else
            std::snprintf(message, sizeof message, "Bad schema (%d) - should be between 1 and %d", n, maxSchema);
        ThrowDeserialisationException(message);
    }
    schema = n;
    return ar;
}

namespace {

// Replaces v with the count bytes at the cursor, capacity exactly count.
InputArchive TakeBytes(InputArchive ar, uint32_t count, xvector<uint8_t>& v)
{
    CheckArchiveRoom(ar, count);
    v.clear();
    if (v.capacity() != int64_t(count)) {
        v.Release();
        v.reserve(int32_t(count));
    }
    // One copy of the block rather than an element-wise assignment.
    if (count) {
        v.InsertGap(0, int32_t(count));
        std::memcpy(v.data(), ar.m_ptr, count);
    }
    ar.m_ptr += count;
    return ar;
}

} // namespace

InputArchive DeserialiseXvector(InputArchive ar, xvector<uint8_t>& v)
{
    uint32_t count;
    ar = ReadCompressedUInt32FromBuffer(ar, count);
    return TakeBytes(ar, count, v);
}

InputArchive DeserialiseBytesFromBuffer(InputArchive ar, xvector<uint8_t>& v)
{
    uint32_t count;
    ar = Read4FromBuffer(ar, count);
    return TakeBytes(ar, count, v);
}

} // namespace vorn

