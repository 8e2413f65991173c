// The root block (stored form in RootBlockLayout.h): a header with the geometry and the
// clean-shutdown byte, and two divisions that alternate by the parity of their master
// sequence number, each sealed with a CRC, holding the store's root state. The payload
// itself is written and read by the store; this class places, seals, checks and
// chooses divisions.
#pragma once
#include "vnLss/Ras.h"
#include "vnLss/RootBlockLayout.h"
#include "vnUtils/Archive.h"
#include <cstdint>

namespace vorn {

class TextWriter;

class RootBlock {
public:
    // A zeroed block with a filled header for a store of this geometry, msn 0.
    RootBlock(IRAS* storage, int32_t segmentSize);
    ~RootBlock();
    RootBlock(const RootBlock&) = delete;
    RootBlock& operator=(const RootBlock&) = delete;

    void WriteHeaderSector();
    void SetGracefulShutdown(bool value);

    // Reads and checks the whole block and chooses a division (the current msn becomes
    // its msn). Reports the clean-shutdown byte and the header's segment size, and
    // returns a cursor over the chosen division's payload.
    InputArchive Read(bool& gracefulShutdown, int32_t& segmentSize);
    // After Read: whether the chosen division is known to be the last one written. It is
    // not when the other one was written but is invalid and cannot show an older msn
    // under a matching CRC: it may be a newer check point that was damaged, and the
    // clean-shutdown byte, which speaks for the last check point, then says nothing
    // about the chosen one.
    bool ChoseNewestDivision() const { return m_choseNewest; }

    // The payload area (kDivisionPayloadSize bytes) of the division for msn + 1, to be
    // filled by the caller through an archive over a buffer stream on it (a check point
    // writes the store's division there).
    uint8_t* PreparedPayload();
    // Seals the division for msn + 1 and writes it; msn becomes msn + 1. The storage is
    // synced before and after the write.
    void CommitDivision();

    // The master sequence number counts modulo 2^32: after 0xFFFFFFFF comes 0.
    uint32_t GetMsn() const { return m_msn; }
    const uint8_t* GetBuffer() const { return m_buffer; }

    // Whether a division holds a valid copy: msn1 == msn2, the CRC matches and the msn
    // has the parity of its slot.
    static bool DivisionIsValid(const uint8_t* division, bool isB);
    static uint32_t DivisionCrc(const uint8_t* division);
    // Whether msn a came after msn b, the counter having wrapped or not (a != b).
    static bool IsNewerMsn(uint32_t a, uint32_t b);

    // "Root block diagnostic information" and the two division lines.
    void WriteDiagnostics(TextWriter& w) const;

    // Reads the first sector of a storage and compares it with the magic.
    static bool HasMagic(IRAS* storage);
    // A store whose creation stopped before its first division was committed: a file
    // that is all zero (any length), or one whose header carries the magic, division A
    // is all zero, B is invalid, and nothing lies beyond the root block. Such a file
    // cannot hold data yet; any other store with two invalid divisions is refused.
    static bool IsUnfinishedCreation(IRAS* storage);

private:
    // Whether a division that is not valid was never written (all zero) or, sealed with
    // a matching CRC, carries two equal msn copies older than the chosen division's.
    static bool IsOlderOrUnwritten(const uint8_t* division, uint32_t chosenMsn);
    uint8_t* Division(bool isB) const { return m_buffer + (isB ? kDivisionBOffset : kDivisionAOffset); }

    IRAS* m_storage;
    uint8_t* m_buffer;
    uint32_t m_msn = 0;
    bool m_choseNewest = true;
};

} // namespace vorn
