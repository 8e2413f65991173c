// The archive encoding shared by every serialised structure.
//
// vorn::Archive is a buffered writer over an IOutputStream; vorn::InputArchive is a
// cursor over a block held in memory, bounded by the block's end; vorn::ArchiveReader
// reads bytes from an IInputStream with a pushback buffer in front of it.
//
// Encodings: raw 32- and 64-bit values least significant byte first; a Guid as its 16
// bytes in memory; a compressed unsigned 32-bit integer in 1 to 5 bytes (prefix bits,
// then the value's bits most significant first):
//   0 .. 0x7F                 v
//   0x80 .. 0x3FFF            0x80 | v >> 8,  v
//   0x4000 .. 0x1FFFFF        0xC0 | v >> 16, v >> 8, v
//   0x200000 .. 0xFFFFFFF     0xE0 | v >> 24, v >> 16, v >> 8, v
//   0x10000000 .. 0xFFFFFFFF  0xF0, v >> 24, v >> 16, v >> 8, v
// The writer always picks the shortest form; readers accept longer forms of small
// values (a 5-byte form ignores the low 4 bits of its first byte).
#pragma once
#include "vnUtils/Guid.h"
#include "vnUtils/Streams.h"
#include "vnUtils/XVector.h"
#include <bit>
#include <cstdint>
#include <cstring>

namespace vorn {

static_assert(std::endian::native == std::endian::little, "raw archive values are stored as they lie in memory");

class Archive;
struct InputArchive;

// Installed in an archive by an operation that copies objects between identifier
// spaces: the object-identifier encoding lets it write the high word of every
// identifier whose low word is not 0, in place of the plain form.
class IOidRemapHook {
public:
    virtual void WriteOidHigh(Archive& ar, uint32_t high) = 0;
protected:
    ~IOidRemapHook() = default;
};

// Bytes from a stream, with pushed-back bytes read first.
class ArchiveReader {
public:
    explicit ArchiveReader(IInputStream* stream = nullptr) : m_stream(stream) {}
    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;

    IInputStream* GetStream() const { return m_stream; }
    void SetStream(IInputStream* stream) { m_stream = stream; }

    // The next byte: a pushed-back one when there is one, else one from the stream.
    // Throws EndOfStreamException when none comes (also when there is no stream).
    uint8_t ReadByte()
    {
        if (m_pushbackPos < m_pushback.size()) return m_pushback[m_pushbackPos++];
        return ReadByteFromStream();
    }
    // A compressed integer, byte by byte; a stream that ends inside it throws
    // EndOfStreamException.
    uint32_t ReadCompressedUInt32();

    // Puts n bytes in front of what is still to be read (they come out in order).
    void PushBack(const void* data, int32_t n);
    int32_t GetPushbackCount() const { return m_pushback.size() - m_pushbackPos; }
    // Drops the pushback bytes and frees their storage.
    void ReleasePushback() noexcept
    {
        m_pushback.Release();
        m_pushbackPos = 0;
    }

private:
    uint8_t ReadByteFromStream();

    IInputStream* m_stream;
    xvector<uint8_t> m_pushback;
    int32_t m_pushbackPos = 0; // the bytes before it are consumed
};

// Buffered archive writer. Small values are copied into a 4096-byte buffer, which is
// handed to the target (one WriteStream call) when a value does not fit; blocks of
// more than 1024 bytes bypass the buffer. Failures of the target pass through.
class Archive {
public:
    static constexpr int32_t kBufferSize = 4096;
    // WriteBytes of more than this many bytes writes straight to the target.
    static constexpr int32_t kDirectWriteThreshold = 1024;

    explicit Archive(IOutputStream* target) : m_ptr(m_buffer), m_target(target) {}
    // Releases the reader's pushback buffer, then hands what is buffered to the
    // target. Never throws: a failure of the target here is dropped, so a caller that
    // must know about it calls Flush first.
    ~Archive();
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;

    void WriteByte(uint8_t b)
    {
        if (m_ptr == m_buffer + kBufferSize) HandOver();
        *m_ptr++ = b;
    }
    void Write4(uint32_t v) { WriteRaw(&v, 4); }
    void Write8(uint64_t v) { WriteRaw(&v, 8); }
    void SerialiseGuid(const Guid& g) { WriteRaw(&g, 16); }

    // n <= 1024: buffered (the buffer is handed over first when it cannot take n more);
    // n > 1024: the buffered bytes, then the n bytes, go to the target directly.
    void WriteBytes(const void* data, int32_t n)
    {
        if (n <= 0) return;
        if (n <= kDirectWriteThreshold) WriteRaw(data, n);
        else WriteDirect(data, n);
    }

