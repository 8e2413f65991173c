// Memory running out at any allocation, in the manner of SQLite's out-of-memory tests:
// each scenario is run once with the allocations counted, then again and again with the
// Nth one failing (std::bad_alloc from operator new, null from the framework heap), for
// N = 1, 2, 3 ... (with a stride when there are many) until a run completes without
// meeting the failure. Every run must end by itself (a watchdog fails a hang) with an
// error or with success, never abort; afterwards every lock must be free (the check
// runs on a thread of its own, which would wait for a lock left held) and the store must
// open again with everything that was committed before the failure.
//
// Counted first are the allocations of the scenario's own thread (repeatable: each N
// fails the same allocation on every run), then those of every thread (the store's
// background threads, the collector, the writer, the painting workers: which one fails
// varies, but each must end as cleanly).
#include "vnUtils/tests/faults/AllocationFailure.h"
#include "Tilvex/Model/ModelTransaction.h"
#include "Tilvex/Model/Tilvex.h"
#include "Tilvex/Model/TilvexStoreSettings.h"
#include "Tilvex/Tilvexgen/Entry.h"
#include "vnImage/Jpeg.h"
#include "vnImage/ResDIB.h"
#include "vnLss/LSS.h"
#include "vnLss/LssInterfaces.h"
#include "vnLss/tests/LssClientTestUtil.h"
#include "vnObject/CSpace.h"
#include "vnPersistStore/PSpace.h"
#include "vnPersistStore/PersistStore.h"
#include "vnPersistStore/PersistStoreTxn.h"
#include "vnPersistStore/SpaceOperations.h"
#include "vnPersistStore/ThreadPSpaceGuard.h"
#include <gtest/gtest.h>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>

