#include "vnLss/LazyWriter.h"
#include "vnLss/DeltaFile.h"
#include "vnLss/LssInternal.h"
#include "vnLss/Ras.h"
#include "vnLss/SegmentCache.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/Trace.h"

namespace vorn {

namespace {

void TraceException(const char* prefix, std::exception_ptr e)
{
    TraceStream t;
    t << prefix << DescribeException(e) << "\n";
}

} // namespace

LazyWriter::LazyWriter(LssInternal* store) : StoreThread(store), m_flusher(store) {}

LazyWriter::~LazyWriter()
{
    for (Segment* s : m_queue) m_store->GetCache().Unpin(s, true);
    m_queue.clear();
}

void LazyWriter::Start(int32_t segmentId, int32_t offset)
{
    {
        CriticalSectionLock lock(m_writeLock);
        m_written = LogPosition{segmentId, offset};
    }
    StoreThread::Start();
    try {
        m_flusher.Start();
    } catch (...) {
        StoreThread::Stop();
        throw;
    }
}

void LazyWriter::Stop()
{
    m_flusher.Stop();
    StoreThread::Stop();
    {
        CriticalSectionLock lock(m_queueLock);
        m_partial = nullptr;
        m_partialFill = 0;
    }
    // One at a time, without a container of its own: a stop allocates nothing (it runs
    // on the way out of failures, when memory may have run out).
    for (;;) {
        Segment* s;
        {
            CriticalSectionLock lock(m_queueLock);
            if (m_queue.empty()) break;
            s = m_queue.front();
            m_queue.pop_front();
        }
        m_store->GetCache().Unpin(s, true);
    }
    CriticalSectionLock lock(m_writeLock);
    m_written = LogPosition();
}

void LazyWriter::QueueFullSegment(Segment* segment)
{
    {
        CriticalSectionLock lock(m_queueLock);
        m_queue.push_back(segment);
        m_partial = nullptr;
        m_partialFill = 0;
    }
    Signal();
}

void LazyWriter::SetPartial(Segment* segment, int32_t fill)
{
    CriticalSectionLock lock(m_queueLock);
    m_partial = segment;
    m_partialFill = fill;
}

void LazyWriter::ThreadMain()
{
    SetThreadName("Lazy Writer");
    TraceIndenter indent(80);
    while (!m_stop) {
        m_event.Wait();
        while (!m_stop) {
            CriticalSectionLock lock(m_writeLock);
            Segment* s = nullptr;
            {
                CriticalSectionLock q(m_queueLock);
                if (m_queue.empty()) break;
                s = m_queue.front();
                m_queue.pop_front();
            }
            try {
                WriteSegment(s);
            } catch (...) {
                m_store->RecordBackgroundFailure(std::current_exception());
            }
        }
    }
}

// Under the write lock.
void LazyWriter::WriteSegment(Segment* segment)
{
    const int32_t fill = segment->GetFillPosition();
    const int32_t id = segment->GetId();
    try {
        if (m_written.m_segmentId == id) {
            if (m_written.m_offset < fill) WriteRange(segment, m_written.m_offset, fill);
        } else {
            WriteRange(segment, 0, fill);
        }
    } catch (...) {
        m_written = LogPosition();
        m_store->GetCache().Unpin(segment, true);
        throw;
    }
    m_written = LogPosition();
    m_store->GetCache().Unpin(segment, true);
    m_flusher.Signal();
}

void LazyWriter::WriteRange(Segment* segment, int32_t from, int32_t to)
{
    if (m_store->HasBackgroundFailure()) return;
    TraceIndenter indent(2);
    try {
        m_store->GetDeltas().AppendUnits(segment->GetBuffer() + from, to - from);
        segment->WriteRange(from, to);
        m_bytesWritten.fetch_add(to - from, std::memory_order_relaxed);
    } catch (...) {
        TraceException("LW: Exception: ", std::current_exception());
        m_store->RecordBackgroundFailure(std::current_exception());
    }
}

void LazyWriter::Flush(bool finishDelta)
{
    CriticalSectionLock lock(m_writeLock);
    TraceIndenter indent(2);
    std::deque<Segment*> taken;
    Segment* partial;
    int32_t fill;
    {
        CriticalSectionLock q(m_queueLock);
        taken.swap(m_queue);
        partial = m_partial;
        fill = m_partialFill;
    }
    while (!taken.empty()) {
        Segment* s = taken.front();
        taken.pop_front();
        try {
            WriteSegment(s);
        } catch (...) {
            for (Segment* rest : taken) m_store->GetCache().Unpin(rest, true);
            throw;
        }
    }
    if (partial) {
        const int32_t from = m_written.m_segmentId == partial->GetId() ? m_written.m_offset : 0;
        if (from < fill) WriteRange(partial, from, fill);
        m_written = LogPosition{partial->GetId(), fill};
    }
    m_store->CheckBackgroundFailure();
    if (finishDelta) {
        // The delta file of the previous check-point id is complete.
        DeltaFileWriter& d = m_store->GetDeltas();
        if (d.IsEnabled() && d.IsFileOpen() && m_store->GetNumCheckPoints() == d.GetFileNumber() + 1)
            d.Finish(m_store->GetCpid());
    }
}

LogPosition LazyWriter::GetWrittenPosition()
{
    CriticalSectionLock lock(m_writeLock);
    return m_written;
}

int32_t LazyWriter::GetQueueLength()
{
    CriticalSectionLock lock(m_queueLock);
    return int32_t(m_queue.size());
}

} // namespace vorn
