#include "vnUtils/SmallString.h"
#include <algorithm>
#include <cstring>
#include <new>

namespace vorn {

void SmallString::FreeBlock() noexcept
{
    if (m_size > kInline) delete[] m_heap;
    m_size = 0;
    m_capacity = kInline;
}

SmallString::SmallString(SmallString&& o) noexcept : m_size(o.m_size), m_capacity(o.m_capacity)
{
    std::memcpy(m_inline, o.m_inline, sizeof m_inline); // the inline bytes or the pointer
    o.m_size = 0;
    o.m_capacity = kInline;
}

SmallString& SmallString::operator=(const SmallString& o)
{
    if (this != &o) assign(o.data(), o.m_size);
    return *this;
}

SmallString& SmallString::operator=(SmallString&& o) noexcept
{
    if (this != &o) {
        FreeBlock();
        m_size = o.m_size;
        m_capacity = o.m_capacity;
        std::memcpy(m_inline, o.m_inline, sizeof m_inline);
        o.m_size = 0;
        o.m_capacity = kInline;
    }
    return *this;
}

void SmallString::assign(const void* data, int32_t n)
{
    if (n < 0) n = 0;
    if (n > kInline) {
        uint8_t* block = new uint8_t[size_t(n)];
        std::memcpy(block, data, size_t(n)); // data may lie in the old block
        FreeBlock();
        m_heap = block;
        m_capacity = n;
    } else {
        uint8_t tmp[kInline];
        if (n) std::memcpy(tmp, data, size_t(n));
        FreeBlock();
        if (n) std::memcpy(m_inline, tmp, size_t(n));
    }
    m_size = n;
}

void SmallString::resize(int32_t n)
{
    if (n < 0) n = 0;
    if (n == m_size) return;
    uint8_t tmp[kInline];
    const int32_t keep = std::min(n, m_size);
    if (n > kInline) {
        uint8_t* block = new uint8_t[size_t(n)];
        std::memcpy(block, data(), size_t(keep));
        std::memset(block + keep, 0, size_t(n - keep));
        FreeBlock();
        m_heap = block;
        m_capacity = n;
    } else {
        std::memcpy(tmp, data(), size_t(keep));
        FreeBlock();
        std::memcpy(m_inline, tmp, size_t(keep));
        std::memset(m_inline + keep, 0, size_t(n - keep));
    }
    m_size = n;
}

bool SmallString::operator==(const SmallString& o) const
{
    return m_size == o.m_size && (m_size == 0 || std::memcmp(data(), o.data(), size_t(m_size)) == 0);
}

} // namespace vorn
