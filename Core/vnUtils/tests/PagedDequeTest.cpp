#include "vnUtils/PagedDeque.h"
#include <gtest/gtest.h>
#include <deque>
#include <random>

using namespace vorn;

namespace {

// The {object, table} pair the framework queues.
struct Pair {
    void* object;
    const void* table;
    bool operator==(const Pair& o) const { return object == o.object && table == o.table; }
};
static_assert(sizeof(Pair) == 16);

using IntDeque = PagedDeque<uint64_t>;

// The linking and counting invariants, and the contents against a model.
template <class T>
void ExpectMatches(const PagedDeque<T>& d, const std::deque<T>& model)
{
    ASSERT_EQ(d.Size(), int32_t(model.size()));
    if (model.empty()) {
        EXPECT_EQ(d.FirstPage(), nullptr);
        EXPECT_EQ(d.LastPage(), nullptr);
        return;
    }
    ASSERT_NE(d.FirstPage(), nullptr);
    EXPECT_EQ(d.FirstPage()->prev, nullptr);
    EXPECT_EQ(d.LastPage()->next, nullptr);
    int32_t sum = 0;
    const auto* last = d.FirstPage();
    for (const auto* p = d.FirstPage(); p != nullptr; p = p->next) {
        ASSERT_LT(p->begin, p->end) << "empty page in the list";
        ASSERT_GE(p->begin, 0);
        ASSERT_LE(p->end, IntDeque::kPageEntries);
        if (p->next != nullptr) {
            ASSERT_EQ(p->next->prev, p);
        }
        sum += p->Count();
        last = p;
    }
    EXPECT_EQ(last, d.LastPage());
    EXPECT_EQ(sum, d.Size());
    size_t i = 0;
    for (auto it = d.Begin(); it != d.End(); ++it, ++i) {
        ASSERT_EQ(it.ordinal, int32_t(i));
        ASSERT_EQ(*it, model[i]) << "at " << i;
    }
    EXPECT_EQ(i, model.size());
}

void FillSequential(IntDeque& d, std::deque<uint64_t>& model, int n, uint64_t base)
{
    for (int i = 0; i < n; ++i) {
        d.PushBack(base + uint64_t(i));
        model.push_back(base + uint64_t(i));
    }
}

} // namespace

TEST(PagedDeque, PushingFillsOnePageThenAddsTheNext)
{
    IntDeque d;
    EXPECT_EQ(d.Begin(), d.End());
    EXPECT_EQ(d.End().page, nullptr);
    EXPECT_EQ(d.End().index, -1);
    std::deque<uint64_t> model;
    FillSequential(d, model, 512, 0);
    EXPECT_EQ(d.GetNumPages(), 1);
    EXPECT_EQ(d.FirstPage()->begin, 0);
    EXPECT_EQ(d.FirstPage()->end, 512);
    d.PushBack(512);
    model.push_back(512);
    EXPECT_EQ(d.GetNumPages(), 2);
    ExpectMatches(d, model);
    EXPECT_EQ(d.Back(), 512u);
    EXPECT_EQ(d.Front(), 0u);
    EXPECT_EQ(d.At(300), 300u);
}

TEST(PagedDeque, APoppedPageBecomesTheSpareAndIsReused)
{
    IntDeque d;
    d.PushBack(1);
    const auto* page = d.FirstPage();
    d.PopBack();
    EXPECT_TRUE(d.IsEmpty());
    EXPECT_EQ(d.FirstPage(), nullptr);
    EXPECT_EQ(d.SparePage(), page);
    d.PushBack(2);
    EXPECT_EQ(d.FirstPage(), page);
    EXPECT_EQ(d.SparePage(), nullptr);
    EXPECT_EQ(page->prev, nullptr);
    EXPECT_EQ(page->next, nullptr);

    // Popping across a page boundary frees the emptied page into the spare slot.
    std::deque<uint64_t> model;
    d.Clear();
    FillSequential(d, model, 513, 0);
    d.PopBack();
    model.pop_back();
    EXPECT_EQ(d.GetNumPages(), 1);
    EXPECT_NE(d.SparePage(), nullptr);
    ExpectMatches(d, model);
}

