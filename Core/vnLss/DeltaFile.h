// Delta files: with a deltas directory, every flush unit that reaches the store file is
// also appended to a file of that directory, one file per check-point id, numbered in
// sequence: "<n>.partial" while it is filled, "<n>.lssdelta" once the log moved on to
// the next id (it then ends with a 32-byte end record naming that id). Without a
// directory every operation does nothing. File errors throw vorn::FileException with
// the file's path and the errno value.
//
// The writer is used by one thread at a time (the lazy writer under its write lock, or
// the opening thread before the store's threads run).
#pragma once
#include "vnLss/LogLayout.h"
#include "vnUtils/Guid.h"
#include "vnUtils/XString.h"
#include <cstdint>

namespace vorn {

class LssInternal;

class DeltaFileWriter {
public:
    // The end record: a flush-unit header whose cpid field names the next id and whose
    // other fields hold kEndMark.
    static constexpr int32_t kEndRecordSize = kFlushUnitHeaderSize;
    static constexpr uint32_t kEndMark = 0xFFFFFFFFu;

    DeltaFileWriter(LssInternal* store, const char* directory);
    // Closes an open file without an end record.
    ~DeltaFileWriter();
    DeltaFileWriter(const DeltaFileWriter&) = delete;
    DeltaFileWriter& operator=(const DeltaFileWriter&) = delete;

    bool IsEnabled() const { return m_enabled; }
    bool IsFileOpen() const { return m_fd >= 0; }
    int32_t GetFileNumber() const { return m_number; }
    const Guid& GetCpid() const { return m_cpid; }
    // Bytes written to the open file (its length).
    int64_t GetBytesWritten() const { return m_written; }

    // The writer continues with the file of number n for check-point id cpid (a file
    // still open is closed without an end record first).
    void Position(const Guid& cpid, int32_t n);
    // Whole flush units, as they reach the store file. A unit of another check-point id
    // finishes the open file and starts the next number. Bytes that do not form a whole
    // unit (a header cut short, a size running past the end) are copied as they are
    // into the current file; nothing beyond length is ever read.
    void AppendUnits(const uint8_t* bytes, int64_t length);
    // Ends the open file with the end record naming nextCpid, closes it and renames it
    // to "<n>.lssdelta" (a failed rename is not reported). Nothing when no file is open.
    void Finish(const Guid& nextCpid);
    // Cuts the open file at length bytes (later units follow from there); 0 also closes
    // it.
    void Truncate(int64_t length);
    // Closes an open file without an end record; errors are not reported (this is the
    // close of a store that has already failed).
    void Close() noexcept;

    // "<directory>/<n><extension>".
    xstring FileName(int32_t n, const char* extension) const;

private:
    void OpenFile();
    void Write(const uint8_t* bytes, int64_t length);

    LssInternal* m_store;
    bool m_enabled = false;
    xstring m_directory;
    Guid m_cpid{};
    int32_t m_number = 0;
    int m_fd = -1;
    xstring m_path; // of the open file, for error messages
    int64_t m_written = 0;
};

} // namespace vorn