    void WriteCompressedUInt32(uint32_t v)
    {
        if (Room() >= 5) m_ptr = EncodeCompressedUInt32(m_ptr, v);
        else WriteCompressedSlow(v);
    }

    // Raw 32-bit count, then the bytes (through the buffer, as byte-by-byte writing
    // would hand them over).
    void SerialiseBytes(const xvector<uint8_t>& v)
    {
        Write4(uint32_t(v.size()));
        WriteBuffered(v.data(), v.size());
    }
    // Compressed count, then the bytes (read back by DeserialiseXvector).
    void SerialiseXvector(const xvector<uint8_t>& v)
    {
        WriteCompressedUInt32(uint32_t(v.size()));
        WriteBuffered(v.data(), v.size());
    }

    // Hands the buffered bytes (if any) to the target with one WriteStream call, without
    // calling the target's Flush; returns how many were handed over.
    int32_t Flush()
    {
        const int32_t n = int32_t(m_ptr - m_buffer);
        if (n > 0) HandOver();
        return n;
    }
    // Flush, then copies the input straight into the target; returns the bytes copied.
    uint32_t CopyFromStream(IInputStream& in);

    // Bytes written so far: those handed to the target plus those in the buffer.
    int64_t GetNumBytesWritten() const { return m_handedOver + (m_ptr - m_buffer); }
    int32_t GetNumBytesBuffered() const { return int32_t(m_ptr - m_buffer); }
    IOutputStream* GetTarget() const { return m_target; }

    IOidRemapHook* GetOidRemapHook() const { return m_oidRemapHook; }
    void SetOidRemapHook(IOidRemapHook* hook) { m_oidRemapHook = hook; }

    // The embedded reader; it has no stream unless its user sets one.
    ArchiveReader& GetReader() { return m_reader; }

    // Encodes v at p (room for 5 bytes) and returns the end of the encoding.
    static uint8_t* EncodeCompressedUInt32(uint8_t* p, uint32_t v)
    {
        if (v < 0x80) {
            p[0] = uint8_t(v);
            return p + 1;
        }
        if (v < 0x4000) {
            p[0] = uint8_t(0x80 | (v >> 8));
            p[1] = uint8_t(v);
            return p + 2;
        }
        if (v < 0x200000) {
            p[0] = uint8_t(0xC0 | (v >> 16));
            p[1] = uint8_t(v >> 8);
            p[2] = uint8_t(v);
            return p + 3;
        }
        if (v < 0x10000000) {
            p[0] = uint8_t(0xE0 | (v >> 24));
            p[1] = uint8_t(v >> 16);
            p[2] = uint8_t(v >> 8);
            p[3] = uint8_t(v);
            return p + 4;
        }
        p[0] = 0xF0;
        p[1] = uint8_t(v >> 24);
        p[2] = uint8_t(v >> 16);
        p[3] = uint8_t(v >> 8);
        p[4] = uint8_t(v);
        return p + 5;
    }

private:
    int32_t Room() const { return int32_t(m_buffer + kBufferSize - m_ptr); }
    // n <= kBufferSize: hands the buffer over when n bytes do not fit, then appends.
    void WriteRaw(const void* data, int32_t n)
    {
        if (Room() < n) HandOver();
        std::memcpy(m_ptr, data, size_t(n));
        m_ptr += n;
    }
    // Any n: fills the buffer, handing it over each time it is full.
    void WriteBuffered(const void* data, int32_t n);
    void WriteDirect(const void* data, int32_t n);
    void WriteCompressedSlow(uint32_t v);
    // One WriteStream call with the buffered bytes; the buffer is then empty.
    void HandOver();

    uint8_t m_buffer[kBufferSize];
    uint8_t* m_ptr;
    IOutputStream* m_target;
    int64_t m_handedOver = 0;
    IOidRemapHook* m_oidRemapHook = nullptr;
    ArchiveReader m_reader;
};

// A read cursor over a block in memory: the next byte and the end of the block. The
// read functions take a cursor and return it advanced; every read is checked against
// the end and throws DeserialisationException rather than run past it.
struct InputArchive {
    const uint8_t* m_ptr = nullptr;
    const uint8_t* m_end = nullptr;

    InputArchive() = default;
    InputArchive(const void* begin, const void* end)
        : m_ptr(static_cast<const uint8_t*>(begin)), m_end(static_cast<const uint8_t*>(end)) {}
    InputArchive(const void* begin, size_t n)
        : m_ptr(static_cast<const uint8_t*>(begin)), m_end(static_cast<const uint8_t*>(begin) + n) {}

