#include "vnLss/SUT.h"
#include "vnLss/LogFormat.h"
#include "vnLss/LssLayout.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/TextWriter.h"
#include "vnUtils/Trace.h"
#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vorn {

namespace {

// The largest store the table accepts from a file: 1 TiB of segments.
constexpr uint64_t kMaxStoreBytes = uint64_t(1) << 40;

int32_t MaxSegmentCount(int32_t segmentSize)
{
    const uint64_t n = kMaxStoreBytes / uint64_t(segmentSize);
    return n > uint64_t(kLssMaxSegmentId) ? kLssMaxSegmentId : int32_t(n);
}

// Whole or partial segments that lie in a storage of the given size.
InputArchive ReadInt32(InputArchive ar, int32_t& v, const char* what)
{
    if (ar.Remaining() < 4) {
        char m[128];
        std::snprintf(m, sizeof m, "LSS is corrupt : SUT image ends inside %s", what);
        throw CorruptLSSException(xstring(m));
    }
    return Read4FromBuffer(ar, v);
}

void CheckSchemaOne(int32_t schema)
{
    if (schema != 1) {
        char m[64];
        std::snprintf(m, sizeof m, "Bad schema (%d) - should be 1", schema);
        ThrowDeserialisationException(m);
    }
}

} // namespace

void SUT::ThrowCorrupt(const char* what)
{
    xstring m("LSS is corrupt : ");
    m += what;
    throw CorruptLSSException(m);
}

// ---------------------------------------------------------------------------------
// SmallSUT

void SmallSUT::Serialise(Archive& ar)
{
    ar.Write4(1);
    ar.Write4(uint32_t(m_values.size()));
    for (int32_t v : m_values) ar.Write4(uint32_t(v));
}

InputArchive SmallSUT::Deserialise(InputArchive ar)
{
    int32_t schema, count;
    ar = ReadInt32(ar, schema, "the small table schema");
    CheckSchemaOne(schema);
    ar = ReadInt32(ar, count, "the small table count");
    if (count < 0 || uint64_t(count) * 4 > ar.Remaining()) SUT::ThrowCorrupt("SUT entry count exceeds its image");
    const int32_t segSize = m_owner->m_segmentSize;
    m_values.Release();
    m_values.resize(count, 0);
    if (count > 0) std::memcpy(m_values.data(), ar.Ptr(), size_t(count) * 4);
    ar = SkipInBuffer(ar, size_t(count) * 4);
    for (int32_t v : m_values)
        if (v < 0 || v > segSize) SUT::ThrowCorrupt("segment utilisation out of range");
    return ar;
}

// ---------------------------------------------------------------------------------
// LargeSUT

LargeSUT::~LargeSUT() { FreePages(); }

void LargeSUT::Configure(int32_t pageSize)
{
    m_pageSize = pageSize;
    m_entriesPerPage = pageSize / 4;
}

void LargeSUT::FreePages()
{
    for (PageSlot& slot : m_pages) {
        if (slot.m_page) {
            m_owner->m_storage->FreeBuffer(slot.m_page->m_buffer);
            delete slot.m_page;
        }
    }
    m_pages.Release();
    m_count = 0;
}

LargeSUT::Page* LargeSUT::NewPage()
{
    Page* p = new Page;
    try {
        p->m_buffer = static_cast<uint8_t*>(m_owner->m_storage->AllocBuffer(uint32_t(m_pageSize)));
    } catch (...) {
        delete p;
        throw;
    }
    return p;
}

LargeSUT::Page* LargeSUT::LoadPage(int32_t pageIndex)
{
    PageSlot& slot = m_pages[pageIndex];
    if (slot.m_page) return slot.m_page;
    Page* p = NewPage();
    p->m_segmentId = slot.m_segmentId;
    if (slot.m_segmentId != 0) {
        try {
            m_owner->m_storage->Read(p->m_buffer, SegmentOffset(slot.m_segmentId, m_pageSize), uint32_t(m_pageSize));
            const int32_t* v = reinterpret_cast<const int32_t*>(p->m_buffer);
            for (int32_t i = 0; i < m_entriesPerPage; ++i)
                if (v[i] < 0 || v[i] > m_pageSize) SUT::ThrowCorrupt("segment utilisation out of range");
        } catch (...) {
            m_owner->m_storage->FreeBuffer(p->m_buffer);
            delete p;
            throw;
        }
    }
    slot.m_page = p;
    return p;
}

