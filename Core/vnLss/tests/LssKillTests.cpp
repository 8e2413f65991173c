// A real crash: this test binary starts itself again as a child (a test environment
// that runs in place of the tests when the child's variables are set) that writes flushed
// transactions into a file store until the parent kills it with SIGKILL at a random
// moment. After each kill the parent opens a copy of the store and checks that every
// transaction the child reported as closed is there, and that what survives is a
// prefix of whole transactions; the next child then continues on the store itself
// (and so recovers it first).
#include "LssStoreTestUtil.h"
#include "LssTestUtil.h"
#include "vnPlatform/Process.h"
#include "Watchdog.h"
#include <gtest/gtest.h>
#include <chrono>
#include <csignal>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>

using namespace vorn;
using namespace vorn::test;

namespace {

const char* const kStoreVar = "VORN_LSS_KILL_STORE";
const char* const kReportVar = "VORN_LSS_KILL_REPORT";

constexpr int kNumElements = 5;
const Seid kMeta(0x03030301u, 0x06060606u); // holds the number of the last transaction

Seid ElementSeid(int k) { return Seid(0x03030310u + uint32_t(k), 0x06060606u); }

// Transaction n writes element n % kNumElements with this content, and the number n
// into kMeta. Sizes run from a few bytes to a few segments.
std::vector<uint8_t> Content(int64_t n)
{
    const size_t size = 16 + size_t((uint64_t(n) * 2654435761u >> 7) % 9000);
    std::vector<uint8_t> v = Pattern(size, uint32_t(n));
    std::memcpy(v.data(), &n, 8);
    std::memcpy(v.data() + 8, &n, 8);
    return v;
}

LssSettings KillSettings()
{
    LssSettings s;
    s.m_segmentSize = 4096;
    s.m_numSegmentsPerCheckPoint = 16; // check points (and cleaning) happen during the run
    s.m_flushTimeMilliSec = 50;
    return s;
}

// The last transaction of a store (0 when none), read from kMeta.
int64_t LastTransaction(ILogStructuredStore* lss)
{
    std::vector<uint8_t> m;
    if (!ReadWhole(lss, kMeta, m)) return 0;
    EXPECT_EQ(m.size(), 8u);
    int64_t n = 0;
    if (m.size() == 8) std::memcpy(&n, m.data(), 8);
    return n;
}

void Report(const char* path, const std::string& line)
{
    const std::string text = line + "\n";
    if (AppendToFileDurably(path, text.data(), text.size()) != 0) std::abort();
}

struct ReportFile {
    std::vector<int64_t> m_closed; // transactions reported closed, in order
    std::vector<int64_t> m_opens;  // the last transaction each child found at its open
};

ReportFile ReadReport(const std::string& path)
{
    ReportFile r;
    std::ifstream in(path);
    std::string word;
    int64_t n;
    while (in >> word >> n) (word == "open" ? r.m_opens : r.m_closed).push_back(n);
    return r;
}

std::string ReadText(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The child: writes flushed transactions, reporting each one closed, until it is
// killed.
[[noreturn]] void RunChild(const char* store, const char* report)
{
    const LssSettings s = KillSettings();
    bool created = false;
    ILogStructuredStore* lss = OpenLSS(store, nullptr, &created, OM_OPEN_ALWAYS, &s);
    int64_t n = LastTransaction(lss);
    Report(report, "open " + std::to_string(n));
    // The parent kills the child long before this; the limit only keeps a forgotten
    // child from running on.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        ++n;
        const std::vector<uint8_t> v = Content(n);
        ILssTransaction* t = lss->OpenTransaction();
        const Seid e = ElementSeid(int(n % kNumElements));
        ICloseableOutputStream* w = t->WriteSerialElement(e.m_low, e.m_high);
        w->WriteStream(v.data(), ssize_t(v.size()));
        w->Close();
        w = t->WriteSerialElement(kMeta.m_low, kMeta.m_high);
        w->WriteStream(&n, 8);
        w->Close();
        t->FlushWhenClose();
        t->Close();
        Report(report, "closed " + std::to_string(n));
    }
    lss->Close();
    std::_Exit(0);
}

// The test binary started as the child runs it in place of the tests.
class ChildEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        const char* store = std::getenv(kStoreVar);
        const char* report = std::getenv(kReportVar);
        if (store && report) RunChild(store, report);
    }
};
::testing::Environment* const kChildEnvironment = ::testing::AddGlobalTestEnvironment(new ChildEnvironment);

