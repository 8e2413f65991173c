// The process-wide pseudo-random generator: three linear congruential generators, the
// first two filling a 97-entry shuffle table and the third choosing which entry to hand
// out next. The sequence is fixed: every run of the process draws the same numbers.
// RandomInt may be called from any thread; NextUniform is for the holder of the
// generator's critical section (RandomInt) or a single-threaded caller.
#pragma once
#include "vnUtils/Threads.h"
#include <cstdint>

namespace vorn {

class RandomGenerator {
public:
    RandomGenerator();
    RandomGenerator(const RandomGenerator&) = delete;
    RandomGenerator& operator=(const RandomGenerator&) = delete;

    // A pseudo-random integer in [a, b - 1] for a < b; b - 1 whenever a >= b.
    int32_t RandomInt(int32_t a, int32_t b);
    // A pseudo-random double in [0, 1). Not locked.
    double NextUniform();

private:
    void Advance1() { m_ix1 = (7141 * m_ix1 + 54773) % 259200; }
    void Advance2() { m_ix2 = (8121 * m_ix2 + 28411) % 134456; }
    void Advance3() { m_ix3 = (4561 * m_ix3 + 51349) % 243000; }
    double Combined() const { return (double(m_ix1) + double(m_ix2) / 134456.0) / 259200.0; }

    int32_t m_ix1;
    int32_t m_ix2;
    int32_t m_ix3;
    double m_table[98]; // entries 1..97
    CriticalSection m_lock;
};

// The process's generator, made on first use and destroyed at exit.
RandomGenerator& GetRandomGenerator();

} // namespace vorn