int32_t LargeSUT::Get(int32_t index)
{
    Page* p = LoadPage(index / m_entriesPerPage);
    int32_t v;
    std::memcpy(&v, p->m_buffer + size_t(index % m_entriesPerPage) * 4, 4);
    return v;
}

void LargeSUT::Set(int32_t index, int32_t value)
{
    Page* p = LoadPage(index / m_entriesPerPage);
    std::memcpy(p->m_buffer + size_t(index % m_entriesPerPage) * 4, &value, 4);
    p->m_dirty = true;
}

void LargeSUT::Append()
{
    if (m_count % m_entriesPerPage == 0) {
        Page* p = NewPage();
        p->m_dirty = true;
        PageSlot slot;
        slot.m_page = p;
        try {
            m_pages.push_back(slot);
        } catch (...) {
            m_owner->m_storage->FreeBuffer(p->m_buffer);
            delete p;
            throw;
        }
    }
    ++m_count;
}

void LargeSUT::Serialise(Archive& ar)
{
    ar.Write4(1);
    ar.Write4(uint32_t(m_count));
    ar.Write4(uint32_t(m_pages.size()));
    for (const PageSlot& slot : m_pages) ar.Write4(uint32_t(slot.m_segmentId));
}

InputArchive LargeSUT::Deserialise(InputArchive ar)
{
    int32_t schema, count, numPages;
    ar = ReadInt32(ar, schema, "the large table schema");
    CheckSchemaOne(schema);
    ar = ReadInt32(ar, count, "the large table count");
    ar = ReadInt32(ar, numPages, "the large table page count");
    if (count < 0 || count > MaxSegmentCount(m_pageSize)) SUT::ThrowCorrupt("SUT entry count out of range");
    const int64_t pagesNeeded = (int64_t(count) + m_entriesPerPage - 1) / m_entriesPerPage;
    if (numPages != pagesNeeded) SUT::ThrowCorrupt("SUT page count does not match its entry count");
    if (uint64_t(numPages) * 4 > ar.Remaining()) SUT::ThrowCorrupt("SUT page count exceeds its image");
    const int64_t inStorage = SegmentsInStorage(m_owner->m_storage->GetSize(), m_pageSize);
    FreePages();
    m_pages.resize(numPages, PageSlot());
    xvector<int32_t> seen;
    for (int32_t i = 0; i < numPages; ++i) {
        int32_t id;
        ar = Read4FromBuffer(ar, id);
        if (id < 0 || id >= count || id > inStorage) SUT::ThrowCorrupt("SUT page lies outside the store");
        m_pages[i].m_segmentId = id;
        if (id) seen.push_back(id);
    }
    std::sort(seen.begin(), seen.end());
    if (std::adjacent_find(seen.begin(), seen.end()) != seen.end()) SUT::ThrowCorrupt("two SUT pages share a segment");
    m_count = count;
    return ar;
}

// ---------------------------------------------------------------------------------
// SUT

SUT::SUT(IRAS* storage) : m_storage(storage), m_current(&m_small), m_small(this), m_large(this) {}

SUT::~SUT()
{
    // The pages' own reservations end with the pages.
    if (m_current == &m_large)
        for (const LargeSUT::PageSlot& slot : m_large.m_pages)
            if (slot.m_segmentId > 0 && slot.m_segmentId < m_reservations.size() && m_reservations[slot.m_segmentId] > 0) {
                --m_reservations[slot.m_segmentId];
                if (m_reservations[slot.m_segmentId] == 0) --m_numReserved;
            }
    if (m_numReserved > 0) try {
        TraceStream t;
        t << "*** ERROR: Reservations = {";
        bool first = true;
        for (int32_t id = 0; id < m_reservations.size(); ++id) {
            if (m_reservations[id] == 0) continue;
            if (!first) t << ",";
            first = false;
            t << "(" << id << "," << m_reservations[id] << ")";
        }
        t << "}\n";
    } catch (...) {
        // A destructor throws nothing: the report is lost when memory has run out.
    }
}

