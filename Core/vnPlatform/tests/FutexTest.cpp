#include "vnPlatform/Futex.h"
#include <gtest/gtest.h>
#include <atomic>
#include <thread>
#include <vector>

using namespace vorn;

// A wait on a word that already changed returns at once; sleepers wake once the word
// changes and they are woken, however many there are.
TEST(FutexThreaded, SleepersWakeWhenTheWordChanges)
{
    std::atomic<uint32_t> word{5};
    FutexWait(&word, 4);   // not 4: no sleep

    word.store(0);
    std::atomic<int> awake{0};
    std::vector<std::thread> sleepers;
    for (int i = 0; i < 4; ++i) {
        sleepers.emplace_back([&] {
            while (word.load(std::memory_order_acquire) == 0) FutexWait(&word, 0);
            awake.fetch_add(1);
        });
    }
    word.store(1, std::memory_order_release);
    FutexWake(&word, -1);
    for (auto& t : sleepers) t.join();
    EXPECT_EQ(awake.load(), 4);
}

// The lock the framework heap builds on it (free, held, held with sleepers): every
// increment under it survives many threads at once.
TEST(FutexThreaded, ALockOnTheWordKeepsItsCounter)
{
    std::atomic<uint32_t> lock{0};
    long counter = 0;
    auto acquire = [&] {
        uint32_t expected = 0;
        if (lock.compare_exchange_strong(expected, 1, std::memory_order_acquire)) return;
        while (lock.exchange(2, std::memory_order_acquire) != 0) FutexWait(&lock, 2);
    };
    auto release = [&] {
        if (lock.exchange(0, std::memory_order_release) == 2) FutexWake(&lock, 1);
    };
    std::vector<std::thread> pool;
    for (int i = 0; i < 6; ++i) {
        pool.emplace_back([&] {
            for (int k = 0; k < 20000; ++k) {
                acquire();
                ++counter;
                release();
            }
        });
    }
    for (auto& t : pool) t.join();
    EXPECT_EQ(counter, 6L * 20000);
}
