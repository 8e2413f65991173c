#include "vnUtils/RandomGenerator.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <climits>
#include <thread>
#include <vector>

using namespace vorn;

namespace {

// The shuffled three-generator algorithm written out plainly, from its constants.
struct Reference {
    int32_t ix1 = 21579, ix2 = 55966, ix3 = 21579;
    double table[98] = {};
    double Fill() { return (ix1 + ix2 / 134456.0) / 259200.0; }
    Reference()
    {
        for (int j = 1; j <= 97; ++j) {
            ix1 = (7141 * ix1 + 54773) % 259200;
            ix2 = (8121 * ix2 + 28411) % 134456;
            table[j] = Fill();
        }
    }
    double Next()
    {
        ix1 = (7141 * ix1 + 54773) % 259200;
        ix2 = (8121 * ix2 + 28411) % 134456;
        ix3 = (4561 * ix3 + 51349) % 243000;
        const int j = 1 + (97 * ix3) / 243000;
        const double r = table[j];
        table[j] = Fill();
        return r;
    }
};

} // namespace

TEST(RandomGenerator, FirstValuesFollowTheShuffledGenerators)
{
    RandomGenerator g;
    // The first draws, pinned.
    const double first[] = {0.27427201522210759, 0.56906085668968209, 0.32530293731755466,
                            0.056088919693174213, 0.7483756503745409, 0.41359409644634765};
    for (double v : first) EXPECT_EQ(g.NextUniform(), v);
    RandomGenerator k;
    const int32_t ints[] = {274, 569, 325, 56, 748, 413};
    for (int32_t v : ints) EXPECT_EQ(k.RandomInt(0, 1000), v);

    RandomGenerator h;
    Reference ref;
    for (int i = 0; i < 20000; ++i) {
        const double v = h.NextUniform();
        ASSERT_EQ(v, ref.Next()) << i;
        ASSERT_GE(v, 0.0);
        ASSERT_LT(v, 1.0);
    }
}

TEST(RandomGenerator, RandomIntStaysWithinItsBounds)
{
    RandomGenerator g;
    Reference ref;
    // The integers are the uniform draws scaled onto [a, b), truncated toward zero and
    // kept below b (a negative value can truncate up to b).
    for (int i = 0; i < 1000; ++i) {
        const int32_t a = -50 + i % 7, b = a + 1 + i % 100;
        const int32_t v = g.RandomInt(a, b);
        EXPECT_EQ(v, std::min(int32_t(a + (b - a) * ref.Next()), b - 1));
        EXPECT_GE(v, a);
        EXPECT_LT(v, b);
    }
    // Empty and reversed ranges give b - 1 (and still draw).
    EXPECT_EQ(g.RandomInt(5, 5), 4);
    EXPECT_EQ(g.RandomInt(300, 10), 9);
    EXPECT_EQ(g.RandomInt(INT32_MAX, INT32_MIN + 1), INT32_MIN);
    // The widest range does not overflow.
    for (int i = 0; i < 100; ++i) {
        const int32_t v = g.RandomInt(INT32_MIN, INT32_MAX);
        EXPECT_LT(v, INT32_MAX);
    }
    // Every value of a small range comes up.
    std::vector<int> seen(10);
    for (int i = 0; i < 2000; ++i) ++seen[size_t(g.RandomInt(0, 10))];
    for (int n : seen) EXPECT_GT(n, 0);
}

TEST(RandomGenerator, ProcessGeneratorIsOneObject)
{
    EXPECT_EQ(&GetRandomGenerator(), &GetRandomGenerator());
}

TEST(RandomGenerator, ConcurrentDrawsShareOneSequence)
{
    // Four threads draw from one generator: together they take exactly the values of
    // the sequence (as a multiset), none lost or repeated by a race.
    RandomGenerator g;
    constexpr int kThreads = 4, kEach = 5000;
    std::vector<std::vector<int32_t>> got(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&g, &got, t] {
            for (int i = 0; i < kEach; ++i) got[size_t(t)].push_back(g.RandomInt(0, 1 << 30));
        });
    for (std::thread& t : threads) t.join();
    std::vector<int32_t> all, expected;
    for (auto& v : got) all.insert(all.end(), v.begin(), v.end());
    Reference ref;
    for (int i = 0; i < kThreads * kEach; ++i) expected.push_back(int32_t((1 << 30) * ref.Next()));
    std::sort(all.begin(), all.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(all, expected);
}