void SUT::SetSegmentSize(int32_t size)
{
    if (!IsValidSegmentSize(size)) ThrowCorrupt("invalid segment size");
    Lock lock(m_lock);
    if (size == m_segmentSize) return;
    if (CountLocked() != 0 || m_current != &m_small)
        ThrowProgrammingError("SUT::SetSegmentSize() : the table is in use");
    m_segmentSize = size;
    m_large.Configure(size);
}

int32_t SUT::GetSegmentSize()
{
    Lock lock(m_lock);
    return m_segmentSize;
}

void SUT::CheckId(int32_t id) const
{
    if (id <= 0 || id >= m_reservations.size()) {
        char m[96];
        std::snprintf(m, sizeof m, "LSS is corrupt : segment id %d outside the SUT (%d entries)", id,
                      int(m_reservations.size()));
        throw CorruptLSSException(xstring(m));
    }
}

int32_t SUT::GetNumSegments()
{
    Lock lock(m_lock);
    return CountLocked();
}

int32_t SUT::GetUtilisation(int32_t id)
{
    Lock lock(m_lock);
    CheckId(id);
    return m_current->Get(id);
}

int64_t SUT::GetTotalUtilisation()
{
    Lock lock(m_lock);
    return m_totalUtilisation;
}

bool SUT::IsLarge()
{
    Lock lock(m_lock);
    return m_current == &m_large;
}

int32_t SUT::GetReservationCount(int32_t id)
{
    Lock lock(m_lock);
    CheckId(id);
    return m_reservations[id];
}

void SUT::AppendLocked()
{
    if (CountLocked() >= kLssMaxSegmentId) ThrowCorrupt("segment id space exhausted");
    m_reservations.push_back(0);
    m_listState.push_back(kUnlisted);
    try {
        m_current->Append();
    } catch (...) {
        m_reservations.pop_back();
        m_listState.pop_back();
        throw;
    }
}

// A segment that has just become free joins the delta-FSS (unless already listed).
void SUT::MarkFreed(int32_t id)
{
    if (m_listState[id] != kUnlisted) return;
    m_deltaFss.push_back(id);
    m_listState[id] = kInDeltaFSS;
}

// A segment that has gained utilisation or a reservation leaves its free list.
void SUT::MarkInUse(int32_t id)
{
    const uint8_t state = m_listState[id];
    if (state == kInFSS) m_fss.erase(std::find(m_fss.begin(), m_fss.end(), id));
    else if (state == kInDeltaFSS) m_deltaFss.erase(std::find(m_deltaFss.begin(), m_deltaFss.end(), id));
    m_listState[id] = kUnlisted;
}

void SUT::AddUtilisation(int32_t id, int32_t delta)
{
    Lock lock(m_lock);
    CheckId(id);
    if (delta == 0) return;
    const int32_t v = m_current->Get(id) + delta;
    m_current->Set(id, v);
    m_totalUtilisation += delta;
    if (v == 0 && m_reservations[id] == 0) MarkFreed(id);
    else MarkInUse(id);
}

int32_t SUT::AllocateSegmentLocked()
{
    int32_t id;
    if (!m_fss.empty()) {
        id = m_fss.front();
        m_fss.pop_front();
        m_listState[id] = kUnlisted;
    } else {
        if (m_segmentSize == 0) ThrowProgrammingError("SUT::AllocateSegment() : no segment size");
        id = CountLocked();
        AppendLocked();
        if (id == 0) { // segment 0 is never a segment
            id = CountLocked();
            AppendLocked();
        }
    }
    ReserveLocked(id);
    return id;
}

int32_t SUT::AllocateSegment()
{
    Lock lock(m_lock);
    return AllocateSegmentLocked();
}

void SUT::TakeSegment(int32_t s)
{
    Lock lock(m_lock);
    if (s <= 0) ThrowCorrupt("segment id out of range");
    if (s >= CountLocked()) {
        if (m_segmentSize == 0) ThrowProgrammingError("SUT::TakeSegment() : no segment size");
        if (int64_t(s) > SegmentsInStorage(m_storage->GetSize(), m_segmentSize) + 1)
            ThrowCorrupt("segment id beyond the end of the store");
        while (CountLocked() <= s) {
            const int32_t id = CountLocked();
            AppendLocked();
            if (id != 0) {
                m_fss.push_back(id);
                m_listState[id] = kInFSS;
            }
        }
    }
    MarkInUse(s);
    ReserveLocked(s);
}

