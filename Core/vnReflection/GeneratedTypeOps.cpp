#include "vnReflection/GeneratedTypeOps.h"
#include <cstdint>

namespace vorn {

void* CopyEightByteValuesN(void* dst, ssize_t dstStride, const void* src, ssize_t srcStride, ssize_t count)
{
    if (!dst) return nullptr;
    auto* d = static_cast<char*>(dst);
    const auto* s = static_cast<const char*>(src);
    for (ssize_t i = 0; i < count; ++i, d += dstStride, s += srcStride) {
        uint64_t v;
        std::memcpy(&v, s, 8);
        std::memcpy(d, &v, 8);
    }
    return d;
}

} // namespace vorn
