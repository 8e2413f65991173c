// vorn::PagedDeque<T>: a queue of plain entries in a doubly linked list of fixed pages
// of 512 entries, with one spare page kept for reuse, so that a queue filled and
// emptied over and over allocates nothing in its steady state. Appending and removing
// at the back touch one page; entries move between pages only when a range is
// inserted or erased in the middle. No page in the list is empty; an empty deque has
// no pages but may keep its spare. Not thread-safe: the owner guards it. Appending,
// popping, Clear and moving are PagedList's; the deque adds positions and the range
// operations.
//
// A position is {page, index within the page, ordinal from the front}; the end
// position is {last page, its end index, count}, or {null, -1, 0} when empty.
// Positions are invalidated by any change of the deque.
#pragma once
#include "vnUtils/PagedList.h"
#include <cstdint>
#include <cstring>
#include <utility>

namespace vorn {

template <class T>
class PagedDeque : public PagedList<T, 512, int32_t> {
    using Base = PagedList<T, 512, int32_t>;
    using Base::m_count;
    using Base::m_first;
    using Base::m_last;
    using Base::GetPage;
    using Base::Unlink;

public:
    using typename Base::Page;
    using Base::kPageEntries;

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
    PagedDeque(const PagedDeque& o) : Base() { InsertRange(End(), o.Begin(), o.End()); }
    PagedDeque& operator=(const PagedDeque& o)
    {
        if (this != &o) {
            this->Clear();
            InsertRange(End(), o.Begin(), o.End());
        }
        return *this;
    }
    // Takes the pages and count of o (three words); o keeps its spare.
    PagedDeque(PagedDeque&& o) noexcept = default;
    // Clears this deque first (its pages go to its spare or are freed), then takes
    // o's pages and count.
    PagedDeque& operator=(PagedDeque&& o) noexcept = default;

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


private:

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
};

} // namespace vorn
