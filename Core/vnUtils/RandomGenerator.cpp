#include "vnUtils/RandomGenerator.h"
#include <cmath>

namespace vorn {

RandomGenerator::RandomGenerator() : m_ix1(21579), m_ix2(55966), m_ix3(21579)
{
    m_table[0] = 0.0;
    for (int j = 1; j <= 97; ++j) {
        Advance1();
        Advance2();
        m_table[j] = Combined();
    }
}

double RandomGenerator::NextUniform()
{
    Advance1();
    Advance2();
    Advance3();
    const int32_t j = 1 + (97 * m_ix3) / 243000;
    const double r = m_table[j];
    m_table[j] = Combined();
    return r;
}

int32_t RandomGenerator::RandomInt(int32_t a, int32_t b)
{
    CriticalSectionLock lock(m_lock);
    const double r = NextUniform();
    // In double: b - a may not fit an int32. The truncated value lies between a and b,
    // so it fits.
    const double v = std::trunc(double(a) + (double(b) - double(a)) * r);
    if (v >= double(b)) return b - 1;
    return int32_t(v);
}

RandomGenerator& GetRandomGenerator()
{
    static RandomGenerator generator;
    return generator;
}

} // namespace vorn
