#include "vnPlatform/Error.h"
#include <cerrno>
#include <climits>
#include <cstring>

namespace vorn {

uint32_t GetLastSystemError() { return uint32_t(errno); }

void SetLastSystemError(uint32_t code) { errno = int(code); }

const char* SystemErrorDescription(uint32_t code)
{
    if (code > uint32_t(INT_MAX)) return nullptr;
    // strerrordesc_np is thread-safe and gives null for a code glibc has no text for.
    return strerrordesc_np(int(code));
}

} // namespace vorn
