// vorn::PagedList<T, N, SizeT>: plain entries kept in a doubly linked list of fixed
// pages of N entries, with one spare page kept for reuse, so that a list filled and
// emptied over and over allocates nothing in its steady state. Appending and removing
// at the back touch only the last page. No page in the list is empty; an empty list
// has no pages but may keep its spare. Not thread-safe: the owner guards it.
//
// It is the common body of the framework's paged containers (PagedDeque, the object
// lists of a space, the loader's request queue); they add the operations of their own
// through the protected page primitives.
#pragma once
#include <cstdint>
#include <type_traits>

namespace vorn {

template <class T, int32_t N, class SizeT = int32_t>
class PagedList {
    static_assert(std::is_trivially_copyable_v<T>, "entries are moved as bytes");

public:
    static constexpr int32_t kPageEntries = N;

    // The used entries of a page are those from begin to end - 1. A fresh page has its
    // entries zeroed and begin = end = N / 2.
    struct Page {
        T entries[N];
        int32_t begin = N / 2;
        int32_t end = N / 2; // one past the last used entry
        Page* prev = nullptr;
        Page* next = nullptr;

        int32_t Count() const { return end - begin; }
    };

    PagedList() = default;
    ~PagedList()
    {
        Clear();
        delete m_spare;
    }
    PagedList(const PagedList&) = delete;
    PagedList& operator=(const PagedList&) = delete;
    // Takes the pages and count of o (three words); o keeps its spare.
    PagedList(PagedList&& o) noexcept : m_first(o.m_first), m_last(o.m_last), m_count(o.m_count)
    {
        o.m_first = o.m_last = nullptr;
        o.m_count = 0;
    }
    // Clears this list first (its pages go to its spare or are freed), then takes o's
    // pages and count.
    PagedList& operator=(PagedList&& o) noexcept
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

    SizeT Size() const { return m_count; }
    bool IsEmpty() const { return m_count == 0; }

    void PushBack(const T& entry)
    {
        if (m_last == nullptr) {
            Page* p = GetPage();
            p->begin = p->end = 0;
            m_first = m_last = p;
        } else if (m_last->end == N) {
            Page* p = GetPage();
            p->begin = p->end = 0;
            p->prev = m_last;
            m_last->next = p;
            m_last = p;
        }
        m_last->entries[m_last->end++] = entry;
        ++m_count;
    }

    // Removes the last entry; the list must not be empty. A page left empty is
    // released.
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

    // Calls f(T&) for every entry, front to back.
    template <class F>
    void ForEach(F&& f)
    {
        for (Page* p = m_first; p != nullptr; p = p->next)
            for (int32_t i = p->begin; i < p->end; ++i) f(p->entries[i]);
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

protected:
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

    Page* m_first = nullptr;
    Page* m_last = nullptr;
    SizeT m_count = 0;
    Page* m_spare = nullptr;
};

} // namespace vorn
