#include "TestObjects.h"
#include "vnObject/CSpace.h"
#include "vnObject/CSpaceStack.h"
#include "vnPlatform/Thread.h"
#include <gtest/gtest.h>
#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

using namespace vorn;
using namespace vorn::test;

namespace {

TEST(CollectorThread, WaitForGarbageCollectAndSynchronousGc)
{
    g_counts.Reset();
    CSpace* idle = CreateCSpace2(false);
    EXPECT_FALSE(idle->WaitForGarbageCollect());
    NewNode(idle);
    idle->SynchronousGc();
    EXPECT_EQ(idle->GetTotalNumCompletedGcs(), 1u);
    EXPECT_EQ(g_counts.destroyed, 1);
    idle->Destroy();

    CSpace* space = CreateCSpace2(false);
    space->SetMilliSecsPerGc(1);
    EXPECT_EQ(space->GetMilliSecsPerGc(), 1);
    space->StartGc();
    EXPECT_TRUE(space->IsGcRunning());
    NewNode(space);
    // The collector runs passes of its own; the object goes without our help.
    while (g_counts.destroyed < 2) ASSERT_TRUE(space->WaitForGarbageCollect());
    space->StopGc();
    EXPECT_GE(space->GetTotalNumCompletedGcs(), 1u); // the pass has ended with the thread
    EXPECT_FALSE(space->IsGcRunning());
    EXPECT_FALSE(space->WaitForGarbageCollect());
    space->StartGc(); // starts again after a stop
    EXPECT_TRUE(space->IsGcRunning());
    space->Destroy();
}

// The collector thread is named; a replacement body runs instead of the loop.
TEST(CollectorThread, NamedThreadAndReplacementBody)
{
    struct Seen {
        char name[32] = {};
        CSpace* space = nullptr;
    } seen;
    GCThreadFn fn{&seen, [](void* object, CSpace* space) {
                      auto* s = static_cast<Seen*>(object);
                      GetCurrentThreadName(s->name, sizeof s->name);
                      s->space = space;
                  }};
    CSpace* space = CreateCSpace(true, fn);
    space->StopGc();
    EXPECT_STREQ(seen.name, "Garbage Collect"); // what the kernel keeps of "Garbage Collector"
    EXPECT_EQ(seen.space, space);
    space->Destroy();
}

// StopGc from the collector's own pass returns at once; the thread ends after the pass.
TEST(CollectorThread, StopFromTheCollectorItself)
{
    g_counts.Reset();
    CSpace* space = CreateCSpace2(false);
    space->SetMilliSecsPerGc(-1);
    std::atomic<int> stops{0};
    Node* n = NewNode(space);
    n->onGc = [&](Node&) {
        space->StopGc();
        ++stops;
    };
    space->StartGc();
    while (space->IsGcRunning()) SleepMilliseconds(1);
    space->Destroy(); // joins the thread that stopped itself
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(g_counts.live, 0);
}

// An exception out of an object's trace does not end the collector thread.
TEST(CollectorThread, SurvivesFailingPasses)
{
    g_counts.Reset();
    CSpace* space = CreateCSpace2(false);
    Node* root = NewNode(space);
    {
        CSpaceLock lock(space);
        space->AddGcRoot(root->Any());
    }
    std::atomic<int> failures{0};
    root->onVisit = [&](Node&, IObjectVisitor&) {
        if (failures < 3) {
            ++failures;
            throw std::runtime_error("trace failed");
        }
    };
    space->SetMilliSecsPerGc(-1);
    space->StartGc();
    while (space->GetTotalNumCompletedGcs() < 2) SleepMilliseconds(1);
    EXPECT_EQ(failures, 3);
    EXPECT_TRUE(space->IsGcRunning());
    space->Destroy();
    EXPECT_EQ(g_counts.live, 0);
}

// Stopping the collector while holding the space lock, with the collector waiting for
// that lock, must not deadlock.
TEST(CollectorThread, StopWhileHoldingTheSpaceLock)
{
    CSpace* space = CreateCSpace2(false);
    space->SetMilliSecsPerGc(-1);
    for (int round = 0; round < 20; ++round) {
        space->StartGc();
        space->Lock(LOCK_EXCLUSIVE);
        SleepMilliseconds(1); // let the collector reach the lock
        space->StopGc();
        space->Unlock();
    }
    space->Destroy();
}

// Mutators create, link, unlink and push objects under the space lock while the
// collector runs back to back; canaries catch any object freed while reachable.
TEST(CollectorThread, MutatorsRaceTheCollector)
{
    g_counts.Reset();
    CSpace* space = CreateCSpace2(false);
    space->SetMilliSecsPerGc(-1);
    space->SetEvictionThreshold(4096);
    Node* root = NewNode(space);
    {
        CSpaceLock lock(space);
        space->AddGcRoot(root->Any());
    }
    space->StartGc();
    constexpr int kThreads = 4;
    constexpr int kSteps = 3000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            RestoreThreadCSpace restore(space);
            std::mt19937 rng(uint32_t(t + 1));
            Node* mine = nullptr;
            {
                CSpaceLock lock(space);
                mine = NewNode(space);
                root->strong.push_back(mine->Any());
            }
            OpenCSpaceStack();
            for (int i = 0; i < kSteps; ++i) {
                CSpaceLock lock(space);
                mine->Check();
                Node* n = NewNode(space, i);
                SetEvictableObjectSizeInBytes(n->Any(), 64);
                switch (rng() % 5) {
                case 0: mine->strong.push_back(n->Any()); break;
                case 1: mine->weak.push_back(n->Any()); break;
                case 2: CSpaceStack_Push(n->Any()); break;
                case 3:
                    if (!mine->strong.empty()) mine->strong.erase(mine->strong.begin());
                    break;
                default: break; // garbage at once
                }
                for (const AnyInterface& s : mine->strong) NodeOf(s)->Check();
                for (const AnyInterface& w : mine->weak)
                    if (!w.IsNull()) NodeOf(w)->Check();
                if (i % 100 == 99) CSpaceStack_Pop(int32_t(GetThreadCSpaceStack()->Count()));
                if (i % 500 == 0) SetTouched(mine->Any());
                if (i % 50 == 0) {
                    EXPECT_GT(space->GetNumObjects(), 0);
                }
            }
            CloseCSpaceStack();
        });
    }
    for (auto& th : threads) th.join();
    space->StopGc();
    space->SynchronousGc();
    EXPECT_GT(g_counts.destroyed, 0);
    EXPECT_GE(space->GetTotalNumCompletedGcs(), 1u);
    space->Destroy();
    EXPECT_EQ(g_counts.live, 0);
}

} // namespace
