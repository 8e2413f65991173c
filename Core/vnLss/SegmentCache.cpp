#include "vnLss/SegmentCache.h"
#include "vnLss/LogFormat.h"
#include "vnLss/LssLayout.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/Trace.h"
#include <algorithm>
#include <cstring>

namespace vorn {

// ---------------------------------------------------------------------------------
// Segment

Segment::Segment(IRAS* storage, int32_t size)
    : m_storage(storage), m_buffer(static_cast<uint8_t*>(storage->AllocBuffer(uint32_t(size)))), m_size(size)
{
}

Segment::~Segment()
{
    if (m_pinCount != 0) try {
        TraceStream t;
        t << "*** Error : destructing segment " << m_id << " with access count = " << m_pinCount << "\n";
    } catch (...) {
        // A destructor throws nothing: the report is lost when memory has run out.
    }
    m_storage->FreeBuffer(m_buffer);
}

bool Segment::HoldsVerified(int64_t from, int64_t to) const
{
    if (from >= m_trustedFrom.load(std::memory_order_acquire)) return true;
    // The last unit that begins at or before from.
    auto it = std::upper_bound(m_verifiedUnits.begin(), m_verifiedUnits.end(), from,
                               [](int64_t v, const CheckedUnit& u) { return v < u.m_from; });
    if (it == m_verifiedUnits.begin()) return false;
    --it;
    return to <= it->m_to;
}

void Segment::TrustFrom(int32_t offset)
{
    if (offset < m_trustedFrom.load(std::memory_order_relaxed)) m_trustedFrom.store(offset, std::memory_order_release);
}

uint64_t Segment::GetFileOffset() const { return SegmentOffset(m_id, m_size); }

void Segment::WriteAll() const { m_storage->Write(m_buffer, GetFileOffset(), uint32_t(m_size)); }

void Segment::WriteRange(int32_t from, int32_t to) const
{
    if (from < 0 || to > m_size || from > to)
        ThrowProgrammingError("Segment::WriteRange() : range outside the segment");
    if (from == to) return;
    m_storage->Write(m_buffer + from, GetFileOffset() + uint64_t(from), uint32_t(to - from));
}

// ---------------------------------------------------------------------------------
// SegmentCache

namespace {

std::atomic<bool> g_checkUnitsOnLoad{true};

// The records of every sealed unit of a segment whose CRC holds. After a unit that
// fails, the next unit is looked for at every following sector boundary: units behind a
// damaged one stay readable.
void FindVerifiedUnits(const uint8_t* buffer, int32_t size, int32_t sectorSize, std::vector<CheckedUnit>& out)
{
    out.clear();
    int64_t offset = 0;
    while (offset + kFlushUnitHeaderSize <= size) {
        if (SealedUnitIsValid(buffer, size, offset)) {
            const int32_t records = int32_t(LoadU32(buffer + offset + kUnitSizeOffset));
            const int32_t from = int32_t(offset) + kFlushUnitHeaderSize;
            out.push_back({from, from + records, LoadU32(buffer + offset)});
            offset = NextUnitOffset(offset, records, sectorSize);
        } else {
            offset += sectorSize;
        }
    }
}

// Whether the units found when the segment was read before still head the same bytes:
// the same CRC word and size at each place.
bool SameUnitHeaders(const uint8_t* buffer, const std::vector<CheckedUnit>& units)
{
    for (const CheckedUnit& u : units) {
        const uint8_t* header = buffer + (u.m_from - kFlushUnitHeaderSize);
        if (LoadU32(header) != u.m_crc || int32_t(LoadU32(header + kUnitSizeOffset)) != u.m_to - u.m_from)
            return false;
    }
    return true;
}

} // namespace

void SegmentCache::SetCheckUnitsOnLoad(bool on) { g_checkUnitsOnLoad = on; }

SegmentCache::SegmentCache(IRAS* storage, int32_t segmentSize, IBackgroundFailureRecorder* failures)
    : m_storage(storage), m_segmentSize(segmentSize), m_failures(failures)
{
    if (!IsValidSegmentSize(segmentSize)) throw CorruptLSSException(xstring("LSS is corrupt : invalid segment size"));
}

SegmentCache::~SegmentCache()
{
    Lock lock(m_lock);
    m_releaseHead = m_releaseTail = nullptr;
    m_map.clear();
    for (Segment* s : m_records) delete s;
    m_records.clear();
    m_numRecords = 0;
}

void SegmentCache::SetSegmentSize(int32_t segmentSize)
{
    if (!IsValidSegmentSize(segmentSize)) throw CorruptLSSException(xstring("LSS is corrupt : invalid segment size"));
    Lock lock(m_lock);
    if (m_segmentSize == segmentSize) return;
    if (m_numRecords != 0)
        ThrowProgrammingError("SegmentCache::SetSegmentSize() : the cache holds segments");
    m_segmentSize = segmentSize;
}

void SegmentCache::ListAppend(Segment* s)
{
    s->m_prev = m_releaseTail;
    s->m_next = nullptr;
    if (m_releaseTail) m_releaseTail->m_next = s;
    else m_releaseHead = s;
    m_releaseTail = s;
    s->m_inReleaseList = true;
}

void SegmentCache::ListPrepend(Segment* s)
{
    s->m_prev = nullptr;
    s->m_next = m_releaseHead;
    if (m_releaseHead) m_releaseHead->m_prev = s;
    else m_releaseTail = s;
    m_releaseHead = s;
    s->m_inReleaseList = true;
}

void SegmentCache::ListRemove(Segment* s)
{
    if (!s->m_inReleaseList) return;
    if (s->m_prev) s->m_prev->m_next = s->m_next;
    else m_releaseHead = s->m_next;
    if (s->m_next) s->m_next->m_prev = s->m_prev;
    else m_releaseTail = s->m_prev;
    s->m_prev = s->m_next = nullptr;
    s->m_inReleaseList = false;
}

// The record stops being found under its id; whoever holds it keeps it.
void SegmentCache::Detach(Segment* s)
{
    if (!s->m_mapped) return;
    auto it = m_map.find(s->m_id);
    if (it != m_map.end() && it->second == s) m_map.erase(it);
    s->m_mapped = false;
}

void SegmentCache::DeleteRecord(Segment* s)
{
    ListRemove(s);
    Detach(s);
    m_records.erase(s);
    --m_numRecords;
    delete s;
}

namespace {

std::thread::id HolderOf(bool forWriter) { return forWriter ? std::thread::id() : std::this_thread::get_id(); }

} // namespace

void SegmentCache::AddHolder(Segment* s, std::thread::id holder)
{
    for (Segment::Holder& h : s->m_holders)
        if (h.m_id == holder) {
            ++h.m_pins;
            return;
        }
    s->m_holders.push_back({holder, 1});
}

// A pin released by someone who does not hold one of the record's pins was handed
// over: it comes off another thread's (not the writer's) pins.
void SegmentCache::RemoveHolder(Segment* s, std::thread::id holder)
{
    auto& hs = s->m_holders;
    size_t i = 0;
    while (i < hs.size() && hs[i].m_id != holder) ++i;
    if (i == hs.size()) {
        i = 0;
        while (i < hs.size() && hs[i].m_id == std::thread::id()) ++i;
        if (i == hs.size()) i = 0;
    }
    if (i < hs.size() && --hs[i].m_pins <= 0) hs.erase(hs.begin() + long(i));
}

namespace {

thread_local int32_t t_storeLockMarks = 0;

} // namespace

void StoreLockMark::Enter() { ++t_storeLockMarks; }
void StoreLockMark::Leave() { --t_storeLockMarks; }
bool StoreLockMark::IsMarked() { return t_storeLockMarks > 0; }

bool SegmentCache::OthersCanRelease(bool writerOnly) const
{
    const std::thread::id me = std::this_thread::get_id();
    int32_t writers = 0;
    for (const Segment* s : m_records) {
        if (s->m_pinCount <= 0) continue;
        bool other = false, writer = false;
        for (const Segment::Holder& h : s->m_holders) {
            if (h.m_id == std::thread::id()) writer = true;
            else if (h.m_id != me) other = true;
        }
        if (other && !writerOnly) return true;
        if (writer && !other) ++writers;
    }
    // The writer holds its head for good; more of its records are full segments that
    // the lazy writer releases once written.
    return writers >= 2;
}

Segment* SegmentCache::GetRecordWaiting(Lock& lock, int32_t id, std::thread::id holder)
{
    const bool writerOnly = holder == std::thread::id() || StoreLockMark::IsMarked();
    Segment* s = GetRecord(id);
    if (!s && !OthersCanRelease(writerOnly)) s = GetRecord(id, true);
    if (s) AddHolder(s, holder);
    else {
        ++m_numRecordWaits;
        ++m_numWaiting;
        m_changed.wait(lock, [this, writerOnly] { return CanGetRecord() || !OthersCanRelease(writerOnly); });
        --m_numWaiting;
    }
    return s;
}

void SegmentCache::DropPin(Segment* s, std::thread::id holder)
{
    if (s->m_pinCount <= 0)
        ThrowProgrammingError("SegmentCache::Unpin() : segment is not pinned");
    RemoveHolder(s, holder);
    if (--s->m_pinCount != 0) {
        if (m_numWaiting) m_changed.notify_all(); // who holds what has changed
        return;
    }
    s->m_holders.clear();
    // A detached record holds nothing anyone can find again: it is recycled first.
    if (s->m_mapped) ListAppend(s);
    else ListPrepend(s);
    m_changed.notify_all();
}

// Under the cache lock: a record for id, pinned once and mapped, or null when every
// record is pinned. The buffer still holds what the record held before.
Segment* SegmentCache::GetRecord(int32_t id, bool beyondCapacity)
{
    Segment* s = nullptr;
    if (m_numRecords < m_capacity || (beyondCapacity && !m_releaseHead)) {
        s = new Segment(m_storage, m_segmentSize);
        m_records.insert(s);
        ++m_numRecords;
    } else if (m_releaseHead) {
        s = m_releaseHead;
        ListRemove(s);
        Detach(s);
        s->m_failure = nullptr;
        // A lowered capacity takes effect here.
        while (m_numRecords > m_capacity && m_releaseHead) DeleteRecord(m_releaseHead);
    } else {
        return nullptr;
    }
    s->m_id = id;
    s->m_pinCount = 1;
    s->m_holders.clear();
    s->m_fillPosition = 0;
    s->m_loading = false;
    s->m_mapped = true;
    s->m_verifiedUnits.clear();
    s->m_trustedFrom.store(0, std::memory_order_release);
    m_map[id] = s;
    return s;
}

Segment* SegmentCache::Pin(int32_t id, bool forWriter)
{
    TraceIndenter indent(2);
    const std::thread::id holder = HolderOf(forWriter);
    Lock lock(m_lock);
    if (forWriter) Forget(id); // the writer resumes in it
    Segment* s;
    for (;;) {
        auto it = m_map.find(id);
        if (it != m_map.end()) {
            s = it->second;
            ++s->m_pinCount;
            AddHolder(s, holder);
            if (!s->m_loading) {
                ListRemove(s);
                return s;
            }
            // Another thread is reading it: wait for that read.
            m_changed.wait(lock, [s] { return !s->m_loading; });
            if (s->m_failure) {
                std::exception_ptr failure = s->m_failure;
                DropPin(s, holder);
                lock.unlock();
                std::rethrow_exception(failure);
            }
            return s;
        }
        s = GetRecordWaiting(lock, id, holder);
        if (s) break;
    }
    s->m_loading = true;
    const int32_t size = m_segmentSize;
    const bool check = g_checkUnitsOnLoad.load(std::memory_order_relaxed);
    bool known = false; // the units checked at an earlier read are in the record
    const uint64_t forgets = m_forgets;
    if (check) {
        if (auto c = m_checked.find(id); c != m_checked.end()) {
            s->m_verifiedUnits = c->second;
            known = true;
        }
    }
    lock.unlock();

    try {
        {
            std::lock_guard<std::mutex> load(m_loadLock);
            m_storage->Read(s->m_buffer, SegmentOffset(id, size), uint32_t(size));
        }
        // Outside the load lock: other segments load meanwhile; pinners of this one wait.
        // Unchecked, the record trusts all of its bytes (as GetRecord left it).
        if (check) {
            if (known && !SameUnitHeaders(s->m_buffer, s->m_verifiedUnits)) known = false;
            if (!known) FindVerifiedUnits(s->m_buffer, size, m_storage->GetSectorSize(), s->m_verifiedUnits);
            s->m_trustedFrom.store(size, std::memory_order_release);
        }
    } catch (const FileException& e) {
        if (m_failures) m_failures->RecordBackgroundFailure(e);
        FailLoad(s, std::current_exception(), holder);
        throw;
    } catch (...) {
        FailLoad(s, std::current_exception(), holder);
        throw;
    }

    lock.lock();
    // Not when the writer took a segment meanwhile: this read may be older than its bytes.
    if (check && !known && !forWriter && m_forgets == forgets) m_checked[id] = s->m_verifiedUnits;
    s->m_zeroed = false;
    s->m_loading = false;
    m_changed.notify_all();
    return s;
}

// A failed read: the waiters wake and throw the same failure, the record leaves the
// map so that the next Pin reads again, and the loading thread's pin is dropped.
void SegmentCache::FailLoad(Segment* s, std::exception_ptr failure, std::thread::id holder)
{
    Lock lock(m_lock);
    s->m_failure = failure;
    s->m_zeroed = false;
    s->m_loading = false;
    Detach(s);
    DropPin(s, holder);
    m_changed.notify_all();
}

// Under the cache lock, with s pinned once by the caller and mapped: clears the buffer
// outside the lock while other pinners of the id wait as for a load.
void SegmentCache::ZeroForWriter(Lock& lock, Segment* s)
{
    s->m_fillPosition = 0;
    if (s->m_zeroed) {
        s->m_zeroed = false; // the writer fills it
        return;
    }
    s->m_loading = true;
    lock.unlock();
    std::memset(s->m_buffer, 0, size_t(s->m_size));
    lock.lock();
    s->m_loading = false;
    m_changed.notify_all();
}

void SegmentCache::Forget(int32_t id)
{
    m_checked.erase(id);
    ++m_forgets;
}

Segment* SegmentCache::PinForWrite(int32_t id)
{
    TraceIndenter indent(2);
    Lock lock(m_lock);
    Forget(id);
    for (;;) {
        auto it = m_map.find(id);
        if (it != m_map.end()) {
            Segment* s = it->second;
            if (!s->m_loading && s->m_pinCount == 0) {
                ListRemove(s);
                s->m_pinCount = 1;
                s->m_holders.clear();
                AddHolder(s, std::thread::id());
                s->m_failure = nullptr;
                s->m_verifiedUnits.clear();
                s->m_trustedFrom.store(0, std::memory_order_release); // the writer fills it
                ZeroForWriter(lock, s);
                return s;
            }
            // Held or being read by others: they keep that record, the writer gets
            // another one.
            Detach(s);
        }
        Segment* s = GetRecordWaiting(lock, id, std::thread::id());
        if (s) {
            ZeroForWriter(lock, s);
            return s;
        }
    }
}

void SegmentCache::Unpin(Segment* segment, bool forWriter)
{
    TraceIndenter indent(2);
    Lock lock(m_lock);
    DropPin(segment, HolderOf(forWriter));
}

void SegmentCache::SetCapacity(int32_t count)
{
    Lock lock(m_lock);
    m_capacity = count < 1 ? 1 : count;
    m_changed.notify_all();
}

int32_t SegmentCache::GetCapacity()
{
    Lock lock(m_lock);
    return m_capacity;
}

int32_t SegmentCache::GetNumRecords()
{
    Lock lock(m_lock);
    return m_numRecords;
}

bool SegmentCache::IsCached(int32_t id)
{
    Lock lock(m_lock);
    return m_map.count(id) != 0;
}

int32_t SegmentCache::GetPinCount(int32_t id)
{
    Lock lock(m_lock);
    auto it = m_map.find(id);
    return it == m_map.end() ? -1 : it->second->m_pinCount;
}

int64_t SegmentCache::GetNumRecordWaits()
{
    Lock lock(m_lock);
    return m_numRecordWaits;
}

} // namespace vorn
