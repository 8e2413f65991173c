// vorn::PagedDeque<T>: a queue of plain entries in a doubly linked list of fixed pages
// of 512 entries, with one spare page kept for reuse, so that a queue filled and
// emptied over and over allocates nothing in its steady state. Appending and removing
// at the back touch one page; entries move between pages only when a range is
// inserted or erased in the middle. No page in the list is empty; an empty deque has
// no pages but may keep its spare. Not thread-safe: the owner guards it.
//
// A position is {page, index within the page, ordinal from the front}; the end
// position is {last page, its end index, count}, or {null, -1, 0} when empty.
// Positions are invalidated by any change of the deque.
#pragma once
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

namespace vorn {

template <class T>
class PagedDeque {
    static_assert(std::is_trivially_copyable_v<T>, "entries are moved as bytes");

public:
    static constexpr int32_t kPageEntries = 512;

    struct Page {
        T entries[kPageEntries];
        int32_t begin = kPageEntries / 2;
        int32_t end = kPageEntries / 2; // one past the last used entry
        Page* prev = nullptr;
        Page* next = nullptr;

        int32_t Count() const { return end - begin; }
    };

    struct Position {
        Page* page = nullptr;
        int32_t index = -1;
        int32_t ordinal = 0;

        T& operator*() const { return page->entries[index]; }
        T* operator->() const { return &page->entries[index]; }
        // The next entry: moves to the next page's begin at a page's end (the last
        // page's end is the end position).
        Position& operator++()
        {
            ++ordinal;
            if (++index == page->end && page->next != nullptr) {
                page = page->next;
                index = page->begin;
            }
            return *this;
        }
        // Positions of one deque are equal when their ordinals are.
        bool operator==(const Position& o) const { return ordinal == o.ordinal; }
        bool operator!=(const Position& o) const { return ordinal != o.ordinal; }
    };

    PagedDeque() = default;
    ~PagedDeque()
    {
        Clear();
        delete m_spare;
    }
    PagedDeque(const PagedDeque& o) { InsertRange(End(), o.Begin(), o.End()); }
    PagedDeque& operator=(const PagedDeque& o)
    {
        if (this != &o) {
            Clear();
            InsertRange(End(), o.Begin(), o.End());
        }
        return *this;
    }
    // Takes the pages and count of o (three words); o keeps its spare.
    PagedDeque(PagedDeque&& o) noexcept : m_first(o.m_first), m_last(o.m_last), m_count(o.m_count)
    {
        o.m_first = o.m_last = nullptr;
        o.m_count = 0;
    }
    // Clears this deque first (its pages go to its spare or are freed), then takes
    // o's pages and count.
    PagedDeque& operator=(PagedDeque&& o) noexcept
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

    int32_t Size() const { return m_count; }
    bool IsEmpty() const { return m_count == 0; }

    void PushBack(const T& entry)
    {
        if (m_last == nullptr) {
            Page* p = GetPage();
            p->begin = p->end = 0;
            m_first = m_last = p;
        } else if (m_last->end == kPageEntries) {
            Page* p = GetPage();
            p->begin = p->end = 0;
            p->prev = m_last;
            m_last->next = p;
            m_last = p;
        }
        m_last->entries[m_last->end++] = entry;
        ++m_count;
    }

    // Removes the last entry; the deque must not be empty.
    void PopBack()
    {
        --m_count;
        if (--m_last->end == m_last->begin) {
            Page* p = m_last;
            m_last = p->prev;
            if (m_last != nullptr) m_last->next = nullptr;
            else m_first = nullptr;
            ReleasePage(p);
        }
    }

    T& Back() { return m_last->entries[m_last->end - 1]; }
    const T& Back() const { return m_last->entries[m_last->end - 1]; }
    T& Front() { return m_first->entries[m_first->begin]; }
    const T& Front() const { return m_first->entries[m_first->begin]; }

    // Removes every entry; one page is kept as the spare.
    void Clear()
    {
        for (Page* p = m_first; p != nullptr;) {
            Page* next = p->next;
            ReleasePage(p);
            p = next;
        }
        m_first = m_last = nullptr;
        m_count = 0;
    }

