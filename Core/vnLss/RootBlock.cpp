#include "vnLss/RootBlock.h"
#include "vnLss/LogFormat.h"
#include "vnUtils/Crc32.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/TextWriter.h"
#include <cstring>

namespace vorn {

namespace {

bool AllZero(const uint8_t* p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

} // namespace

RootBlock::RootBlock(IRAS* storage, int32_t segmentSize)
    : m_storage(storage), m_buffer(static_cast<uint8_t*>(storage->AllocBuffer(kLssRootBlockSize)))
{
    std::memset(m_buffer, 0, kLssRootBlockSize);
    std::memcpy(m_buffer + kRootMagicOffset, kLssMagic, sizeof kLssMagic);
    StoreU32(m_buffer + kRootSchemaOffset, kRootSchema);
    StoreU32(m_buffer + kRootHeaderSizeOffset, kRootHeaderSize);
    StoreU32(m_buffer + kRootBlockSizeOffset, kLssRootBlockSize);
    StoreU32(m_buffer + kRootSegmentSizeOffset, uint32_t(segmentSize));
    StoreU32(m_buffer + kRootSectorSizeOffset, uint32_t(storage->GetSectorSize()));
}

RootBlock::~RootBlock() { m_storage->FreeBuffer(m_buffer); }

void RootBlock::WriteHeaderSector() { m_storage->Write(m_buffer, 0, kRootHeaderSectorSize); }

void RootBlock::SetGracefulShutdown(bool value)
{
    m_buffer[kGracefulShutdownOffset] = value ? 1 : 0;
    m_storage->Write(m_buffer + kGracefulShutdownOffset, kGracefulShutdownOffset, kGracefulShutdownSectorSize);
}

uint32_t RootBlock::DivisionCrc(const uint8_t* division)
{
    return Crc32Update(0xFFFFFFFFu, division + kDivisionMsn1Offset, kDivisionSize - kDivisionMsn1Offset) ^ 0xFFFFFFFFu;
}

bool RootBlock::DivisionIsValid(const uint8_t* division, bool isB)
{
    const uint32_t msn1 = LoadU32(division + kDivisionMsn1Offset);
    const uint32_t msn2 = LoadU32(division + kDivisionMsn2Offset);
    if (msn1 != msn2 || (msn1 & 1u) != (isB ? 1u : 0u)) return false;
    return LoadU32(division + kDivisionCrcOffset) == DivisionCrc(division);
}

InputArchive RootBlock::Read(bool& gracefulShutdown, int32_t& segmentSize)
{
    if (m_storage->GetSize() < uint64_t(kLssRootBlockSize))
        throw CorruptLSSException(xstring("File too small - cannot read LSS root block"));
    m_storage->Read(m_buffer, 0, kLssRootBlockSize);
    if (std::memcmp(m_buffer + kRootMagicOffset, kLssMagic, sizeof kLssMagic) != 0)
        throw CorruptLSSException(xstring("A valid LSS must contain 'VORNHAL-LSS' at the start of the root block"));
    const int32_t schema = int32_t(LoadU32(m_buffer + kRootSchemaOffset));
    if (schema != kRootSchema) {
        xstring m("LSS root block schema [");
        m += xstring(std::to_string(schema).c_str());
        m += "] invalid. Required schema [2]";
        throw CorruptLSSException(m);
    }
    if (LoadU32(m_buffer + kRootHeaderSizeOffset) != uint32_t(kRootHeaderSize) ||
        LoadU32(m_buffer + kRootBlockSizeOffset) != uint32_t(kLssRootBlockSize))
        throw CorruptLSSException(xstring("LSS root block specifies incompatible root block header size"));
    if (int32_t(LoadU32(m_buffer + kRootSectorSizeOffset)) != m_storage->GetSectorSize())
        throw CorruptLSSException(xstring("LSS root block specifies incompatible disk sector size"));
    gracefulShutdown = m_buffer[kGracefulShutdownOffset] != 0;
    segmentSize = int32_t(LoadU32(m_buffer + kRootSegmentSizeOffset));

    const bool aValid = DivisionIsValid(Division(false), false);
    const bool bValid = DivisionIsValid(Division(true), true);
    bool useB;
    if (aValid && bValid) useB = IsNewerMsn(LoadU32(Division(true) + kDivisionMsn1Offset), LoadU32(Division(false) + kDivisionMsn1Offset));
    else if (aValid) useB = false;
    else if (bValid) useB = true;
    else throw CorruptLSSException(xstring("LSS is corrupt : Both divisions in root block are invalid"));
    const uint8_t* d = Division(useB);
    m_msn = LoadU32(d + kDivisionMsn1Offset);
    m_choseNewest = (aValid && bValid) || IsOlderOrUnwritten(Division(!useB), m_msn);
    return InputArchive(d + kDivisionPayloadOffset, size_t(kDivisionPayloadSize));
}

bool RootBlock::IsOlderOrUnwritten(const uint8_t* division, uint32_t chosenMsn)
{
    // Never written: all zero, every byte of it. Otherwise its msn copies are believed
    // only under a matching CRC: damage that changed both copies alike would make a
    // newer division pass for an older one. A sealed division whose copies agree on an
    // msn before the chosen one (in the wrong slot, say) was written before it.
    if (LoadU32(division + kDivisionCrcOffset) == DivisionCrc(division)) {
        const uint32_t msn1 = LoadU32(division + kDivisionMsn1Offset);
        if (msn1 == LoadU32(division + kDivisionMsn2Offset) && IsNewerMsn(chosenMsn, msn1)) return true;
    }
    return AllZero(division, kDivisionSize);
}

bool RootBlock::IsNewerMsn(uint32_t a, uint32_t b)
{
    // The counter wraps past 0xFFFFFFFF to 0; two divisions are one step apart, so the
    // difference taken modulo 2^32 tells which came later.
    return int32_t(a - b) > 0;
}

uint8_t* RootBlock::PreparedPayload() { return Division(((m_msn + 1u) & 1u) != 0) + kDivisionPayloadOffset; }

void RootBlock::CommitDivision()
{
    const uint32_t msn = m_msn + 1u; // wraps
    const bool isB = (msn & 1u) != 0;
    uint8_t* d = Division(isB);
    StoreU32(d + kDivisionMsn1Offset, msn);
    StoreU32(d + kDivisionMsn2Offset, msn);
    StoreU32(d + kDivisionCrcOffset, DivisionCrc(d));
    m_storage->Sync();
    m_storage->Write(d, isB ? kDivisionBOffset : kDivisionAOffset, kDivisionSize);
    m_storage->Sync();
    m_msn = msn;
}

void RootBlock::WriteDiagnostics(TextWriter& w) const
{
    w << "Root block diagnostic information";
    w << "\n  schema = " << int32_t(LoadU32(m_buffer + kRootSchemaOffset));
    w << "\n  rootHeaderSize = " << int32_t(LoadU32(m_buffer + kRootHeaderSizeOffset));
    w << "\n  rootBlockSize = " << int32_t(LoadU32(m_buffer + kRootBlockSizeOffset));
    w << "\n  segmentSize = " << int32_t(LoadU32(m_buffer + kRootSegmentSizeOffset));
    w << "\n  diskSectorSize = " << int32_t(LoadU32(m_buffer + kRootSectorSizeOffset));
    w << "\n  gracefulShutdown = " << int32_t(m_buffer[kGracefulShutdownOffset] ? 1 : 0) << "\n";
    for (int i = 0; i < 2; ++i) {
        const uint8_t* d = Division(i == 1);
        w << (i == 0 ? "  Division A :  " : "  Division B :  ");
        w << (DivisionIsValid(d, i == 1) ? "[valid]" : "[invalid]");
        w << "  recorded CRC= ";
        WriteHexLower(w, LoadU32(d + kDivisionCrcOffset));
        w << "  calculated CRC= ";
        WriteHexLower(w, DivisionCrc(d));
        w << "  msn1= " << int32_t(LoadU32(d + kDivisionMsn1Offset)) << "  msn2= " << int32_t(LoadU32(d + kDivisionMsn2Offset))
          << "\n";
    }
}

bool RootBlock::HasMagic(IRAS* storage)
{
    const int32_t n = storage->GetSectorSize();
    uint8_t* b = static_cast<uint8_t*>(storage->AllocBuffer(uint32_t(n)));
    bool ok = false;
    try {
        storage->Read(b, 0, uint32_t(n));
        ok = n >= int32_t(sizeof kLssMagic) && std::memcmp(b + kRootMagicOffset, kLssMagic, sizeof kLssMagic) == 0;
    } catch (...) {
        storage->FreeBuffer(b);
        throw;
    }
    storage->FreeBuffer(b);
    return ok;
}

bool RootBlock::IsUnfinishedCreation(IRAS* storage)
{
    // Creation writes the header and shutdown sectors, then its first check point
    // writes division B; nothing reaches a segment before that division is committed.
    // A file storage grows by whole growth units before it writes, so such a store is
    // at most one unit long, and one cut off before its first write reached the disk
    // (killed between the growth and the write, or a power cut before the first sync)
    // is all zero, of any length. Anything with a byte that creation does not write
    // has held data: a store with two invalid divisions and data is refused.
    const uint64_t size = storage->GetSize();
    if (size == 0) return false;
    uint8_t* b = static_cast<uint8_t*>(storage->AllocBuffer(kLssRootBlockSize));
    bool unfinished = false;
    try {
        storage->Read(b, 0, kLssRootBlockSize); // zero beyond the end of a short file
        if (AllZero(b, kLssRootBlockSize)) {
            unfinished = true;
        } else {
            unfinished = size <= FileRAS::kGrowthUnit &&
                         std::memcmp(b + kRootMagicOffset, kLssMagic, sizeof kLssMagic) == 0 &&
                         AllZero(b + kDivisionAOffset, kDivisionSize) && !DivisionIsValid(b + kDivisionBOffset, true);
        }
        for (uint64_t at = kLssRootBlockSize; unfinished && at < size; at += kLssRootBlockSize) {
            storage->Read(b, at, kLssRootBlockSize);
            const uint64_t n = size - at < uint64_t(kLssRootBlockSize) ? size - at : uint64_t(kLssRootBlockSize);
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
