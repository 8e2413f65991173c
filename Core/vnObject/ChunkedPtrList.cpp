#include "vnObject/ChunkedPtrList.h"

namespace vorn {

void ChunkedPtrList::Splice(ChunkedPtrList& other)
{
    if (&other == this || other.m_first == nullptr) return;
    Block* partial = other.m_last->end < kBlockEntries ? other.m_last : nullptr;
    // Full blocks go to the front of this list as they are.
    Block* fullLast = partial ? partial->prev : other.m_last;
    if (fullLast) {
        Block* fullFirst = other.m_first;
        fullLast->next = m_first;
        if (m_first)
            m_first->prev = fullLast;
        else
            m_last = fullLast;
        fullFirst->prev = nullptr;
        m_first = fullFirst;
    }
    const int64_t moved = other.m_count;
    m_count += moved - (partial ? partial->end : 0);
    other.m_first = other.m_last = nullptr;
    other.m_count = 0;
    if (partial) {
        partial->prev = partial->next = nullptr;
        if (m_last && m_last->end + partial->end <= kBlockEntries) {
            for (int32_t i = 0; i < partial->end; ++i) m_last->entries[m_last->end++] = partial->entries[i];
            m_count += partial->end;
            other.ReleasePage(partial);
        } else {
            // No room in the last block: the partial block goes to the front as it is.
            // A splice never allocates (it runs when a space goes, also after memory
            // has run out).
            partial->next = m_first;
            if (m_first) m_first->prev = partial;
            else m_last = partial;
            m_first = partial;
            m_count += partial->end;
        }
    }
}

} // namespace vorn
