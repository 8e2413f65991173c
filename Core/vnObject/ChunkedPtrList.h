// vorn::ChunkedPtrList: an unordered list of {object, table} pairs kept in a doubly
// linked list of blocks of 1024 pairs. Appending touches only the last block; splicing
// another list in relinks its blocks and copies at most its last, partial block (when
// it fits in this list's last block; otherwise it is relinked too, at the front, the
// one block besides the last that may be partial), so whole lists move in time
// proportional to their block count, and a splice never allocates. One emptied block is
// kept for reuse, so a stack that grows and shrinks across a block boundary does not
// allocate each time. Not thread-safe: the owner guards it. Every block's pairs start
// at its index 0.
#pragma once
#include "vnReflection/Records.h"
#include "vnUtils/PagedList.h"
#include <cstdint>

namespace vorn {

class ChunkedPtrList : public PagedList<AnyInterface, 1024, int64_t> {
    using Base = PagedList<AnyInterface, 1024, int64_t>;

public:
    static constexpr int32_t kBlockEntries = kPageEntries;
    using Block = Page;

    ChunkedPtrList() = default;
    // Takes o's blocks; o is left empty.
    ChunkedPtrList(ChunkedPtrList&& o) noexcept = default;
    ChunkedPtrList& operator=(ChunkedPtrList&& o) noexcept = default;

    void Append(AnyInterface p) { PushBack(p); }
    // Removes and returns the last pair (the list must not be empty); a block that
    // becomes empty is released.
    AnyInterface PopBack()
    {
        AnyInterface p = Back();
        Base::PopBack();
        return p;
    }
    // Moves every pair of other into this list and leaves other empty; allocates nothing.
    void Splice(ChunkedPtrList& other);

    // Keeps, in order, the pairs for which keep(AnyInterface&) is true, compacting the
    // list in place; blocks left empty are released.
    template <class F>
    void KeepIf(F&& keep)
    {
        Block* wb = m_first;
        int32_t wi = 0;
        int64_t kept = 0;
        for (Block* b = m_first; b; b = b->next) {
            const int32_t n = b->end;
            for (int32_t i = 0; i < n; ++i) {
                AnyInterface& p = b->entries[i];
                if (!keep(p)) continue;
                if (wi == kBlockEntries) {
                    wb->end = kBlockEntries;
                    wb = wb->next;
                    wi = 0;
                }
                wb->entries[wi++] = p;
                ++kept;
            }
        }
        if (wb == nullptr) return;
        wb->end = wi;
        m_count = kept;
        // Release the blocks after the last written one, and that one too when it is
        // empty.
        Block* firstFree = wb->next;
        if (wi == 0) {
            firstFree = wb;
            m_last = wb->prev;
        } else {
            m_last = wb;
        }
        if (m_last)
            m_last->next = nullptr;
        else
            m_first = nullptr;
        while (firstFree) {
            Block* next = firstFree->next;
            ReleasePage(firstFree);
            firstFree = next;
        }
    }

    int64_t Count() const { return m_count; }
    bool Empty() const { return m_count == 0; }
    Block* First() const { return m_first; }
    Block* Last() const { return m_last; }
};

} // namespace vorn
