// The stream that reads one element packet by packet along its chain. While open it
// counts as a reader of the element (which is then not written) and holds the pin of
// the segment of the packet being read.
#pragma once
#include "vnLss/LogFormat.h"
#include "vnLss/LssInterfaces.h"

namespace vorn {

class LssInternal;

class ReadSerialElementStream : public ICloseableInputStream {
public:
    ReadSerialElementStream(LssInternal* store, Seid seid) : m_store(store), m_seid(seid) {}
    ~ReadSerialElementStream() override;

    // False when the seid has no element.
    bool Open();
    // Moves to the next packet of the chain; false at its end.
    bool MoveNext();

    ssize_t ReadStream(void* buffer, ssize_t count) override;
    void Close() override { delete this; }

    const PacketHeader& Header() const { return m_header; }
    void ReleaseHeader() { m_header.Release(); }

private:
    LssInternal* m_store;
    Seid m_seid;
    const uint8_t* m_ptr = nullptr;
    int32_t m_left = 0;
    PacketHeader m_header;
    bool m_registered = false;
};

} // namespace vorn
