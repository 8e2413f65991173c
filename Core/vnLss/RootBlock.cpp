#include "vnLss/RootBlock.h"
#include "vnLss/LogFormat.h"
#include "vnUtils/Crc32.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/TextWriter.h"
#include <cstring>

namespace vorn {

RootBlock::RootBlock(IRAS* storage, int32_t segmentSize)
    : m_storage(storage), m_buffer(static_cast<uint8_t*>(storage->AllocBuffer(kBlockSize)))
{
    std::memset(m_buffer, 0, kBlockSize);
    std::memcpy(m_buffer, kMagic, 12);
    StoreU32(m_buffer + 12, kSchema);
    StoreU32(m_buffer + 16, kHeaderSize);
    StoreU32(m_buffer + 20, kBlockSize);
    StoreU32(m_buffer + 24, uint32_t(segmentSize));
    StoreU32(m_buffer + 28, uint32_t(storage->GetSectorSize()));
}

RootBlock::~RootBlock() { m_storage->FreeBuffer(m_buffer); }

void RootBlock::WriteHeaderSector() { m_storage->Write(m_buffer, 0, 1024); }

void RootBlock::SetGracefulShutdown(bool value)
{
    m_buffer[kGracefulShutdownOffset] = value ? 1 : 0;
    m_storage->Write(m_buffer + kGracefulShutdownOffset, kGracefulShutdownOffset, 1024);
}

uint32_t RootBlock::DivisionCrc(const uint8_t* division)
{
    return Crc32Update(0xFFFFFFFFu, division + 4, kDivisionSize - 4) ^ 0xFFFFFFFFu;
}

bool RootBlock::DivisionIsValid(const uint8_t* division, bool isB)
{
    const uint32_t msn1 = LoadU32(division + 4);
    const uint32_t msn2 = LoadU32(division + kDivisionSize - 4);
    if (msn1 != msn2 || (msn1 & 1u) != (isB ? 1u : 0u)) return false;
    return LoadU32(division) == DivisionCrc(division);
}

InputArchive RootBlock::Read(bool& gracefulShutdown, int32_t& segmentSize)
{
    if (m_storage->GetSize() < uint64_t(kBlockSize))
        throw CorruptLSSException(xstring("File too small - cannot read LSS root block"));
    m_storage->Read(m_buffer, 0, kBlockSize);
    if (std::memcmp(m_buffer, kMagic, 12) != 0)
        throw CorruptLSSException(xstring("A valid LSS must contain 'VORNHAL-LSS' at the start of the root block"));
    const int32_t schema = int32_t(LoadU32(m_buffer + 12));
    if (schema != kSchema) {
        xstring m("LSS root block schema [");
        m += xstring(std::to_string(schema).c_str());
        m += "] invalid. Required schema [2]";
        throw CorruptLSSException(m);
    }
    if (LoadU32(m_buffer + 16) != uint32_t(kHeaderSize) || LoadU32(m_buffer + 20) != uint32_t(kBlockSize))
        throw CorruptLSSException(xstring("LSS root block specifies incompatible root block header size"));
    if (int32_t(LoadU32(m_buffer + 28)) != m_storage->GetSectorSize())
        throw CorruptLSSException(xstring("LSS root block specifies incompatible disk sector size"));
    gracefulShutdown = m_buffer[kGracefulShutdownOffset] != 0;
    segmentSize = int32_t(LoadU32(m_buffer + 24));

    const bool aValid = DivisionIsValid(Division(false), false);
    const bool bValid = DivisionIsValid(Division(true), true);
    bool useB;
    if (aValid && bValid) useB = LoadU32(Division(true) + 4) > LoadU32(Division(false) + 4);
    else if (aValid) useB = false;
    else if (bValid) useB = true;
    else throw CorruptLSSException(xstring("LSS is corrupt : Both divisions in root block are invalid"));
    const uint8_t* d = Division(useB);
    m_msn = int32_t(LoadU32(d + 4));
    return InputArchive(d + kPayloadOffset, size_t(kPayloadSize));
}

uint8_t* RootBlock::PreparedPayload() { return Division(((m_msn + 1) & 1) != 0) + kPayloadOffset; }

void RootBlock::CommitDivision()
{
    const uint32_t msn = uint32_t(m_msn + 1);
    const bool isB = (msn & 1u) != 0;
    uint8_t* d = Division(isB);
    StoreU32(d + 4, msn);
    StoreU32(d + kDivisionSize - 4, msn);
    StoreU32(d, DivisionCrc(d));
    m_storage->Sync();
    m_storage->Write(d, isB ? kDivisionBOffset : kDivisionAOffset, kDivisionSize);
    m_storage->Sync();
    m_msn = int32_t(msn);
}

void RootBlock::WriteDiagnostics(TextWriter& w) const
{
    w << "Root block diagnostic information";
    w << "\n  schema = " << int32_t(LoadU32(m_buffer + 12));
    w << "\n  rootHeaderSize = " << int32_t(LoadU32(m_buffer + 16));
    w << "\n  rootBlockSize = " << int32_t(LoadU32(m_buffer + 20));
    w << "\n  segmentSize = " << int32_t(LoadU32(m_buffer + 24));
    w << "\n  diskSectorSize = " << int32_t(LoadU32(m_buffer + 28));
    w << "\n  gracefulShutdown = " << int32_t(m_buffer[kGracefulShutdownOffset] ? 1 : 0) << "\n";
    for (int i = 0; i < 2; ++i) {
        const uint8_t* d = Division(i == 1);
        w << (i == 0 ? "  Division A :  " : "  Division B :  ");
        w << (DivisionIsValid(d, i == 1) ? "[valid]" : "[invalid]");
        w << "  recorded CRC= ";
        WriteHexLower(w, LoadU32(d));
        w << "  calculated CRC= ";
        WriteHexLower(w, DivisionCrc(d));
        w << "  msn1= " << int32_t(LoadU32(d + 4)) << "  msn2= " << int32_t(LoadU32(d + kDivisionSize - 4)) << "\n";
    }
}

bool RootBlock::HasMagic(IRAS* storage)
{
    const int32_t n = storage->GetSectorSize();
    uint8_t* b = static_cast<uint8_t*>(storage->AllocBuffer(uint32_t(n)));
    bool ok = false;
    try {
        storage->Read(b, 0, uint32_t(n));
        ok = n >= 12 && std::memcmp(b, kMagic, 12) == 0;
    } catch (...) {
        storage->FreeBuffer(b);
        throw;
    }
    storage->FreeBuffer(b);
    return ok;
}

} // namespace vorn