void SUT::ReserveLocked(int32_t id)
{
    CheckId(id);
    if (m_reservations[id]++ == 0) ++m_numReserved;
    MarkInUse(id);
}

void SUT::ReleaseLocked(int32_t id)
{
    CheckId(id);
    if (m_reservations[id] <= 0) ThrowProgrammingError("SUT::Release() : segment is not reserved");
    if (--m_reservations[id] == 0) {
        --m_numReserved;
        if (m_current->Get(id) == 0) MarkFreed(id);
    }
}

void SUT::Reserve(int32_t id)
{
    Lock lock(m_lock);
    ReserveLocked(id);
}

void SUT::Release(int32_t id)
{
    Lock lock(m_lock);
    ReleaseLocked(id);
}

void SUT::TakeDeltaFSS(std::deque<int32_t>& out)
{
    Lock lock(m_lock);
    out.swap(m_deltaFss);
    m_deltaFss.clear();
    for (int32_t id : out) m_listState[id] = kPendingMerge;
}

void SUT::MergeIntoFSS(std::deque<int32_t>& in)
{
    Lock lock(m_lock);
    for (int32_t id : in) {
        if (id <= 0 || id >= m_listState.size() || m_listState[id] != kPendingMerge) continue;
        if (IsFreeLocked(id)) {
            m_fss.push_back(id);
            m_listState[id] = kInFSS;
        } else {
            m_listState[id] = kUnlisted;
        }
    }
    in.clear();
    std::sort(m_fss.begin(), m_fss.end());
}

void SUT::WriteDirtyPages()
{
    // Allocating a page's new segment may append an entry and so a new dirty page.
    for (bool again = true; again;) {
        again = false;
        for (int32_t i = 0; i < m_large.m_pages.size(); ++i) {
            LargeSUT::PageSlot& slot = m_large.m_pages[i];
            if (!slot.m_page || !slot.m_page->m_dirty) continue;
            if (slot.m_segmentId != 0) {
                ReleaseLocked(slot.m_segmentId);
                slot.m_segmentId = 0;
            }
            const int32_t id = AllocateSegmentLocked();
            LargeSUT::PageSlot& s2 = m_large.m_pages[i]; // the vector may have grown
            s2.m_segmentId = id;
            s2.m_page->m_segmentId = id;
            m_storage->Write(s2.m_page->m_buffer, SegmentOffset(id, m_segmentSize), uint32_t(m_segmentSize));
            s2.m_page->m_dirty = false;
            again = true;
        }
    }
}

void SUT::ChangeOverIfNeeded()
{
    Lock lock(m_lock);
    if (m_current == &m_small) {
        const int64_t imageSize = 21 + 4 * int64_t(m_small.GetCount());
        if (imageSize <= kSmallImageLimit) return;
        {
            TraceStream t;
            t << "Changing over to large SUT\n";
        }
        const int32_t count = m_small.GetCount();
        const int32_t numPages = (count + m_large.m_entriesPerPage - 1) / m_large.m_entriesPerPage;
        m_large.FreePages();
        for (int32_t i = 0; i < numPages; ++i) {
            LargeSUT::PageSlot slot;
            slot.m_page = m_large.NewPage();
            slot.m_page->m_dirty = true;
            m_large.m_pages.push_back(slot);
        }
        m_large.m_count = count;
        for (int32_t id = 1; id < count; ++id) m_large.Set(id, m_small.Get(id));
        m_small.Release();
        m_current = &m_large;
    }
    WriteDirtyPages();
}

int32_t SUT::GetHighestUsedSegment()
{
    Lock lock(m_lock);
    int32_t highestPage = 0;
    if (m_current == &m_large)
        for (const LargeSUT::PageSlot& slot : m_large.m_pages) highestPage = std::max(highestPage, slot.m_segmentId);
    for (int32_t id = CountLocked() - 1; id >= 1; --id)
        if (m_current->Get(id) > 0 || m_reservations[id] > 0 || id <= highestPage) return id;
    return 0;
}

