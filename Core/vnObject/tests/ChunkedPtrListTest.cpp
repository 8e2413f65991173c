#include "vnObject/ChunkedPtrList.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <vector>

using namespace vorn;

namespace {

AnyInterface P(intptr_t i) { return AnyInterface{reinterpret_cast<void*>(i), nullptr}; }

std::vector<intptr_t> Contents(ChunkedPtrList& l)
{
    std::vector<intptr_t> v;
    l.ForEach([&](AnyInterface& p) { v.push_back(reinterpret_cast<intptr_t>(p.m_object)); });
    std::sort(v.begin(), v.end());
    return v;
}

// Splicing moves every pair, whatever the fill of either list's last block, and keeps
// every block but the first and the last full so that later appends and pops stay
// correct.
TEST(ChunkedPtrList, SpliceMovesEveryPair)
{
    for (int a : {0, 5, 1024, 1500}) {
        for (int b : {0, 1, 1024, 2500}) {
            SCOPED_TRACE(testing::Message() << a << " + " << b);
            ChunkedPtrList la, lb;
            std::vector<intptr_t> expect;
            for (int i = 0; i < a; ++i) la.Append(P(i + 1)), expect.push_back(i + 1);
            for (int i = 0; i < b; ++i) lb.Append(P(100000 + i)), expect.push_back(100000 + i);
            la.Splice(lb);
            EXPECT_TRUE(lb.Empty());
            EXPECT_EQ(lb.First(), nullptr);
            EXPECT_EQ(la.Count(), a + b);
            std::sort(expect.begin(), expect.end());
            EXPECT_EQ(Contents(la), expect);
            for (auto* blk = la.First() ? la.First()->next : nullptr; blk && blk != la.Last(); blk = blk->next)
                EXPECT_EQ(blk->Count(), ChunkedPtrList::kBlockEntries);
            // Popping walks back across the blocks and frees them.
            int64_t popped = 0;
            while (!la.Empty()) la.PopBack(), ++popped;
            EXPECT_EQ(popped, a + b);
            EXPECT_EQ(la.First(), nullptr);
        }
    }
}

} // namespace
