#include "vnPlatform/Futex.h"
#include <climits>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vorn {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free,
              "a futex word is a plain 32-bit word");

namespace {

long Futex(const std::atomic<uint32_t>* word, int op, uint32_t value) noexcept
{
    return ::syscall(SYS_futex, reinterpret_cast<const uint32_t*>(word), op | FUTEX_PRIVATE_FLAG, value,
                     nullptr, nullptr, 0);
}

} // namespace

void FutexWait(const std::atomic<uint32_t>* word, uint32_t expected) noexcept
{
    // EAGAIN (the word changed) and EINTR both return to the caller, who checks again.
    Futex(word, FUTEX_WAIT, expected);
}

void FutexWake(const std::atomic<uint32_t>* word, int count) noexcept
{
    Futex(word, FUTEX_WAKE, uint32_t(count < 0 ? INT_MAX : count));
}

} // namespace vorn