namespace vorn {

namespace {

bool AllZero(const uint8_t* p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

} // namespace

bool RootBlock::IsUnfinishedCreation(IRAS* storage)
{
    // Creation writes the header and shutdown sectors, then its first check point
    // writes division B; nothing reaches a segment before that division is committed.
    // A file storage grows by whole growth units, so such a store is at most one unit
    // long. Anything longer, or with a byte beyond the root block, has held data.
    const uint64_t size = storage->GetSize();
    if (size == 0 || size > FileRAS::kGrowthUnit) return false;
    uint8_t* b = static_cast<uint8_t*>(storage->AllocBuffer(kBlockSize));
    bool unfinished = false;
    try {
        storage->Read(b, 0, kBlockSize);
        unfinished = std::memcmp(b, kMagic, 12) == 0 && AllZero(b + kDivisionAOffset, kDivisionSize) &&
                     !DivisionIsValid(b + kDivisionBOffset, true);
        for (uint64_t at = kBlockSize; unfinished && at < size; at += kBlockSize) {
            storage->Read(b, at, kBlockSize);
            const uint64_t n = size - at < uint64_t(kBlockSize) ? size - at : uint64_t(kBlockSize);
            unfinished = AllZero(b, size_t(n));
        }
    } catch (...) {
        storage->FreeBuffer(b);
        throw;
    }
    storage->FreeBuffer(b);
    return unfinished;
}

} // namespace vorn