void SUT::Serialise(Archive& ar)
{
    Lock lock(m_lock);
    ar.Write4(1);
    ar.Write8(uint64_t(m_totalUtilisation));
    ar.WriteByte(m_current == &m_small ? 1 : 0);
    m_current->Serialise(ar);
}

// Drops every entry, list and reservation: an empty small table.
void SUT::ResetToEmpty()
{
    m_fss.clear();
    m_deltaFss.clear();
    m_reservations.Release();
    m_listState.Release();
    m_numReserved = 0;
    m_large.FreePages();
    m_small.Release();
    m_current = &m_small;
    m_totalUtilisation = 0;
}

InputArchive SUT::Deserialise(InputArchive ar)
{
    Lock lock(m_lock);
    if (m_segmentSize == 0) ThrowProgrammingError("SUT::Deserialise() : no segment size");
    int32_t schema;
    ar = ReadInt32(ar, schema, "the schema");
    CheckSchemaOne(schema);
    if (ar.Remaining() < 9) ThrowCorrupt("SUT image ends inside its header");
    int64_t total;
    uint8_t small;
    ar = Read8FromBuffer(ar, total);
    ar = ReadByteFromBuffer(ar, small);
    if (small > 1) ThrowCorrupt("bad SUT form");

    ResetToEmpty();

    ISUT* table = small ? static_cast<ISUT*>(&m_small) : static_cast<ISUT*>(&m_large);
    try {
        ar = table->Deserialise(ar);
        const int32_t count = table->GetCount();
        m_reservations.resize(count, 0);
        m_listState.resize(count, kUnlisted);
        m_current = table;
        if (small) {
            int64_t sum = 0;
            for (int32_t id = 0; id < count; ++id) sum += m_small.Get(id);
            if (sum != total) ThrowCorrupt("SUT total utilisation does not match its entries");
        } else {
            for (const LargeSUT::PageSlot& slot : m_large.m_pages)
                if (slot.m_segmentId) ReserveLocked(slot.m_segmentId);
        }
        m_totalUtilisation = total;
        RebuildFreeLists();
    } catch (...) {
        ResetToEmpty(); // leave an empty, usable table behind
        throw;
    }
    return ar;
}

void SUT::RebuildFreeLists()
{
    TraceIndenter indent(2);
    m_fss.clear();
    m_deltaFss.clear();
    const int32_t count = CountLocked();
    for (int32_t id = 1; id < count; ++id) {
        m_listState[id] = kUnlisted;
        if (IsFreeLocked(id)) {
            m_fss.push_back(id);
            m_listState[id] = kInFSS;
        }
    }
}

std::deque<int32_t> SUT::GetFSS()
{
    Lock lock(m_lock);
    return m_fss;
}

std::deque<int32_t> SUT::GetDeltaFSS()
{
    Lock lock(m_lock);
    return m_deltaFss;
}

void SUT::Dump(TextWriter& w)
{
    Lock lock(m_lock);
    w << "SUT\n";
    w << "  Segment Id       Utilisation       % Utilisation\n";
    w << "  ------------------------------------------------\n";
    const int32_t count = CountLocked();
    for (int32_t id = 1; id < count; ++id) {
        const int32_t u = m_current->Get(id);
        char pct[32];
        std::snprintf(pct, sizeof pct, "%.3g", m_segmentSize ? double(u) * 100.0 / double(m_segmentSize) : 0.0);
        w << "    ";
        WriteHexLower(w, uint32_t(id));
        w << "        ";
        WriteHexLower(w, uint32_t(u));
        w << "               " << pct << "%" << "\n";
    }
    w << "  Total utilisation = ";
    WriteHexLower(w, uint32_t(uint64_t(m_totalUtilisation) >> 32));
    WriteHexLower(w, uint32_t(m_totalUtilisation));
    w << "\n";
    auto list = [&w](const std::deque<int32_t>& q) {
        w << "[";
        for (size_t i = 0; i < q.size(); ++i) {
            if (i) w << ",";
            w << q[i];
        }
        w << "]\n";
    };
    w << "  FSS               = ";
    list(m_fss);
    w << "  delta-FSS         = ";
    list(m_deltaFss);
}

} // namespace vorn
