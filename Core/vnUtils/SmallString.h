// vorn::SmallString: a byte array that keeps up to 16 bytes inline. Fields: size, capacity,
// then the 16 inline bytes or a pointer to a heap block. While the size is at most 16
// the bytes are inline and the capacity reads 16; above that they live in a block from
// array new whose capacity equals the size.
#pragma once
#include <cstdint>

namespace vorn {

class SmallString {
public:
    static constexpr int32_t kInline = 16;

    SmallString() = default;
    SmallString(const void* data, int32_t n) { assign(data, n); }
    SmallString(const SmallString& o) { assign(o.data(), o.m_size); }
    SmallString(SmallString&& o) noexcept;
    SmallString& operator=(const SmallString& o);
    SmallString& operator=(SmallString&& o) noexcept;
    ~SmallString() { FreeBlock(); }

    // Replaces the contents with the n bytes at data.
    void assign(const void* data, int32_t n);
    // Sets the size to n, keeping the first bytes; new bytes are zero.
    void resize(int32_t n);

    uint8_t* data() { return m_size > kInline ? m_heap : m_inline; }
    const uint8_t* data() const { return m_size > kInline ? m_heap : m_inline; }
    int32_t size() const { return m_size; }
    int32_t capacity() const { return m_capacity; }
    bool operator==(const SmallString& o) const;

private:
    void FreeBlock() noexcept;

    int32_t m_size = 0;
    int32_t m_capacity = kInline;
    union {
        uint8_t m_inline[kInline] = {};
        uint8_t* m_heap;
    };
};

} // namespace vorn
