#include "vnObject/ChunkedPtrList.h"

namespace vorn {

ChunkedPtrList::ChunkedPtrList(ChunkedPtrList&& o) noexcept : m_first(o.m_first), m_last(o.m_last), m_count(o.m_count)
{
    o.m_first = o.m_last = nullptr;
    o.m_count = 0;
}

ChunkedPtrList& ChunkedPtrList::operator=(ChunkedPtrList&& o) noexcept
{
    if (this != &o) {
        Clear();
        m_first = o.m_first;
        m_last = o.m_last;
        m_count = o.m_count;
        o.m_first = o.m_last = nullptr;
        o.m_count = 0;
    }
    return *this;
}

void ChunkedPtrList::AddBlock()
{
    Block* b = m_spare ? m_spare : new Block;
    m_spare = nullptr;
    b->m_count = 0;
    b->m_next = nullptr;
    b->m_prev = m_last;
    if (m_last)
        m_last->m_next = b;
    else
        m_first = b;
    m_last = b;
}

void ChunkedPtrList::FreeLastBlock()
{
    Block* b = m_last;
    m_last = b->m_prev;
    if (m_last)
        m_last->m_next = nullptr;
    else
        m_first = nullptr;
    if (m_spare == nullptr)
        m_spare = b;
    else
        delete b;
}

void ChunkedPtrList::Splice(ChunkedPtrList& other)
{
    if (&other == this || other.m_first == nullptr) return;
    Block* partial = other.m_last->m_count < kBlockEntries ? other.m_last : nullptr;
    // Full blocks go to the front of this list as they are.
    Block* fullLast = partial ? partial->m_prev : other.m_last;
    if (fullLast) {
        Block* fullFirst = other.m_first;
        fullLast->m_next = m_first;
        if (m_first)
            m_first->m_prev = fullLast;
        else
            m_last = fullLast;
        fullFirst->m_prev = nullptr;
        m_first = fullFirst;
    }
    const int64_t moved = other.m_count;
    m_count += moved - (partial ? partial->m_count : 0);
    other.m_first = other.m_last = nullptr;
    other.m_count = 0;
    if (partial) {
        partial->m_prev = partial->m_next = nullptr;
        for (int32_t i = 0; i < partial->m_count; ++i) Append(partial->m_entries[i]);
        delete partial;
    }
}

void ChunkedPtrList::Clear()
{
    for (Block* b = m_first; b;) {
        Block* next = b->m_next;
        delete b;
        b = next;
    }
    m_first = m_last = nullptr;
    m_count = 0;
}

} // namespace vorn
