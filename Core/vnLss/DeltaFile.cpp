#include "vnLss/DeltaFile.h"
#include "vnLss/LSS.h"

namespace vorn {

DeltaFileWriter::DeltaFileWriter(LSS* store, const char* directory)
    : m_store(store), m_enabled(directory && *directory), m_directory(directory ? directory : "")
{
}

DeltaFileWriter::~DeltaFileWriter() { Close(); }

void DeltaFileWriter::Position(const Guid& cpid, int32_t n)
{
    m_cpid = cpid;
    m_number = n;
}

void DeltaFileWriter::AppendUnits(const uint8_t*, int64_t) {}

void DeltaFileWriter::Finish(const Guid&) {}

void DeltaFileWriter::Truncate(int64_t) {}

void DeltaFileWriter::Close() {}

} // namespace vorn
