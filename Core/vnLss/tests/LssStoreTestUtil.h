// Helpers of the store's own tests (also used by its fuzzer and benchmarks): those of
// LssClientTestUtil.h, and a store over shared bytes opened as the class, for tests that
// look inside it.
#pragma once
#include "LssClientTestUtil.h"
#include "vnLss/LSS.h"
#include <memory>

namespace vorn::test {

inline LSS* OpenShared(const std::shared_ptr<SharedBytes>& d, const LssSettings& s, bool* created = nullptr)
{
    bool c = false;
    LSS* lss = LSS::OpenOnStorage(new SharedRAS(d), nullptr, &c, false, s);
    if (created) *created = c;
    return lss;
}

} // namespace vorn::test
