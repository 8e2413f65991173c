// Delta files: with a deltas directory, every flush unit that reaches the store file is
// also appended to a file of that directory, one file per check-point id, numbered in
// sequence: "<n>.partial" while it is filled, "<n>.lssdelta" once the log moved on to
// the next id (it then ends with a 32-byte end record naming that id). Without a
// directory every operation does nothing. File errors throw vorn::FileException.
#pragma once
#include "vnUtils/Guid.h"
#include "vnUtils/XString.h"
#include <cstdint>

namespace vorn {

class LSS;

class DeltaFileWriter {
public:
    DeltaFileWriter(LSS* store, const char* directory);
    // Closes an open file without an end record.
    ~DeltaFileWriter();
    DeltaFileWriter(const DeltaFileWriter&) = delete;
    DeltaFileWriter& operator=(const DeltaFileWriter&) = delete;

    bool IsEnabled() const { return m_enabled; }
    bool IsFileOpen() const { return m_fd >= 0; }
    int32_t GetFileNumber() const { return m_number; }
    const Guid& GetCpid() const { return m_cpid; }

    // The writer continues with the file of number n for check-point id cpid.
    void Position(const Guid& cpid, int32_t n);
    // Whole flush units, as they reach the store file.
    void AppendUnits(const uint8_t* bytes, int64_t length);
    // Ends the open file with the end record naming nextCpid and renames it.
    void Finish(const Guid& nextCpid);
    // Cuts the open file at length bytes; 0 also closes it.
    void Truncate(int64_t length);
    // Closes an open file without an end record.
    void Close();

private:
    LSS* m_store;
    bool m_enabled = false;
    xstring m_directory;
    Guid m_cpid{};
    int32_t m_number = 0;
    int m_fd = -1;
    xstring m_path;
    int64_t m_written = 0;
};

} // namespace vorn