TEST(PagedDeque, ClearKeepsExactlyOneSpare)
{
    IntDeque d;
    std::deque<uint64_t> model;
    FillSequential(d, model, 3 * 512, 0);
    ASSERT_EQ(d.GetNumPages(), 3);
    ASSERT_EQ(d.SparePage(), nullptr);
    const auto* first = d.FirstPage();
    d.Clear();
    EXPECT_EQ(d.SparePage(), first); // the first page released is kept; the rest are freed
    ExpectMatches(d, {});
    d.Clear();
    EXPECT_EQ(d.SparePage(), first);
}

TEST(PagedDeque, AppendingAfterAPartPageAddsARunOfPages)
{
    IntDeque d, src;
    std::deque<uint64_t> model, srcModel;
    FillSequential(d, model, 10, 0);
    FillSequential(src, srcModel, 1000, 10);
    const auto* old = d.FirstPage();
    d.InsertRange(d.End(), src.Begin(), src.End());
    model.insert(model.end(), srcModel.begin(), srcModel.end());
    ASSERT_EQ(d.GetNumPages(), 3);
    EXPECT_EQ(d.FirstPage(), old);
    EXPECT_EQ(old->begin, 0);
    EXPECT_EQ(old->end, 10); // the 502 free slots of the old page stay empty
    EXPECT_EQ(old->next->Count(), 488);
    EXPECT_EQ(old->next->next->Count(), 512);
    ExpectMatches(d, model);
    ExpectMatches(src, srcModel); // the source is untouched
}

TEST(PagedDeque, ResizeShrinksFreeingEmptiedPagesAndGrowsWithZeros)
{
    IntDeque d;
    std::deque<uint64_t> model;
    FillSequential(d, model, 700, 1);
    d.Resize(100);
    model.resize(100);
    EXPECT_EQ(d.GetNumPages(), 1);
    ExpectMatches(d, model);
    d.Resize(1200);
    model.resize(1200, 0);
    ExpectMatches(d, model);
    d.Resize(0);
    ExpectMatches(d, {});
    d.Resize(0);
    EXPECT_EQ(d.FirstPage(), nullptr);

    PagedDeque<Pair> pairs;
    pairs.Resize(3);
    EXPECT_EQ(pairs.At(2), (Pair{nullptr, nullptr}));
}

TEST(PagedDeque, ZeroEntryInsertsDoNothing)
{
    IntDeque empty, src;
    empty.InsertRange(empty.End(), src.Begin(), src.End());
    EXPECT_EQ(empty.FirstPage(), nullptr);
    EXPECT_EQ(empty.SparePage(), nullptr);
    src.PushBack(5);
    empty.InsertRange(empty.End(), src.Begin(), src.Begin());
    EXPECT_EQ(empty.FirstPage(), nullptr);
    EXPECT_EQ(empty.Size(), 0);
    auto at = empty.EraseRange(empty.Begin(), empty.End());
    EXPECT_EQ(at, empty.End());
}

TEST(PagedDeque, MovingAWholeDequeTakesItsPagesAndLeavesTheSpare)
{
    IntDeque src, dst;
    std::deque<uint64_t> model, other;
    FillSequential(src, model, 1500, 100);
    for (int i = 0; i < 476; ++i) { // empties the third page: it becomes src's spare
        src.PopBack();
        model.pop_back();
    }
    FillSequential(dst, other, 700, 0);
    ASSERT_NE(src.SparePage(), nullptr);
    const auto* srcSpare = src.SparePage();
    const auto* srcFirst = src.FirstPage();

    dst = std::move(src); // dst's own pages must not leak
    EXPECT_EQ(dst.FirstPage(), srcFirst);
    EXPECT_NE(dst.SparePage(), nullptr);
    EXPECT_EQ(src.SparePage(), srcSpare);
    ExpectMatches(dst, model);
    ExpectMatches(src, {});

    IntDeque taken(std::move(dst));
    ExpectMatches(taken, model);
    ExpectMatches(dst, {});
    IntDeque copy(taken);
    ExpectMatches(copy, model);
}