    const uint8_t* Ptr() const { return m_ptr; }
    const uint8_t* End() const { return m_end; }
    size_t Remaining() const { return size_t(m_end - m_ptr); }
    bool AtEnd() const { return m_ptr == m_end; }
};

namespace detail {
// Throws DeserialisationException for a read that would pass the end of its block.
[[noreturn]] void ThrowArchiveOverrun();
} // namespace detail

// Throws unless n more bytes lie in the block.
inline void CheckArchiveRoom(const InputArchive& ar, size_t n)
{
    if (ar.Remaining() < n) detail::ThrowArchiveOverrun();
}

// The cursor advanced by n bytes (checked).
inline InputArchive SkipInBuffer(InputArchive ar, size_t n)
{
    CheckArchiveRoom(ar, n);
    ar.m_ptr += n;
    return ar;
}

inline InputArchive ReadCompressedUInt32FromBuffer(InputArchive ar, uint32_t& v)
{
    const uint8_t* p = ar.m_ptr;
    if (p == ar.m_end) detail::ThrowArchiveOverrun();
    const uint32_t b = p[0];
    if (b < 0x80) {
        v = b;
        ar.m_ptr = p + 1;
        return ar;
    }
    if (b < 0xC0) {
        CheckArchiveRoom(ar, 2);
        v = (b & 0x3F) << 8 | p[1];
        ar.m_ptr = p + 2;
    } else if (b < 0xE0) {
        CheckArchiveRoom(ar, 3);
        v = (b & 0x1F) << 16 | uint32_t(p[1]) << 8 | p[2];
        ar.m_ptr = p + 3;
    } else if (b < 0xF0) {
        CheckArchiveRoom(ar, 4);
        v = (b & 0x0F) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
        ar.m_ptr = p + 4;
    } else {
        CheckArchiveRoom(ar, 5);
        v = uint32_t(p[1]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 8 | p[4];
        ar.m_ptr = p + 5;
    }
    return ar;
}

// Copies n bytes at the cursor to dst.
inline InputArchive ReadBytesFromBuffer(InputArchive ar, void* dst, size_t n)
{
    CheckArchiveRoom(ar, n);
    if (n) std::memcpy(dst, ar.m_ptr, n);
    ar.m_ptr += n;
    return ar;
}

inline InputArchive ReadByteFromBuffer(InputArchive ar, uint8_t& v) { return ReadBytesFromBuffer(ar, &v, 1); }
inline InputArchive Read4FromBuffer(InputArchive ar, uint32_t& v) { return ReadBytesFromBuffer(ar, &v, 4); }
inline InputArchive Read4FromBuffer(InputArchive ar, int32_t& v) { return ReadBytesFromBuffer(ar, &v, 4); }
inline InputArchive Read8FromBuffer(InputArchive ar, uint64_t& v) { return ReadBytesFromBuffer(ar, &v, 8); }
inline InputArchive Read8FromBuffer(InputArchive ar, int64_t& v) { return ReadBytesFromBuffer(ar, &v, 8); }
inline InputArchive DeserialiseGuid(InputArchive ar, Guid& g) { return ReadBytesFromBuffer(ar, &g, 16); }

// Decodes the schema number n and accepts 1 <= n <= maxSchema; otherwise throws
// DeserialisationException "Bad schema (n) - should be 1" (maxSchema 1) or
// "Bad schema (n) - should be between 1 and maxSchema".
InputArchive ReadSchema(InputArchive ar, int maxSchema, int& schema);

// Compressed count, then the bytes; v gets exactly the count as its capacity. A count
// larger than what is left in the block throws before anything is allocated.
InputArchive DeserialiseXvector(InputArchive ar, xvector<uint8_t>& v);
// Raw 32-bit count, then the bytes; checked the same way.
InputArchive DeserialiseBytesFromBuffer(InputArchive ar, xvector<uint8_t>& v);

// The reader's side of identifier remapping, one per thread (none on a new thread):
// while installed, the object-identifier decoding lets it read the high word of every
// identifier whose low word is not 0. It returns the cursor advanced past what it read
// and must check what it reads like every other reader of an InputArchive.
class IOidReadRemapHook {
public:
    virtual InputArchive ReadOidHigh(InputArchive in, uint32_t& high) = 0;
protected:
    ~IOidReadRemapHook() = default;
};
namespace detail {
inline thread_local IOidReadRemapHook* t_oidReadRemapHook = nullptr;
} // namespace detail
// Read for every identifier, so inline.
inline IOidReadRemapHook* GetThreadOidReadRemapHook() { return detail::t_oidReadRemapHook; }
// Installs the calling thread's hook; null removes it. The slot does not own it.
inline void SetThreadOidReadRemapHook(IOidReadRemapHook* hook) { detail::t_oidReadRemapHook = hook; }

} // namespace vorn
