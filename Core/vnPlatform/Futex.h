// Sleeping on a word of memory: a thread waits until another one wakes it through the
// same word. A lock whose fast path is one atomic operation puts its waiters to sleep
// this way instead of letting them spin or nap. Only threads of this process share the
// words.
#pragma once
#include <atomic>
#include <cstdint>

namespace vorn {

// Sleeps while *word holds `expected` (the check and the sleep are one step, so a wake
// that comes after the word changed is not lost). Returns after a wake, at once when
// the word holds another value, and sometimes for no reason: callers check again.
void FutexWait(const std::atomic<uint32_t>* word, uint32_t expected) noexcept;
// Wakes up to `count` threads sleeping on word.
void FutexWake(const std::atomic<uint32_t>* word, int count) noexcept;

} // namespace vorn
