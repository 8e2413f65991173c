#include "vnLss/DeltaFile.h"
#include "vnLss/LssInternal.h"
#include "vnLss/Ras.h"
#include "vnLss/LogFormat.h"
#include "vnPlatform/RasFile.h"
#include "vnPlatform/SeqFile.h"
#include "vnUtils/Exceptions.h"
#include <cstdio>
#include <cstring>

namespace vorn {

namespace {
constexpr const char* kPartial = ".partial";
constexpr const char* kFinished = ".lssdelta";
} // namespace

DeltaFileWriter::DeltaFileWriter(LssInternal* store, const char* directory)
    : m_store(store), m_enabled(directory && *directory), m_directory(directory ? directory : "")
{
}

DeltaFileWriter::~DeltaFileWriter() { Close(); }

xstring DeltaFileWriter::FileName(int32_t n, const char* extension) const
{
    char number[16];
    std::snprintf(number, sizeof number, "%d", int(n));
    xstring path(m_directory);
    path += '/';
    path += number;
    path += extension;
    return path;
}

void DeltaFileWriter::Position(const Guid& cpid, int32_t n)
{
    Close();
    m_cpid = cpid;
    m_number = n;
}

void DeltaFileWriter::OpenFile()
{
    m_path = FileName(m_number, kPartial);
    int fd = -1;
    if (const int e = SeqFileCreate(m_path.c_str(), &fd)) throw FileException(uint32_t(e), m_path);
    m_fd = fd;
    m_written = 0;
}

void DeltaFileWriter::Write(const uint8_t* bytes, int64_t length)
{
    if (m_fd < 0) OpenFile();
    if (length <= 0) return;
    if (const int e = RasFileWriteAt(m_fd, bytes, size_t(length), uint64_t(m_written)))
        throw FileException(uint32_t(e), m_path);
    m_written += length;
}

void DeltaFileWriter::AppendUnits(const uint8_t* bytes, int64_t length)
{
    if (!m_enabled || !bytes || length <= 0) return;
    int64_t sector = m_store ? m_store->GetStorage()->GetSectorSize() : 1;
    if (sector < 1) sector = 1;
    int64_t q = 0; // start of the bytes not yet written
    int64_t r = 0; // the unit looked at
    while (length - r >= kFlushUnitHeaderSize) {
        const uint8_t* unit = bytes + r;
        Guid cpid;
        std::memcpy(&cpid, unit + kUnitCpidOffset, sizeof cpid);
        if (!(cpid == m_cpid)) {
            if (m_fd >= 0 || r > q) {
                Write(bytes + q, r - q);
                Finish(cpid);
                q = r;
            }
            m_cpid = cpid;
            ++m_number;
            OpenFile();
        }
        // A size that is negative or runs past the end leaves the rest as one piece.
        const int32_t size = int32_t(LoadU32(unit + kUnitSizeOffset));
        int64_t step = length - r;
        if (size >= 0) {
            const int64_t padded = (kFlushUnitHeaderSize + int64_t(size) + sector - 1) / sector * sector;
            if (padded < step) step = padded;
        }
        r += step;
    }
    Write(bytes + q, length - q);
}

void DeltaFileWriter::Finish(const Guid& nextCpid)
{
    if (!m_enabled || m_fd < 0) return;
    uint8_t end[kEndRecordSize];
    // Laid out as a flush-unit header: the next id in the cpid field, the mark in the
    // others.
    StoreU32(end + kUnitCrcOffset, kEndMark);
    std::memcpy(end + kUnitCpidOffset, &nextCpid, 16);
    StoreU32(end + kUnitFsnOffset, kEndMark);
    StoreU32(end + kUnitSizeOffset, kEndMark);
    StoreU32(end + kUnitNextSegIdOffset, kEndMark);
    Write(end, kEndRecordSize);
    const int fd = m_fd;
    m_fd = -1;
    m_written = 0;
    if (const int e = SeqFileClose(fd)) throw FileException(uint32_t(e), m_path);
    (void)SeqFileRename(m_path.c_str(), FileName(m_number, kFinished).c_str());
}

void DeltaFileWriter::Truncate(int64_t length)
{
    if (!m_enabled || m_fd < 0) return;
    if (length < 0) length = 0;
    if (const int e = RasFileSetLength(m_fd, uint64_t(length))) throw FileException(uint32_t(e), m_path);
    m_written = length;
    if (length == 0) {
        const int fd = m_fd;
        m_fd = -1;
        if (const int e = SeqFileClose(fd)) throw FileException(uint32_t(e), m_path);
    }
}

void DeltaFileWriter::Close() noexcept
{
    if (m_fd < 0) return;
    (void)SeqFileClose(m_fd);
    m_fd = -1;
    m_written = 0;
}

} // namespace vorn
