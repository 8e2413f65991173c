// The lower- and upper-bound operations of TypeOps for values of T ordered by Less,
// over an array given by its first element, stride and count. The caller's array must
// be sorted by Less.
#pragma once
#include "vnReflection/Records.h"

namespace vorn {

template <class T, bool (*Less)(const T&, const T&)>
struct OrderedSearch {
    static const T& At(const void* first, ssize_t stride, ssize_t i)
    {
        return *reinterpret_cast<const T*>(static_cast<const char*>(first) + stride * i);
    }
    static ssize_t LowerBound(const void* first, ssize_t stride, ssize_t count, const void* key)
    {
        const T& k = *static_cast<const T*>(key);
        ssize_t lo = 0, hi = count;
        while (lo < hi) {
            const ssize_t mid = lo + (hi - lo) / 2;
            if (Less(At(first, stride, mid), k)) lo = mid + 1;
            else hi = mid;
        }
        return lo;
    }
    static ssize_t UpperBound(const void* first, ssize_t stride, ssize_t count, const void* key)
    {
        const T& k = *static_cast<const T*>(key);
        ssize_t lo = 0, hi = count;
        while (lo < hi) {
            const ssize_t mid = lo + (hi - lo) / 2;
            if (!Less(k, At(first, stride, mid))) lo = mid + 1;
            else hi = mid;
        }
        return lo;
    }
};

} // namespace vorn
