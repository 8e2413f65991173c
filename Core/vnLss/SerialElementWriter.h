// The stream that writes one element inside the store's transaction: the element's
// earlier packets are freed when it opens, its bytes go into a head packet and, where a
// segment ends, into overflow packets chained by their next seids; each packet enters
// the map and the utilisation table when it ends. The caller holds the segment writer's
// lock (the transaction does). A failure while writing is recorded as the store's.
#pragma once
#include "vnLss/LssInterfaces.h"

namespace vorn {

class LssInternal;

class SerialElementWriter : public ICloseableOutputStream {
public:
    explicit SerialElementWriter(LssInternal* store) : m_store(store) {}
    void Open(Seid seid);
    void WriteStream(const void* bytes, ssize_t n) override;
    void Flush() override {}
    void Close() override;
    bool IsOpen() const { return m_open; }
    // Ends an open element without its packet (the store is closing).
    void Abandon() noexcept;

private:
    void BeginPacket(Seid seid, bool head);
    void EndPacket(const Seid* next);
    // The element is over (written or not): the segment writer and the element's seid
    // are free again.
    void EndElement() noexcept;

    LssInternal* m_store;
    bool m_open = false;
    Seid m_elementSeid;
    Seid m_packetSeid;
    int32_t m_packetSegment = 0;
    int32_t m_packetOffset = 0;
    bool m_indentRaised = false;
};

} // namespace vorn
