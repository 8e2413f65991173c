// vorn::PagedBuffer: a growable byte buffer of equal pages (4096 bytes wherever the
// framework makes one) that never moves bytes once written.
#pragma once
#include "vnUtils/Streams.h"
#include "vnUtils/XString.h"

namespace vorn {

class PagedBuffer {
public:
    explicit PagedBuffer(int32_t pageSize = 4096) : m_pageSize(pageSize) {}
    ~PagedBuffer() { Clear(); }
    PagedBuffer(const PagedBuffer&) = delete;
    PagedBuffer& operator=(const PagedBuffer&) = delete;

    // Sets the size to n: releases pages beyond, allocates missing ones. A write
    // position beyond the new size is clamped to it.
    void Resize(int32_t n);
    // Writes n bytes at the write position (growing as needed); the position moves on.
    void Write(const void* data, int32_t n);
    // Copies up to n bytes from the cursor on, never beyond the size; returns the count.
    int32_t Read(void* dst, PagedBufferCursor& cursor, int32_t n) const;
    // Copies the whole content to one flat block.
    void CopyTo(void* dst) const;
    void Clear();

    int32_t GetSize() const { return m_size; }
    int32_t GetPageSize() const { return m_pageSize; }
    int32_t GetWritePosition() const { return m_writePos; }
    void SetWritePosition(int32_t p) { m_writePos = p; }
    int32_t GetNumPages() const { return m_pages.size(); }
    uint8_t* GetPage(int32_t i) const { return m_pages[i]; }

    void CopyTo(xstring& out) const;
    void CopyTo(xvector<uint8_t>& out) const;

private:
    int32_t m_pageSize;
    xvector<uint8_t*> m_pages;
    int32_t m_size = 0;
    int32_t m_writePos = 0;
};

} // namespace vorn