namespace vorn::test {
namespace {

namespace fs = std::filesystem;

// Ends the process when a run makes no progress for this long: only a hang takes it.
constexpr int kHangSeconds = 180;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Runs take about ten times as long under a sanitizer: about every tenth allocation is
// failed.
constexpr int32_t kRunsDivisor = 10;
#else
constexpr int32_t kRunsDivisor = 1;
#endif

// The watchdog of the whole program: each run reports its start; a run that has not
// ended kHangSeconds later is a hang.
class RunWatchdog {
public:
    RunWatchdog()
    {
        m_thread = std::thread([this] {
            NotCounted quiet;
            std::unique_lock<std::mutex> l(m_lock);
            for (;;) {
                const uint64_t seen = m_runs;
                if (m_changed.wait_for(l, std::chrono::seconds(kHangSeconds), [&] { return m_done || m_runs != seen; })) {
                    if (m_done) return;
                    continue;
                }
                std::fprintf(stderr, "\nWATCHDOG: %s hung with allocation %lld failing\n", m_what.c_str(),
                             static_cast<long long>(m_n));
                std::fflush(stderr);
                std::_Exit(3);
            }
        });
    }
    ~RunWatchdog()
    {
        {
            std::lock_guard<std::mutex> l(m_lock);
            m_done = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }
    void Starting(const std::string& what, int64_t n)
    {
        std::lock_guard<std::mutex> l(m_lock);
        m_what = what;
        m_n = n;
        ++m_runs;
        m_changed.notify_all();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    uint64_t m_runs = 0;
    bool m_done = false;
    std::string m_what;
    int64_t m_n = 0;
    std::thread m_thread;
};

RunWatchdog& Watchdog()
{
    static RunWatchdog w;
    return w;
}

// Runs f on a thread of its own and waits for it: a lock that the failed run left
// held by this thread makes it wait (and the watchdog ends the hang).
void OnAnotherThread(const std::function<void()>& f)
{
    std::thread t(f);
    t.join();
}

std::string Str(const xstring& s) { return std::string(s.data(), size_t(s.size())); }

struct SweepFigures {
    int64_t counted = 0; // allocations the run without failure made in the scope
    int32_t runs = 0;    // runs that met their failure
    int32_t completed = 0; // of them, runs that still completed
};

// One scenario: prepare (not counted) makes its starting state; run does the work and
// returns whether it completed (an exception must not leave it: it catches, cleans up
// and returns false); check (not counted, on another thread) looks at what it left,
// knowing whether it completed.
struct Scenario {
    std::string name;
    std::function<void()> prepare;
    std::function<bool()> run;
    std::function<void(bool completed)> check;
};

// With burst > 1 the failing allocation is followed by burst - 1 more failing ones:
// then a failure path that allocates (a report, an undo, a destructor that traces)
// meets a failure of its own while the first one is passing.
SweepFigures Sweep(const Scenario& s, FaultScope scope, int32_t maxRuns, int32_t burst = 1)
{
    const std::string scopeName = std::string(scope == FaultScope::ThisThread ? "its own thread" : "all threads") +
                                  (burst > 1 ? ", " + std::to_string(burst) + " failing in a row" : "");
    SweepFigures fig;
    const auto started = std::chrono::steady_clock::now();
    // A first run makes what a process makes once (registrations, thread state), so
    // that the runs counted and failed all start alike.
    s.prepare();
    Watchdog().Starting(s.name + " (warming up)", 0);
    EXPECT_TRUE(s.run()) << s.name << ": fails without an allocation failing";
    OnAnotherThread([&] { s.check(true); });
    if (::testing::Test::HasFailure()) return fig;
    s.prepare();
    Watchdog().Starting(s.name + " (counting)", 0);
    ArmAllocationFailure(scope, 0);
    const bool completed = s.run();
    fig.counted = DisarmAllocationFailure();
    EXPECT_TRUE(completed) << s.name << ": fails without an allocation failing";
    OnAnotherThread([&] { s.check(completed); });
    if (::testing::Test::HasFailure()) return fig;
    const int64_t stride = std::max<int64_t>(1, fig.counted / std::max(1, maxRuns / kRunsDivisor));
    // VORN_FAULT_AT=N runs (and names) from allocation N on: to look at one failure.
    const char* at = std::getenv("VORN_FAULT_AT");
    for (int64_t n = at ? std::atoll(at) : 1;; n += stride) {
        if (at) std::fprintf(stderr, "%s: allocation %lld failing\n", s.name.c_str(), static_cast<long long>(n));
        s.prepare();
        Watchdog().Starting(s.name, n);
        ArmAllocationFailure(scope, n, burst);
        bool done = false;
        try {
            done = s.run();
        } catch (...) {
            DisarmAllocationFailure();
            ADD_FAILURE() << s.name << ": an exception left the scenario's clean-up";
        }
        DisarmAllocationFailure();
        const bool met = InjectedFailures() > 0;
        OnAnotherThread([&] { s.check(done); });
        if (::testing::Test::HasFailure()) {
            ADD_FAILURE() << s.name << " (counted on " << scopeName << "): allocation " << n << " failing";
            return fig;
        }
        if (!met) break;
        ++fig.runs;
        if (done) ++fig.completed;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%s, counted on %s: %lld allocations, %d runs met their failure (stride %lld), %d of them "
                "completed; %.1f s\n",
                s.name.c_str(), scopeName.c_str(), static_cast<long long>(fig.counted), fig.runs,
                static_cast<long long>(stride), fig.completed, seconds);
    std::fflush(stdout);
    return fig;
}

// ---------------------------------------------------------------------------------
// Store writes, a check point and a recovery

constexpr SeidHigh kHigh = 0x01010101u;
constexpr int32_t kBaseElements = 12;
constexpr int32_t kNewElements = 8;

Seid ElementSeid(int32_t i) { return Seid(kSeidCounterStart + uint32_t(i), kHigh); }
std::vector<uint8_t> ElementBytes(int32_t i) { return Pattern(size_t(200 + 90 * i), uint32_t(i + 7)); }

// The element versions that the run committed: i < g_committed is the new version.
int32_t g_committed = 0;

class LssScenario {
public:
    LssScenario()
    {
        // The starting store: elements committed and flushed, the bytes taken while the
        // store is open, so that opening them recovers.
        auto d = std::make_shared<SharedBytes>();
        ILogStructuredStore* lss = OpenSharedStore(d, Settings());
        EXPECT_EQ(lss->AllocateSeidHigh(), kHigh);
        for (int32_t i = 0; i < kBaseElements; ++i) WriteElement(lss, ElementSeid(i), ElementBytes(i), true);
        m_base = d->Copy();
        lss->Close();
    }

    Scenario Get()
    {
        return Scenario{"store writes, a check point and a recovery", [this] { Prepare(); }, [this] { return Run(); },
                        [this](bool completed) { Check(completed); }};
    }

private:
    static LssSettings Settings()
    {
        LssSettings s = SmallSettings(4096);
        s.m_numSegmentsPerCheckPoint = 4;
        return s;
    }

    void Prepare()
    {
        m_bytes = std::make_shared<SharedBytes>();
        m_bytes->m_bytes = m_base;
        g_committed = 0;
    }

    bool Run()
    {
        ILogStructuredStore* lss = nullptr;
        try {
            lss = OpenSharedStore(m_bytes, Settings());
            for (int32_t i = 0; i < kNewElements; ++i) {
                WriteElement(lss, ElementSeid(i), ElementBytes(i + 100), true);
                g_committed = i + 1;
                if (i == kNewElements / 2) static_cast<LSS*>(lss)->CheckPointWithNewId();
            }
            ILogStructuredStore* open = lss;
            lss = nullptr;
            open->Close();
            return true;
        } catch (...) {
            if (lss) lss->Close();
            return false;
        }
    }

    void Check(bool completed)
    {
        auto d = std::make_shared<SharedBytes>();
        d->m_bytes = m_bytes->Copy();
        ILogStructuredStore* lss = nullptr;
        try {
            lss = OpenSharedStore(d, Settings());
        } catch (const IException& e) {
            ADD_FAILURE() << "the store does not open again: " << Str(e.Describe());
            return;
        }
        if (completed) {
            EXPECT_EQ(g_committed, kNewElements);
        }
        for (int32_t i = 0; i < kBaseElements; ++i) {
            std::vector<uint8_t> got;
            ASSERT_TRUE(ReadWhole(lss, ElementSeid(i), got)) << "element " << i << " lost";
            if (i < g_committed)
                EXPECT_EQ(got, ElementBytes(i + 100)) << "committed element " << i << " lost";
            else
                EXPECT_TRUE(got == ElementBytes(i) || (i == g_committed && got == ElementBytes(i + 100)))
                    << "element " << i << " damaged";
        }
        lss->Close();
    }

    std::vector<uint8_t> m_base;
    std::shared_ptr<SharedBytes> m_bytes;
};

// ---------------------------------------------------------------------------------
// Persistent write-back, deletion and a space close

xvector<uint8_t> TileBytes(int32_t seed)
{
    const std::vector<uint8_t> v = Pattern(size_t(300 + 40 * seed), uint32_t(seed));
    xvector<uint8_t> x;
    x.assign(v.data(), v.data() + v.size());
    return x;
}

std::vector<uint8_t> BytesOf(TilvexNode* node)
{
    if (!node || !node->HasImage()) return {};
    return std::vector<uint8_t>(node->m_jpeg.m_bytes.begin(), node->m_jpeg.m_bytes.end());
}

std::vector<uint8_t> AsVector(const xvector<uint8_t>& x) { return std::vector<uint8_t>(x.begin(), x.end()); }

bool g_writtenBack = false;

class SpaceScenario {
public:
    SpaceScenario()
    {
        RegisterBuilderModule();
        auto d = std::make_shared<SharedBytes>();
        PersistStore* store = Open(d);
        {
            ThreadPSpaceGuard space(OpenPSpace(store, "P", nullptr));
            Tilvex* t = Tilvex::FromPersistable(
                IPersistablePtr::FromAny(BootstrapPSpaceRoot(Tilvex::GetClassRecord(), "R")));
            ModelTransaction txn;
            t->SetHeight(3);
            TilvexNode* root = NewTilvexNode();
            t->SetRootNode(root);
            for (int32_t c = 0; c < 4; ++c) {
                TilvexNode* child = NewTilvexNode();
                xvector<uint8_t> b = TileBytes(c);
                child->TakeJpegBytes(b);
                root->SetChild(c % 2, c / 2, child);
            }
        }
        store->Close();
        m_base = d->Copy();
    }

    Scenario Get()
    {
        return Scenario{"persistent write-back, deletion and a space close", [this] { Prepare(); },
                        [this] { return Run(); }, [this](bool completed) { Check(completed); }};
    }

private:
    static PersistStoreSettings Settings()
    {
        PersistStoreSettings s = TilvexStoreSettings();
        s.lssSettings.m_segmentSize = 0x4000;
        s.lssSettings.m_numSegmentsPerCheckPoint = 4;
        return s;
    }

    static PersistStore* Open(const std::shared_ptr<SharedBytes>& d)
    {
        const PersistStoreSettings s = Settings();
        bool created = false;
        ILogStructuredStore* lss = OpenLSSOnStorage(new SharedRAS(d), nullptr, &created, false, s.lssSettings);
        return OpenPersistStoreOnLss(lss, created, &s);
    }

    void Prepare()
    {
        m_bytes = std::make_shared<SharedBytes>();
        m_bytes->m_bytes = m_base;
        g_writtenBack = false;
    }

    bool Run()
    {
        PersistStore* store = nullptr;
        try {
            store = Open(m_bytes);
            {
                ThreadPSpaceGuard space(OpenPSpace(store, "P", nullptr));
                {
                    ModelTransaction txn;
                    Tilvex* t = Tilvex::FromPersistable(GetPSpaceRoot("R"));
                    TilvexNode* root = t->GetRootNode();
                    // A changed tile, a child taken away (deleted from the store once
                    // collected) and a new grandchild.
                    xvector<uint8_t> b = TileBytes(10);
                    root->GetChild(0, 0)->TakeJpegBytes(b);
                    root->SetChild(1, 0, nullptr);
                    TilvexNode* grandchild = NewTilvexNode();
                    xvector<uint8_t> g = TileBytes(11);
                    grandchild->TakeJpegBytes(g);
                    root->GetChild(0, 1)->SetChild(1, 1, grandchild);
                }
                store->WriteAllDirtyObjectsToLss(true);
                g_writtenBack = true;
                space.Close();
            }
            PersistStore* open = store;
            store = nullptr;
            open->Close();
            return true;
        } catch (...) {
            if (store) store->CloseReporting(nullptr);
            return false;
        }
    }

    void Check(bool completed)
    {
        auto d = std::make_shared<SharedBytes>();
        d->m_bytes = m_bytes->Copy();
        PersistStore* store = nullptr;
        try {
            store = Open(d);
        } catch (const IException& e) {
            ADD_FAILURE() << "the store does not open again: " << Str(e.Describe());
            return;
        }
        if (completed) {
            EXPECT_TRUE(g_writtenBack);
        }
        try {
            ThreadPSpaceGuard space(OpenPSpace(store, "P", nullptr));
            ModelTransaction txn;
            Tilvex* t = Tilvex::FromPersistable(GetPSpaceRoot("R"));
            ASSERT_NE(t, nullptr) << "root \"R\" lost";
            EXPECT_EQ(t->GetHeight(), 3);
            TilvexNode* root = t->GetRootNode();
            ASSERT_NE(root, nullptr) << "the root node lost";
            const std::vector<uint8_t> changed = BytesOf(root->GetChild(0, 0));
            TilvexNode* lower = root->GetChild(0, 1);
            ASSERT_NE(lower, nullptr);
            EXPECT_EQ(BytesOf(lower), AsVector(TileBytes(2)));
            EXPECT_EQ(BytesOf(root->GetChild(1, 1)), AsVector(TileBytes(3)));
            if (g_writtenBack) {
                EXPECT_EQ(changed, AsVector(TileBytes(10))) << "a written-back change lost";
                EXPECT_EQ(root->GetChild(1, 0), nullptr) << "a written-back removal lost";
                EXPECT_EQ(BytesOf(lower->GetChild(1, 1)), AsVector(TileBytes(11))) << "a written-back node lost";
            } else {
                EXPECT_TRUE(changed == AsVector(TileBytes(0)) || changed == AsVector(TileBytes(10)));
                if (TilvexNode* removed = root->GetChild(1, 0)) {
                    EXPECT_EQ(BytesOf(removed), AsVector(TileBytes(1)));
                }
            }
        } catch (const IException& e) {
            ADD_FAILURE() << "the space does not read back: " << Str(e.Describe());
        }
        store->Close();
    }

    std::vector<uint8_t> m_base;
    std::shared_ptr<SharedBytes> m_bytes;
};

// ---------------------------------------------------------------------------------
// A small build

void WriteBytes(const std::string& path, const void* data, size_t n)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(static_cast<const char*>(data), std::streamsize(n));
    EXPECT_TRUE(f.good()) << path;
}

// A w x h colour photo with a pattern, JPEG-encoded.
std::vector<uint8_t> PhotoBytes(int32_t w, int32_t h, int32_t seed)
{
    ResDIB dib;
    dib.Create(24, w, h);
    for (int32_t y = 0; y < h; ++y) {
        uint8_t* row = dib.GetImageRow(y);
        for (int32_t k = 0; k < 3 * w; ++k) row[k] = uint8_t(k * 7 + y * 3 + seed * 50 + (k / 27) % 2 * 60);
    }
    JpegImage jpeg;
    EncodeJpegImage(dib, jpeg);
    return std::vector<uint8_t>(jpeg.m_bytes.begin(), jpeg.m_bytes.end());
}

std::string ReadAll(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

int g_status = 0;

class BuildScenario {
public:
    BuildScenario()
    {
        fs::create_directories(m_pics);
        fs::create_directories(m_dir.Path() / "bin");
        const int32_t sizes[][2] = {{300, 200}, {180, 260}, {120, 90}};
        for (int32_t i = 0; i < 3; ++i) {
            const std::vector<uint8_t> b = PhotoBytes(sizes[i][0], sizes[i][1], i);
            WriteBytes(m_pics + "/p" + std::to_string(i) + ".jpg", b.data(), b.size());
        }
        EXPECT_NE(std::freopen("/dev/null", "r", stdin), nullptr);
    }

    Scenario Get()
    {
        return Scenario{"a small build", [this] { Prepare(); }, [this] { return Run(); },
                        [this](bool completed) { Check(completed); }};
    }

private:
    void Prepare()
    {
        WriteBytes(m_store, m_previous.data(), m_previous.size());
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
    }

    bool Run()
    {
        const char* argv[] = {m_program.c_str(), m_pics.c_str(), nullptr};
        g_status = TilvexgenMain(2, argv);
        return g_status == 0;
    }

    void Check(bool completed)
    {
        std::fflush(stdout);
        std::fflush(stderr);
        // What goes to standard error is said where no trace could be made.
        const std::string stdoutText = ::testing::internal::GetCapturedStdout();
        const std::string out = stdoutText + ::testing::internal::GetCapturedStderr();
        EXPECT_TRUE(g_status == 0 || g_status == 1) << "status " << g_status << "\n" << out;
        EXPECT_FALSE(fs::exists(m_store + ".part")) << "the partial file is left\n" << out;
        if (!completed) {
            EXPECT_EQ(ReadAll(m_store), m_previous) << "the previous store was not kept\n" << out;
            EXPECT_NE(out.find("Error : "), std::string::npos) << "a failed build says nothing\n" << out;
            return;
        }
        // A photo the build passed over is named; nothing else fails on the way.
        EXPECT_EQ(("\n" + stdoutText).find("\nError : "), std::string::npos) << out;
        PersistStoreSettings settings;
        try {
            PersistStore* store = OpenPersistStore(m_store.c_str(), OM_OPEN_EXISTING, &settings);
            {
                ThreadPSpaceGuard space(OpenPSpace(store, "P", nullptr));
                ModelTransaction txn;
                Tilvex* t = Tilvex::FromPersistable(GetPSpaceRoot("R"));
                ASSERT_NE(t, nullptr) << "root \"R\" lost\n" << out;
                EXPECT_EQ(t->GetHeight(), 2) << out;
                EXPECT_NE(t->GetRootNode(), nullptr) << "the pyramid lost\n" << out;
            }
            store->Close();
        } catch (const IException& e) {
            ADD_FAILURE() << "the built store does not open: " << Str(e.Describe()) << "\n" << out;
        }
    }

    TempDir m_dir;
    std::string m_pics = m_dir.File("pics");
    std::string m_program = m_dir.File("bin/Tilvexgen");
    std::string m_store = m_dir.File("bin/pics.tvx");
    std::string m_previous = "the previous store";
};

// ---------------------------------------------------------------------------------

TEST(AllocationFailure, StoreWritesCheckPointAndRecovery)
{
    Watchdog();
    LssScenario s;
    Sweep(s.Get(), FaultScope::ThisThread, 400);
    Sweep(s.Get(), FaultScope::ThisThread, 400, 16);
    // Counted on all threads, the check-pointer's failures meet transactions flushed
    // after its restamp: they must see them rather than report lost units as durable.
    Sweep(s.Get(), FaultScope::AllThreads, 300);
}

TEST(AllocationFailure, PersistentWriteBackDeletionAndSpaceClose)
{
    Watchdog();
    SpaceScenario s;
    Sweep(s.Get(), FaultScope::ThisThread, 400);
    Sweep(s.Get(), FaultScope::ThisThread, 400, 16);
    Sweep(s.Get(), FaultScope::AllThreads, 200);
}

TEST(AllocationFailure, SmallBuild)
{
    Watchdog();
    BuildScenario s;
    // A build run writes and syncs files: fewer runs, spread over all its allocations.
    Sweep(s.Get(), FaultScope::ThisThread, 120);
    Sweep(s.Get(), FaultScope::ThisThread, 80, 16);
    Sweep(s.Get(), FaultScope::AllThreads, 60);
}

} // namespace
} // namespace vorn::test

// Blocks lost on the way out of a failure are not what this test looks for (it looks
// for aborts, hangs, held locks and lost commits), and some remain: segments and their
// buffers of a store whose open or close failed, the pending tiles of a failed build.
// (The program's own module: every block it allocates; the sanitizer's options may
// turn leak checking on, so it is suppressed rather than switched off.)
extern "C" const char* __lsan_default_suppressions() { return "leak:AllocationFailureTest\n"; }
