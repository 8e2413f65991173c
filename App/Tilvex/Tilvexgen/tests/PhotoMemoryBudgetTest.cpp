// The painting workers' memory budget: reservations that fit run together, one that
// does not waits, one larger than the budget runs alone, and turns are kept in order
// (a large one is not passed by small ones that came later). Waiting is observed
// through the budget's count of waiters, never through time.
#include "Tilvex/Tilvexgen/PhotoMemoryBudget.h"
#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

using namespace vorn;

namespace {

// Until the budget has n waiters (20 s at most, so that a fault fails, not hangs).
bool WaitForWaiters(const PhotoMemoryBudget& budget, int32_t n)
{
    for (int i = 0; i < 20000 && budget.GetWaiting() != n; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return budget.GetWaiting() == n;
}

} // namespace

TEST(PhotoMemoryBudget, PaintingBytesAreTheBitmapRowsAndTheTiles)
{
    EXPECT_EQ(PhotoPaintingBytes(1, 1, 0), 4);
    EXPECT_EQ(PhotoPaintingBytes(300, 200, 2), 900 * 200 + 2 * 196608);
    EXPECT_EQ(PhotoPaintingBytes(37000, 37000, 145 * 145), int64_t(111000) * 37000 + int64_t(145 * 145) * 196608);
}

TEST(PhotoMemoryBudget, ReservationsThatFitRunTogether)
{
    PhotoMemoryBudget budget(100);
    budget.Reserve(60);
    budget.Reserve(40);
    EXPECT_EQ(budget.GetReserved(), 100);
    EXPECT_EQ(budget.GetWaiting(), 0);
    budget.Release(60);
    budget.Release(40);
    EXPECT_EQ(budget.GetReserved(), 0);
}

// A large reservation waits until the budget is empty and then runs alone; a small one
// that comes after it waits behind it although it would fit. On a failure the threads
// are left behind (detached, with the state they share) rather than waited for.
TEST(PhotoMemoryBudget, LargeReservationsTakeTurnsInOrder)
{
    struct Shared {
        PhotoMemoryBudget budget{100};
        std::atomic<bool> largeIn{false}, smallIn{false};
    };
    auto sh = std::make_shared<Shared>();
    PhotoMemoryBudget& budget = sh->budget;
    budget.Reserve(30);
    std::thread large([sh] {
        sh->budget.Reserve(250);
        sh->largeIn = true;
    });
    std::thread small;
    auto leave = [&] {
        large.detach();
        if (small.joinable()) small.detach();
    };
    if (!WaitForWaiters(budget, 1)) return leave(), void(ADD_FAILURE() << "the large reservation did not wait");
    small = std::thread([sh] {
        sh->budget.Reserve(10);
        sh->smallIn = true;
    });
    if (!WaitForWaiters(budget, 2)) return leave(), void(ADD_FAILURE() << "the small one passed the large one");
    EXPECT_FALSE(sh->largeIn);
    EXPECT_FALSE(sh->smallIn);
    EXPECT_EQ(budget.GetReserved(), 30);

    budget.Release(30);
    large.join();
    EXPECT_TRUE(sh->largeIn);
    EXPECT_EQ(budget.GetReserved(), 250);
    if (!WaitForWaiters(budget, 1)) return leave(), void(ADD_FAILURE() << "ran beside a reservation larger than the budget");
    EXPECT_FALSE(sh->smallIn);

    budget.Release(250);
    small.join();
    EXPECT_TRUE(sh->smallIn);
    EXPECT_EQ(budget.GetReserved(), 10);
    budget.Release(10);
}

// What the photos may take: what each limit leaves beside the process's footprint, the
// least of them; one photo at most half of that; the budget of the workers never more
// than that half (two photos that each fit do not together exceed it).
TEST(PhotoMemoryBudget, LimitsLeaveHalfOfWhatIsLeftToOnePhoto)
{
    constexpr uint64_t MiB = uint64_t(1) << 20, None = UINT64_MAX;
    struct Case {
        uint64_t as, data, physical, usedAs, usedData, resident, left;
    } cases[] = {
        {None, None, 0, 0, 0, 0, None},                       // nothing known
        {None, None, 16384 * MiB, 900 * MiB, 0, 100 * MiB, 16284 * MiB}, // the machine's memory
        {512 * MiB, None, 16384 * MiB, 200 * MiB, 0, 50 * MiB, 312 * MiB}, // the address space, footprint counted
        {None, 128 * MiB, 16384 * MiB, 900 * MiB, 40 * MiB, 50 * MiB, 88 * MiB}, // the data limit
        {256 * MiB, None, 0, 300 * MiB, 0, 0, 0},             // already beyond
    };
    for (const Case& c : cases) {
        MemorySituation m;
        m.addressSpaceLimit = c.as;
        m.dataLimit = c.data;
        m.physical = c.physical;
        m.used.addressSpace = c.usedAs;
        m.used.data = c.usedData;
        m.used.resident = c.resident;
        EXPECT_EQ(MemoryLeftForPhotos(m), c.left) << c.as << " " << c.data << " " << c.physical;
    }
    EXPECT_EQ(LargestPhotoBytes(UINT64_MAX), INT64_MAX);
    EXPECT_EQ(LargestPhotoBytes(312 * MiB), int64_t(156 * MiB));
    EXPECT_EQ(PhotoBudgetCapacity(LargestPhotoBytes(312 * MiB)), int64_t(156 * MiB));
    EXPECT_EQ(PhotoBudgetCapacity(LargestPhotoBytes(16284 * MiB)), kPhotoMemoryBudget);
    // A file holds at most kMaxPixelsPerFileByte pixels a byte: 24,857 bytes cannot
    // hold 20000 x 20000.
    EXPECT_FALSE(PhotoFileCanHold(24857, 20000, 20000));
    EXPECT_TRUE(PhotoFileCanHold(250000, 20000, 20000 / 10));
    EXPECT_TRUE(PhotoFileCanHold(0, 0, 0));
}
