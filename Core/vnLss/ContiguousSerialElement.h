// One element in one piece of memory: an element of one packet stays in its pinned
// segment (the pin, a reservation of the segment and the reader entry are held until
// Release); a longer one is copied out of its chain.
#pragma once
#include "vnLss/LogFormat.h"
#include "vnLss/LssInterfaces.h"

namespace vorn {

class LssInternal;

class ContiguousSerialElement : public IContiguousSerialElement {
public:
    ContiguousSerialElement(LssInternal* store, Seid seid) : m_store(store), m_seid(seid) {}
    ~ContiguousSerialElement() override;

    // False when the seid has no element.
    bool Open();

    void Release() override;
    const uint8_t* GetBuffer(int64_t& length) const override
    {
        length = m_length;
        return m_ptr;
    }

private:
    LssInternal* m_store;
    Seid m_seid;
    const uint8_t* m_ptr = nullptr;
    int64_t m_length = 0;
    PacketHeader m_header;
    uint8_t* m_copy = nullptr;
    bool m_registered = false;
};

} // namespace vorn