    Position Begin() const
    {
        if (m_first == nullptr) return Position();
        return Position{m_first, m_first->begin, 0};
    }
    Position End() const
    {
        if (m_last == nullptr) return Position();
        return Position{m_last, m_last->end, m_count};
    }
    Position begin() const { return Begin(); }
    Position end() const { return End(); }

    // The position k entries further (k may be negative); the result must lie within
    // [Begin, End].
    Position Advance(Position pos, int32_t k) const
    {
        if (k == 0 || pos.page == nullptr) return pos;
        pos.ordinal += k;
        if (k > 0) {
            while (pos.page->next != nullptr && k >= pos.page->end - pos.index) {
                k -= pos.page->end - pos.index;
                pos.page = pos.page->next;
                pos.index = pos.page->begin;
            }
            pos.index += k;
        } else {
            k = -k;
            while (k > pos.index - pos.page->begin) {
                k -= pos.index - pos.page->begin;
                pos.page = pos.page->prev;
                pos.index = pos.page->end;
            }
            pos.index -= k;
        }
        return pos;
    }

    // The i-th entry (0 <= i < Size()); walks the pages.
    T& At(int32_t i) { return *Advance(Begin(), i); }
    const T& At(int32_t i) const { return *Advance(Begin(), i); }

    // Inserts copies of the entries [from, to) of another deque, in order, before pos;
    // returns the position of the first inserted entry (pos when nothing is inserted).
    Position InsertRange(Position pos, Position from, Position to)
    {
        const int32_t n = to.ordinal - from.ordinal;
        if (n <= 0) return pos;
        Position room = MakeRoom(pos, n);
        Page* p = room.page;
        int32_t j = room.index;
        for (int32_t left = n;;) {
            p->entries[j++] = *from;
            if (--left == 0) break;
            ++from;
            if (j == p->end) {
                p = p->next;
                j = p->begin;
            }
        }
        return Normalise(room.page, room.index, pos.ordinal);
    }
    // Appends copies of the entries of another deque.
    void Append(const PagedDeque& o) { InsertRange(End(), o.Begin(), o.End()); }

    // Grows to n entries by appending value-initialised (zero) entries, or shrinks to n
    // by erasing from the n-th entry to the end.
    void Resize(int32_t n)
    {
        if (n > m_count) {
            const int32_t add = n - m_count;
            Position room = MakeRoom(End(), add);
            Page* p = room.page;
            int32_t j = room.index;
            for (int32_t left = add; left > 0;) {
                const int32_t k = p->end - j < left ? p->end - j : left;
                for (int32_t e = 0; e < k; ++e) p->entries[j + e] = T{};
                left -= k;
                if (left > 0) {
                    p = p->next;
                    j = p->begin;
                }
            }
        } else if (n < m_count) {
            EraseRange(Advance(Begin(), n < 0 ? 0 : n), End());
        }
    }

    // Removes the entries [from, to); returns the position after the removed range
    // (the end position when nothing follows).
    Position EraseRange(Position from, Position to)
    {
        const int32_t n = to.ordinal - from.ordinal;
        if (n <= 0) return from;
        m_count -= n;
        if (from.page == to.page) {
            Page* g = from.page;
            const int32_t i = from.index;
            const int32_t j = to.index;
            if (g->end - j < i - g->begin) {
                MoveEntries(g, i, j, g->end - j);
                g->end -= n;
                return AfterErase(g, i, from.ordinal);
            }
            MoveEntries(g, g->begin + n, g->begin, i - g->begin);
            g->begin += n;
            return AfterErase(g, j, from.ordinal);
        }

        Page* p = from.page;
        Page* q = to.page;
        for (Page* mid = p->next; mid != q;) {
            Page* next = mid->next;
            Unlink(mid);
            mid = next;
        }
        q->begin = to.index;
        Page* follower = q;
        if (q->begin == q->end) {
            follower = q->next;
            Unlink(q);
        }
        p->end = from.index;
        if (p->end == p->begin) Unlink(p);
        if (follower == nullptr) return End();
        return Normalise(follower, follower->begin, from.ordinal);
    }