TEST(PagedDeque, AdvanceStepsAcrossPagesBothWays)
{
    IntDeque d, src;
    std::deque<uint64_t> model, srcModel;
    FillSequential(d, model, 40, 0);
    FillSequential(src, srcModel, 1300, 1000);
    // Pages of uneven fill: insert in the middle, then erase parts.
    d.InsertRange(d.Advance(d.Begin(), 20), src.Begin(), src.End());
    model.insert(model.begin() + 20, srcModel.begin(), srcModel.end());
    d.EraseRange(d.Advance(d.Begin(), 600), d.Advance(d.Begin(), 650));
    model.erase(model.begin() + 600, model.begin() + 650);
    ExpectMatches(d, model);
    const int32_t n = d.Size();
    std::mt19937 rng(11);
    for (int i = 0; i < 500; ++i) {
        const int32_t a = int32_t(rng() % uint32_t(n));
        const int32_t b = int32_t(rng() % uint32_t(n + 1));
        auto pa = d.Advance(d.Begin(), a);
        ASSERT_EQ(*pa, model[size_t(a)]);
        auto pb = d.Advance(pa, b - a);
        ASSERT_EQ(pb.ordinal, b);
        if (b < n) {
            ASSERT_EQ(*pb, model[size_t(b)]);
        } else {
            ASSERT_EQ(pb.index, d.End().index);
        }
    }
    auto back = d.Advance(d.End(), -n);
    EXPECT_EQ(back.page, d.Begin().page);
    EXPECT_EQ(back.index, d.Begin().index);
}

TEST(PagedDeque, RandomInsertsAndErasesMatchAStdDeque)
{
    std::mt19937 rng(2024);
    IntDeque d;
    std::deque<uint64_t> model;
    uint64_t next = 1;
    auto pick = [&](int32_t upTo) { return int32_t(rng() % uint32_t(upTo + 1)); };
    for (int step = 0; step < 3000; ++step) {
        const uint32_t op = rng() % 100;
        const int32_t size = d.Size();
        if (op < 35) {
            const int n = int(rng() % (rng() % 4 == 0 ? 1200 : 20));
            for (int i = 0; i < n; ++i) {
                d.PushBack(next);
                model.push_back(next++);
            }
        } else if (op < 45) {
            for (int i = int(rng() % 600); i > 0 && !model.empty(); --i) {
                d.PopBack();
                model.pop_back();
            }
        } else if (op < 70) {
            IntDeque src;
            std::deque<uint64_t> srcModel;
            const int n = int(rng() % (rng() % 3 == 0 ? 1500 : 40));
            FillSequential(src, srcModel, n, next);
            next += uint64_t(n);
            // Sometimes only part of the source.
            const int32_t s0 = pick(n);
            const int32_t s1 = s0 + pick(n - s0);
            const int32_t at = pick(size);
            auto pos = d.InsertRange(d.Advance(d.Begin(), at), src.Advance(src.Begin(), s0), src.Advance(src.Begin(), s1));
            model.insert(model.begin() + at, srcModel.begin() + s0, srcModel.begin() + s1);
            if (s1 > s0) {
                ASSERT_EQ(*pos, model[size_t(at)]);
            }
        } else if (op < 92) {
            const int32_t a = pick(size);
            const int32_t b = a + pick(rng() % 2 ? std::min(size - a, 30) : size - a);
            auto after = d.EraseRange(d.Advance(d.Begin(), a), d.Advance(d.Begin(), b));
            model.erase(model.begin() + a, model.begin() + b);
            ASSERT_EQ(after.ordinal, a);
            if (a < int32_t(model.size())) {
                ASSERT_EQ(*after, model[size_t(a)]);
            } else {
                ASSERT_EQ(after, d.End());
            }
        } else if (op < 97) {
            const int32_t n = pick(size + 700);
            d.Resize(n);
            model.resize(size_t(n), 0);
        } else {
            d.Clear();
            model.clear();
            ASSERT_NE(d.SparePage(), nullptr);
        }
        ASSERT_NO_FATAL_FAILURE(ExpectMatches(d, model)) << "step " << step;
    }
}
