#include "vnReflection/ObjectPairs.h"
#include <gtest/gtest.h>
#include <vector>

using namespace vorn;

namespace {

struct RecordingVisitor : IObjectVisitor {
    std::vector<AnyInterface> strong;
    int weak = 0;
    void VisitStrong(AnyInterface ref) override { strong.push_back(ref); }
    void VisitWeak(AnyInterface&) override { ++weak; }
};

// Pairs are appended at the end, growing by the append rule, and visited in that order
// as strong references.
TEST(ObjectPairs, AppendedInOrderAndVisitedAsStrongReferences)
{
    int objects[4];
    const int tables[4] = {};
    xvector<AnyInterface> pairs;
    RecordingVisitor none;
    VisitObjectPairs(pairs, none);
    EXPECT_TRUE(none.strong.empty());

    const int32_t capacities[] = {1, 3, 3, 7};
    for (int i = 0; i < 4; ++i) {
        AppendObjectPair(pairs, AnyInterface{&objects[i], &tables[i]});
        EXPECT_EQ(pairs.capacity(), capacities[i]);
    }
    RecordingVisitor v;
    VisitObjectPairs(pairs, v);
    ASSERT_EQ(v.strong.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(v.strong[size_t(i)].m_object, &objects[i]);
        EXPECT_EQ(v.strong[size_t(i)].m_table, &tables[i]);
    }
    EXPECT_EQ(v.weak, 0);
}

} // namespace