    // For inspection.
    const Page* FirstPage() const { return m_first; }
    const Page* LastPage() const { return m_last; }
    const Page* SparePage() const { return m_spare; }
    int32_t GetNumPages() const
    {
        int32_t n = 0;
        for (const Page* p = m_first; p != nullptr; p = p->next) ++n;
        return n;
    }

private:
    // The spare when there is one (links cleared), else a fresh zeroed page.
    Page* GetPage()
    {
        if (Page* p = m_spare) {
            m_spare = nullptr;
            p->prev = p->next = nullptr;
            return p;
        }
        return new Page();
    }
    // The page becomes the spare when there is none; otherwise it is freed.
    void ReleasePage(Page* p)
    {
        if (m_spare == nullptr) m_spare = p;
        else delete p;
    }
    // Takes p out of the list and releases it.
    void Unlink(Page* p)
    {
        if (p->prev != nullptr) p->prev->next = p->next;
        else m_first = p->next;
        if (p->next != nullptr) p->next->prev = p->prev;
        else m_last = p->prev;
        ReleasePage(p);
    }

    static void MoveEntries(Page* p, int32_t dst, int32_t src, int32_t n)
    {
        if (n > 0) std::memmove(static_cast<void*>(p->entries + dst), static_cast<const void*>(p->entries + src), size_t(n) * sizeof(T));
    }

    // The position of (p, index) with the given ordinal, moved to the next page's begin
    // when index is p's end.
    Position Normalise(Page* p, int32_t index, int32_t ordinal) const
    {
        if (index == p->end && p->next != nullptr) return Position{p->next, p->next->begin, ordinal};
        return Position{p, index, ordinal};
    }
    // After closing a gap in g, the entry following it is at index of g; g is released
    // when it became empty.
    Position AfterErase(Page* g, int32_t index, int32_t ordinal)
    {
        if (g->begin == g->end) {
            Page* next = g->next;
            Unlink(g);
            if (next == nullptr) return End();
            return Position{next, next->begin, ordinal};
        }
        return Normalise(g, index, ordinal);
    }

    // A run of ceil(n / 512) pages, all with begin 0: the first holds n mod 512 entries
    // (512 when n is a multiple), the others 512; linked between prev and next.
    Page* AddRun(Page* prev, Page* next, int32_t n)
    {
        Page* head = nullptr;
        Page* tail = prev;
        int32_t take = n % kPageEntries != 0 ? n % kPageEntries : kPageEntries;
        for (int32_t left = n; left > 0; left -= take, take = kPageEntries) {
            Page* p = GetPage();
            p->begin = 0;
            p->end = take;
            p->prev = tail;
            if (tail != nullptr) tail->next = p;
            else m_first = p;
            tail = p;
            if (head == nullptr) head = p;
        }
        tail->next = next;
        if (next != nullptr) next->prev = tail;
        else m_last = tail;
        return head;
    }

    // Makes room for n > 0 entries before pos and adds n to the count; returns where
    // the first of them goes (the room runs on across pages from there).
    Position MakeRoom(Position pos, int32_t n)
    {
        Position room;
        room.ordinal = pos.ordinal;
        if (m_first == nullptr) {
            room.page = AddRun(nullptr, nullptr, n);
            room.index = 0;
        } else {
            Page* g = pos.page;
            const int32_t i = pos.index;
            if (g->begin >= n) {
                MoveEntries(g, g->begin - n, g->begin, i - g->begin);
                g->begin -= n;
                room.page = g;
                room.index = i - n;
            } else if (kPageEntries - g->end >= n) {
                MoveEntries(g, i + n, i, g->end - i);
                g->end += n;
                room.page = g;
                room.index = i;
            } else {
                if (i == g->end) {
                    room.page = AddRun(g, g->next, n);
                } else if (i == g->begin) {
                    room.page = AddRun(g->prev, g, n);
                } else {
                    Page* s = GetPage();
                    s->begin = 0;
                    s->end = g->end - i;
                    std::memcpy(static_cast<void*>(s->entries), static_cast<const void*>(g->entries + i), size_t(s->end) * sizeof(T));
                    g->end = i;
                    s->prev = g;
                    s->next = g->next;
                    if (g->next != nullptr) g->next->prev = s;
                    else m_last = s;
                    g->next = s;
                    room.page = AddRun(g, s, n);
                }
                room.index = 0;
            }
        }
        m_count += n;
        return room;
    }

    Page* m_first = nullptr;
    Page* m_last = nullptr;
    int32_t m_count = 0;
    Page* m_spare = nullptr;
};

} // namespace vorn
