// Byte stream interfaces and the adapters over paged buffers, fixed memory blocks and
// byte vectors.
#pragma once
#include <cstdint>
#include <cstddef>
#include <vector>

namespace vorn {

using ssize_t = std::ptrdiff_t;

class PagedBuffer;

class IOutputStream {
public:
    virtual ~IOutputStream() = default;
    // Writes all the bytes or throws.
    virtual void WriteStream(const void* buffer, ssize_t numBytes) = 0;
    virtual void Flush() = 0;
};

class IInputStream {
public:
    virtual ~IInputStream() = default;
    // Returns the number of bytes read; 0 only at the end.
    virtual ssize_t ReadStream(void* buffer, ssize_t numBytes) = 0;
};

class ISeekableInputStream : public IInputStream {
public:
    virtual int64_t GetLength() = 0;
    virtual int64_t GetPosition() = 0;
    virtual void Seek(int64_t position) = 0;
};

// Appends at the buffer's write position.
class PagedBufferToOutputStreamAdapter : public IOutputStream {
public:
    explicit PagedBufferToOutputStreamAdapter(PagedBuffer* buffer) : m_buffer(buffer) {}
    void WriteStream(const void* buffer, ssize_t numBytes) override;
    void Flush() override {}
    PagedBuffer* GetBuffer() const { return m_buffer; }
private:
    PagedBuffer* m_buffer;
};

// Read position over a PagedBuffer.
struct PagedBufferCursor {
    const PagedBuffer* m_buffer = nullptr;
    int32_t m_pageIndex = 0;
    const uint8_t* m_page = nullptr; // null until the first read
    int32_t m_offset = 0;
    int64_t m_position = 0;
};

class PagedBufferToInputStreamAdapter : public ISeekableInputStream {
public:
    explicit PagedBufferToInputStreamAdapter(const PagedBuffer* buffer);
    ssize_t ReadStream(void* buffer, ssize_t numBytes) override;
    int64_t GetLength() override;
    int64_t GetPosition() override;
    void Seek(int64_t position) override;
private:
    PagedBufferCursor m_cursor;
};

// Writes into a caller's fixed block; a write that does not fit throws
// BufferOverflowException and writes nothing.
class BufferToOutputStreamAdapter : public IOutputStream {
public:
    BufferToOutputStreamAdapter(void* block, ssize_t size) : m_ptr(static_cast<uint8_t*>(block)), m_roomLeft(size) {}
    void WriteStream(const void* buffer, ssize_t numBytes) override;
    void Flush() override {}
    ssize_t GetRoomLeft() const { return m_roomLeft; }
    ssize_t GetNumBytesWritten() const { return m_written; }
private:
    uint8_t* m_ptr;
    ssize_t m_written = 0;
    ssize_t m_roomLeft;
};

// Appends what is written to a byte vector of its own, which the caller takes the bytes
// from; counts the WriteStream calls. Flush does nothing.
class VectorOutputStream : public IOutputStream {
public:
    void WriteStream(const void* buffer, ssize_t numBytes) override;
    void Flush() override {}
    std::vector<uint8_t> m_bytes;
    int32_t m_numWrites = 0;
};

// Counts the bytes written to it; used to measure a serialisation.
class StreamLengthCounter : public IOutputStream {
public:
    void WriteStream(const void*, ssize_t numBytes) override { m_total += numBytes; }
    void Flush() override {}
    int64_t GetTotal() const { return m_total; }
private:
    int64_t m_total = 0;
};

// fwrite to stdout; Flush does nothing.
class StdioOutputStream : public IOutputStream {
public:
    void WriteStream(const void* buffer, ssize_t numBytes) override;
    void Flush() override {}
};

// Copies in to out in chunks of 8192 bytes until a read returns 0; returns the count.
uint32_t CopyStream(IOutputStream& out, IInputStream& in);

} // namespace vorn
