// vorn::Guid: 16 bytes in the layout of a Windows GUID, and its braced text form
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
#pragma once
#include "vnUtils/XString.h"
#include <cstdint>

namespace vorn {

struct Guid {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];

    bool operator==(const Guid& o) const { return std::memcmp(this, &o, sizeof(Guid)) == 0; }
    bool operator!=(const Guid& o) const { return !(*this == o); }
};
static_assert(sizeof(Guid) == 16);

xstring GuidToString(const Guid& g);
// True exactly when text is a braced GUID; g is then set.
bool ParseGuid(const char* text, Guid& g);

} // namespace vorn
