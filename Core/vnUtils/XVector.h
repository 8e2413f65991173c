// vorn::xvector<T>: the framework's growable array. Three fields: element pointer,
// size in bytes, capacity in bytes (both int32). Storage comes from MemAlloc.
// Appending grows the capacity to old capacity + new size (bytes); copies, resize and
// assignment allocate exactly what they need. Element types are moved bytewise;
// elements of non-trivial type are constructed and destroyed one by one.
#pragma once
#include "vnUtils/Memory.h"
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace vorn {

namespace detail {
// Checked int32 byte arithmetic: a size that would not fit throws std::bad_alloc.
inline int32_t CheckedBytes(int64_t bytes)
{
    if (bytes < 0 || bytes > INT32_MAX) throw std::bad_alloc();
    return static_cast<int32_t>(bytes);
}
} // namespace detail

template <class T>
class xvector {
public:
    using value_type = T;
    using iterator = T*;
    using const_iterator = const T*;

    xvector() noexcept = default;
    xvector(int32_t n, const T& value) { resize(n, value); }
    explicit xvector(int32_t n) { resize(n); }
    xvector(const T* first, const T* last) { assign(first, last); }
    xvector(const xvector& o) { CopyFrom(o); }
    xvector(xvector&& o) noexcept : m_data(o.m_data), m_size(o.m_size), m_capacity(o.m_capacity)
    {
        o.m_data = nullptr;
        o.m_size = o.m_capacity = 0;
    }
    ~xvector() { Release(); }

    xvector& operator=(const xvector& o)
    {
        if (this != &o) {
            Release();
            CopyFrom(o);
        }
        return *this;
    }
    xvector& operator=(xvector&& o) noexcept
    {
        if (this != &o) {
            Release();
            m_data = o.m_data;
            m_size = o.m_size;
            m_capacity = o.m_capacity;
            o.m_data = nullptr;
            o.m_size = o.m_capacity = 0;
        }
        return *this;
    }

    // Element access.
    T* data() noexcept { return m_data; }
    const T* data() const noexcept { return m_data; }
    T* begin() noexcept { return m_data; }
    T* end() noexcept { return m_data + size(); }
    const T* begin() const noexcept { return m_data; }
    const T* end() const noexcept { return m_data + size(); }
    T& operator[](int32_t i) noexcept { return m_data[i]; }
    const T& operator[](int32_t i) const noexcept { return m_data[i]; }
    T& back() noexcept { return m_data[size() - 1]; }
    const T& back() const noexcept { return m_data[size() - 1]; }
    T& front() noexcept { return m_data[0]; }
    const T& front() const noexcept { return m_data[0]; }

    int32_t size() const noexcept { return m_size / int32_t(sizeof(T)); }
    int32_t capacity() const noexcept { return m_capacity / int32_t(sizeof(T)); }
    int32_t SizeInBytes() const noexcept { return m_size; }
    int32_t CapacityInBytes() const noexcept { return m_capacity; }
    bool empty() const noexcept { return m_size == 0; }

    // Replaces the contents with copies of [first, last).
    void assign(const T* first, const T* last)
    {
        const int32_t n = int32_t(last - first);
        clear();
        if (capacity() < n) Reallocate(n);
        for (int32_t i = 0; i < n; ++i) new (m_data + i) T(first[i]);
        m_size = n * int32_t(sizeof(T));
    }

    // Sets the size to n elements; new elements are copies of fill. A short capacity
    // becomes exactly n.
    void resize(int32_t n, const T& fill)
    {
        const int32_t old = size();
        if (n < old) {
            DestroyRange(n, old);
        } else if (n > old) {
            if (capacity() < n) Reallocate(n);
            for (int32_t i = old; i < n; ++i) new (m_data + i) T(fill);
        }
        m_size = n * int32_t(sizeof(T));
    }
    void resize(int32_t n)
    {
        const int32_t old = size();
        if (n < old) {
            DestroyRange(n, old);
        } else if (n > old) {
            if (capacity() < n) Reallocate(n);
            for (int32_t i = old; i < n; ++i) new (m_data + i) T();
        }
        m_size = n * int32_t(sizeof(T));
    }
    // Grows the capacity to at least n elements (exactly n when it grows).
    void reserve(int32_t n)
    {
        if (capacity() < n) Reallocate(n);
    }

    void push_back(const T& v)
    {
        if (m_size + int32_t(sizeof(T)) > m_capacity) {
            T copy(v); // v may live inside this vector
            GrowFor(size() + 1);
            new (m_data + size()) T(std::move(copy));
        } else {
            new (m_data + size()) T(v);
        }
        m_size += int32_t(sizeof(T));
    }
    void push_back(T&& v)
    {
        if (m_size + int32_t(sizeof(T)) > m_capacity) {
            T moved(std::move(v));
            GrowFor(size() + 1);
            new (m_data + size()) T(std::move(moved));
        } else {
            new (m_data + size()) T(std::move(v));
        }
        m_size += int32_t(sizeof(T));
    }
    void pop_back() noexcept
    {
        m_size -= int32_t(sizeof(T));
        m_data[size()].~T();
    }
    // Appends n elements copied from p (p must not point into this vector).
    void append(const T* p, int32_t n)
    {
        if (n <= 0) return;
        const int32_t old = size();
        GrowFor(int64_t(old) + n);
        for (int32_t i = 0; i < n; ++i) new (m_data + old + i) T(p[i]);
        m_size = detail::CheckedBytes(int64_t(old + n) * int64_t(sizeof(T)));
    }

    // Opens a gap of numBytes bytes at byte offset: the tail moves up, the gap is left
    // unfilled (its bytes are unspecified). Only for trivially copyable elements.
    void InsertGap(int32_t offset, int32_t numBytes)
    {
        static_assert(std::is_trivially_copyable_v<T>, "InsertGap needs trivially copyable elements");
        const int64_t newSize = int64_t(m_size) + numBytes;
        if (newSize > m_capacity) GrowBytes(newSize);
        char* base = reinterpret_cast<char*>(m_data);
        std::memmove(base + offset + numBytes, base + offset, size_t(m_size - offset));
        m_size = int32_t(newSize);
    }

    // Removes the elements [first, last) and moves the tail down.
    void erase(int32_t first, int32_t last)
    {
        if (last <= first) return;
        const int32_t n = size();
        DestroyRange(first, last);
        std::memmove(static_cast<void*>(m_data + first), static_cast<const void*>(m_data + last),
                     size_t(n - last) * sizeof(T));
        m_size = (n - (last - first)) * int32_t(sizeof(T));
    }

    // Destroys every element; keeps the storage.
    void clear() noexcept
    {
        DestroyRange(0, size());
        m_size = 0;
    }
    // Destroys every element and frees the storage.
    void Release() noexcept
    {
        DestroyRange(0, size());
        MemFree(m_data);
        m_data = nullptr;
        m_size = m_capacity = 0;
    }

    void swap(xvector& o) noexcept
    {
        std::swap(m_data, o.m_data);
        std::swap(m_size, o.m_size);
        std::swap(m_capacity, o.m_capacity);
    }

    bool operator==(const xvector& o) const
    {
        if (m_size != o.m_size) return false;
        if constexpr (std::is_trivially_copyable_v<T> && std::has_unique_object_representations_v<T>) {
            return m_size == 0 || std::memcmp(m_data, o.m_data, size_t(m_size)) == 0;
        } else {
            for (int32_t i = 0, n = size(); i < n; ++i)
                if (!(m_data[i] == o.m_data[i])) return false;
            return true;
        }
    }
    bool operator!=(const xvector& o) const { return !(*this == o); }

protected:
    // Grows by the append rule so that the vector can hold n elements.
    void GrowFor(int64_t n) { GrowBytes(n * int64_t(sizeof(T))); }
    void GrowBytes(int64_t newBytes)
    {
        if (newBytes <= m_capacity) return;
        const int32_t bytes = detail::CheckedBytes(int64_t(m_capacity) + newBytes);
        MoveTo(bytes);
    }
    // Makes the capacity exactly n elements (n >= size()).
    void Reallocate(int64_t n) { MoveTo(detail::CheckedBytes(n * int64_t(sizeof(T)))); }
    void MoveTo(int32_t bytes)
    {
        T* p = static_cast<T*>(MemAllocOrThrow(size_t(bytes)));
        if (m_size) std::memcpy(static_cast<void*>(p), static_cast<const void*>(m_data), size_t(m_size));
        MemFree(m_data);
        m_data = p;
        m_capacity = bytes;
    }
    void DestroyRange(int32_t first, int32_t last) noexcept
    {
        if constexpr (!std::is_trivially_destructible_v<T>)
            for (int32_t i = first; i < last; ++i) m_data[i].~T();
    }
    void CopyFrom(const xvector& o)
    {
        if (o.m_size == 0) return;
        const int32_t n = o.size();
        m_data = static_cast<T*>(MemAllocOrThrow(size_t(o.m_size)));
        m_capacity = n * int32_t(sizeof(T));
        if constexpr (std::is_trivially_copyable_v<T>) {
            std::memcpy(static_cast<void*>(m_data), static_cast<const void*>(o.m_data), size_t(o.m_size));
            m_size = o.m_size;
        } else {
            for (int32_t i = 0; i < n; ++i) {
                new (m_data + i) T(o.m_data[i]);
                m_size += int32_t(sizeof(T));
            }
        }
    }

    T* m_data = nullptr;
    int32_t m_size = 0;     // bytes
    int32_t m_capacity = 0; // bytes
};

// Resizes an int32 vector to n entries, new entries set to value.
inline void FillIntVector(xvector<int32_t>& v, int32_t n, int32_t value) { v.resize(n, value); }

} // namespace vorn