// The number of children that reported their open so far.
size_t OpensReported(const std::string& path);

} // namespace

TEST(LssKill, KilledWriterLosesNoClosedTransaction)
{
    Watchdog dog;
    TempDir dir;
    const std::string store = dir.File("store.lss");
    const std::string copy = dir.File("check.lss");
    const std::string report = dir.File("report.txt");
    const std::string output = dir.File("child.txt");
    const std::string storeEnv = std::string(kStoreVar) + "=" + store;
    const std::string reportEnv = std::string(kReportVar) + "=" + report;
    const char* const args[] = {"vnLss_tests", nullptr};
    const char* const env[] = {storeEnv.c_str(), reportEnv.c_str(), nullptr};

    std::mt19937 rng(4711u);
    int64_t seen = 0; // the last transaction the previous check found
    size_t opensChecked = 0;
    int64_t maxSeen = 0;
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ChildProcess child;
        const size_t opens = OpensReported(report);
        ASSERT_EQ(StartProcess(kSelfExecutable, args, env, output.c_str(), &child), 0);
        // The kill comes at a random moment after the child has opened the store (a
        // slow start, as under a sanitizer, does not use the time up). Half of the
        // rounds kill it while it opens.
        if (round % 2 == 1) {
            for (int i = 0; i < 2000 && OpensReported(report) == opens; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 181));
        ASSERT_EQ(KillProcess(child), 0);
        int code = 0;
        ASSERT_EQ(WaitProcess(child, &code), 0);
        ASSERT_EQ(code, -SIGKILL) << "the child ended on its own:\n" << ReadText(output);

        const ReportFile r = ReadReport(report);
        // A child that got as far as its open found exactly what the last check found.
        for (; opensChecked < r.m_opens.size(); ++opensChecked)
            EXPECT_EQ(r.m_opens[opensChecked], seen) << "a child recovered a different history";
        if (!std::filesystem::exists(store)) continue; // killed before the store existed
        std::filesystem::copy_file(store, copy, std::filesystem::copy_options::overwrite_existing);
        // VORN_LSS_KILL_KEEP=dir keeps the killed store of a failing round there.
        const char* keep = std::getenv("VORN_LSS_KILL_KEEP");
        const std::string kept = keep ? std::string(keep) + "/killed-round" + std::to_string(round) + ".lss" : "";
        if (keep) std::filesystem::copy_file(store, kept, std::filesystem::copy_options::overwrite_existing);
        struct KeepOnFailure {
            std::string path;
            ~KeepOnFailure()
            {
                if (!path.empty() && !::testing::Test::HasFailure()) std::filesystem::remove(path);
            }
        } keepGuard{kept};
        const LssSettings s = KillSettings();
        bool created = false;
        ILogStructuredStore* lss = nullptr;
        try {
            lss = OpenLSS(copy.c_str(), nullptr, &created, OM_OPEN_EXISTING, &s);
        } catch (const CorruptLSSException& e) {
            FAIL() << "the killed store does not open: "
                   << std::string(e.GetMessage().data(), size_t(e.GetMessage().size()));
        }
        const int64_t last = LastTransaction(lss);
        if (!r.m_closed.empty()) {
            EXPECT_GE(last, r.m_closed.back()) << "a closed transaction was lost";
        }
        EXPECT_GE(last, seen) << "a transaction seen after an earlier kill was lost";
        // Every element holds the last transaction up to `last` that wrote it.
        for (int k = 0; k < kNumElements; ++k) {
            int64_t m = last;
            while (m > 0 && m % kNumElements != k) --m;
            std::vector<uint8_t> got;
            const bool found = ReadWhole(lss, ElementSeid(k), got);
            if (m == 0) {
                EXPECT_FALSE(found) << "element " << k << " of a transaction after " << last;
            } else {
                ASSERT_TRUE(found) << "element " << k << " of transaction " << m << " is missing";
                EXPECT_TRUE(got == Content(m)) << "element " << k << " does not hold transaction " << m;
            }
        }
        lss->Close();
        std::filesystem::remove(copy);
        seen = last;
        maxSeen = std::max(maxSeen, last);
    }
    EXPECT_GT(maxSeen, 0) << "no child got to write a transaction";
}

namespace {

size_t OpensReported(const std::string& path) { return ReadReport(path).m_opens.size(); }

} // namespace
