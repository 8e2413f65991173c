// vorn::ChunkedPtrList: an unordered list of {object, table} pairs kept in a doubly
// linked list of blocks of 1024 pairs. Appending touches only the last block; splicing
// another list in relinks its full blocks and copies only its last, partial block, so
// whole lists move in time proportional to their block count. One emptied block is
// kept for reuse, so a stack that grows and shrinks across a block boundary does not
// allocate each time. Not thread-safe: the owner guards it.
#pragma once
#include "vnReflection/Records.h"
#include <cstdint>

namespace vorn {

class ChunkedPtrList {
public:
    static constexpr int32_t kBlockEntries = 1024;

    struct Block {
        AnyInterface m_entries[kBlockEntries];
        int32_t m_count = 0;
        Block* m_prev = nullptr;
        Block* m_next = nullptr;
    };

    ChunkedPtrList() = default;
    ~ChunkedPtrList()
    {
        Clear();
        delete m_spare;
    }
    ChunkedPtrList(const ChunkedPtrList&) = delete;
    ChunkedPtrList& operator=(const ChunkedPtrList&) = delete;
    // Takes o's blocks; o is left empty.
    ChunkedPtrList(ChunkedPtrList&& o) noexcept;
    ChunkedPtrList& operator=(ChunkedPtrList&& o) noexcept;

    void Append(AnyInterface p)
    {
        if (m_last == nullptr || m_last->m_count == kBlockEntries) AddBlock();
        m_last->m_entries[m_last->m_count++] = p;
        ++m_count;
    }
    // Removes and returns the last pair (the list must not be empty); frees a block that
    // becomes empty.
    AnyInterface PopBack()
    {
        AnyInterface p = m_last->m_entries[--m_last->m_count];
        --m_count;
        if (m_last->m_count == 0) FreeLastBlock();
        return p;
    }
    // Moves every pair of other into this list and leaves other empty.
    void Splice(ChunkedPtrList& other);
    // Frees every block.
    void Clear();

    // Keeps, in order, the pairs for which keep(AnyInterface&) is true, compacting the
    // list in place; blocks left empty are freed.
    template <class F>
    void KeepIf(F&& keep)
    {
        Block* wb = m_first;
        int32_t wi = 0;
        int64_t kept = 0;
        for (Block* b = m_first; b; b = b->m_next) {
            const int32_t n = b->m_count;
            for (int32_t i = 0; i < n; ++i) {
                AnyInterface& p = b->m_entries[i];
                if (!keep(p)) continue;
                if (wi == kBlockEntries) {
                    wb->m_count = kBlockEntries;
                    wb = wb->m_next;
                    wi = 0;
                }
                wb->m_entries[wi++] = p;
                ++kept;
            }
        }
        if (wb == nullptr) return;
        wb->m_count = wi;
        m_count = kept;
        // Free the blocks after the last written one, and that one too when it is empty.
        Block* firstFree = wb->m_next;
        if (wi == 0) {
            firstFree = wb;
            m_last = wb->m_prev;
        } else {
            m_last = wb;
        }
        if (m_last)
            m_last->m_next = nullptr;
        else
            m_first = nullptr;
        while (firstFree) {
            Block* next = firstFree->m_next;
            delete firstFree;
            firstFree = next;
        }
    }

    int64_t Count() const { return m_count; }
    bool Empty() const { return m_count == 0; }
    Block* First() const { return m_first; }
    Block* Last() const { return m_last; }

    // Calls f(AnyInterface&) for every pair, block by block.
    template <class F>
    void ForEach(F&& f)
    {
        for (Block* b = m_first; b; b = b->m_next)
            for (int32_t i = 0; i < b->m_count; ++i) f(b->m_entries[i]);
    }

private:
    void AddBlock();
    void FreeLastBlock();

    Block* m_first = nullptr;
    Block* m_last = nullptr;
    int64_t m_count = 0;
    Block* m_spare = nullptr;
};

} // namespace vorn
