#include "vnUtils/Trace.h"
#include "vnUtils/NoThrow.h"
#include <gtest/gtest.h>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace vorn;
namespace fs = std::filesystem;

namespace {

std::string Str(const xstring& s) { return std::string(s.data(), size_t(s.size())); }

std::string ReadFile(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A fresh directory under the system's temporary directory, removed at the end.
struct TempDir {
    fs::path path;
    TempDir()
    {
        std::random_device rd;
        for (;;) {
            path = fs::temp_directory_path() / ("vorn-trace-" + std::to_string(rd()));
            if (fs::create_directory(path)) break;
        }
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

// Every test starts and ends with an unopened, empty sink, no time and no indentation.
class Trace : public ::testing::Test {
protected:
    void SetUp() override
    {
        CloseLogSink();
        TraceShowTime = false;
        SetTraceIndent(0);
    }
    void TearDown() override
    {
        CloseLogSink();
        TraceShowTime = true;
        SetTraceIndent(0);
    }
};

int CountOpenDescriptors()
{
    int n = 0;
    for (auto it = fs::directory_iterator("/proc/self/fd"); it != fs::directory_iterator(); ++it) ++n;
    return n;
}

} // namespace

TEST_F(Trace, PlainStatementReachesSinkUnchanged)
{
    {
        TraceStream t;
        t << "value " << 42 << "\n";
    }
    { TraceStream empty; }
    EXPECT_EQ(Str(GetLogSink()->GetPendingText()), "value 42\n");
}

TEST_F(Trace, IndentationPrefixesEveryNonEmptyLine)
{
    {
        TraceIndenter indent(2);
        EXPECT_EQ(GetTraceIndent(), 2);
        TraceStream t;
        t << "a\n\nb";
    }
    EXPECT_EQ(GetTraceIndent(), 0);
    EXPECT_EQ(Str(GetLogSink()->GetPendingText()), "  a\n\n  b");

    CloseLogSink();
    {
        TraceIndenter outer(1);
        TraceIndenter inner(2);
        { TraceStream t; t << "x"; }
        { TraceStream t; t << "y\n"; } // every statement starts at a line start
    }
    { TraceStream t; t << "z\n"; }
    EXPECT_EQ(Str(GetLogSink()->GetPendingText()), "   x   y\nz\n");
}

TEST_F(Trace, TimePrefixOnEveryLine)
{
    TraceShowTime = true;
    SetTraceIndent(1);
    { TraceStream t; t << "a\n\nb\n"; }
    const std::string text = Str(GetLogSink()->GetPendingText());
    const std::regex form(R"(\d\d:\d\d:\d\d\.\d\d\d  a\n\n\d\d:\d\d:\d\d\.\d\d\d  b\n)");
    EXPECT_TRUE(std::regex_match(text, form)) << text;
}

TEST_F(Trace, PendingTextLimitAndOpenWritesItFirst)
{
    const std::string block(999, 'p');
    for (int i = 0; i < 20; ++i) {
        TraceStream t;
        t << block.c_str() << "\n";
    }
    const std::string pending = Str(GetLogSink()->GetPendingText());
    EXPECT_EQ(pending.size(), 17000u);

    TempDir dir;
    const fs::path file = dir.path / "trace.log";
    { std::ofstream(file) << "old contents that must go\n"; }
    ASSERT_TRUE(GetLogSink()->Open(xstring(file.c_str())));
    EXPECT_TRUE(GetLogSink()->IsOpen());
    EXPECT_EQ(Str(GetLogSink()->GetPendingText()), "");
    { TraceStream t; t << "after\n"; }
    EXPECT_EQ(ReadFile(file), pending + "after\n"); // files are flushed per statement
}

TEST_F(Trace, FailedOpenKeepsPendingText)
{
    { TraceStream t; t << "kept\n"; }
    EXPECT_FALSE(GetLogSink()->Open(xstring("/nonexistent-dir-of-tilvex/trace.log")));
    EXPECT_FALSE(GetLogSink()->IsOpen());
    EXPECT_EQ(Str(GetLogSink()->GetPendingText()), "kept\n");
}

TEST_F(Trace, ReopeningClosesThePreviousFile)
{
    TempDir dir;
    const int before = CountOpenDescriptors();
    ASSERT_TRUE(GetLogSink()->Open(xstring((dir.path / "one.log").c_str())));
    EXPECT_EQ(CountOpenDescriptors(), before + 1);
    { TraceStream t; t << "first\n"; }
    ASSERT_TRUE(GetLogSink()->Open(xstring((dir.path / "two.log").c_str())));
    EXPECT_EQ(CountOpenDescriptors(), before + 1);
    { TraceStream t; t << "second\n"; }
    CloseLogSink();
    EXPECT_EQ(CountOpenDescriptors(), before);
    EXPECT_EQ(ReadFile(dir.path / "one.log"), "first\n");
    EXPECT_EQ(ReadFile(dir.path / "two.log"), "second\n");
}

TEST_F(Trace, CloseLeavesAFreshUnopenedSink)
{
    TempDir dir;
    ASSERT_TRUE(GetLogSink()->Open(xstring((dir.path / "t.log").c_str())));
    CloseLogSink();
    EXPECT_FALSE(GetLogSink()->IsOpen());
    { TraceStream t; t << "later\n"; }
    EXPECT_EQ(Str(GetLogSink()->GetPendingText()), "later\n");
    EXPECT_EQ(ReadFile(dir.path / "t.log"), "");
}

TEST_F(Trace, AssertionReportText)
{
    EXPECT_TRUE(ReportAssertionFailure("main", "x > 0", 12));
    EXPECT_EQ(Str(GetLogSink()->GetPendingText()), "\nmain(12):   ****  Assertion failure : vnAssert(x > 0)\n");
}

TEST_F(Trace, AssertionThatHoldsDoesNothing)
{
    int x = 1;
    vnAssert(x > 0);
    EXPECT_EQ(Str(GetLogSink()->GetPendingText()), "");
}

// The sink on a buffered pipe: the report must be out before the trap ends the process.
TEST(TraceDeathTest, AssertionReportReachesAPipeBeforeTheTrap)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            // stdout becomes the death test's stderr pipe, fully buffered.
            if (!std::freopen("/dev/stderr", "w", stdout)) std::abort();
            TraceShowTime = false;
            GetLogSink()->Open(xstring("stdout"));
            { TraceStream t; t << "before the failure\n"; }
            vnAssert(1 == 2);
        },
        ::testing::KilledBySignal(SIGTRAP), "before the failure\n\n.*TraceTest.cpp\\([0-9]+\\):   \\*\\*\\*\\*  Assertion failure : vnAssert\\(1 == 2\\)");
}

// With no sink open the report would stay pending and die with the process.
TEST(TraceDeathTest, AssertionReportWithoutASinkGoesToStandardError)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            CloseLogSink();
            vnAssert(2 < 1);
        },
        ::testing::KilledBySignal(SIGTRAP), "Assertion failure : vnAssert\\(2 < 1\\)");
}

TEST(TraceDeathTest, NoThrowCheckFailsWhileAnExceptionPasses)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Guard {
        NoThrowCheck check;
        ~Guard() { check.Check(); }
    };
    EXPECT_DEATH(
        {
            try {
                Guard g;
                throw std::runtime_error("passing");
            } catch (...) {
            }
        },
        "Core/vnUtils/NoThrow\\(36\\):   \\*\\*\\*\\*  Assertion failure : vnAssert\\(false\\)");
}

TEST(NoThrowCheck, JudgesOnlyExceptionsNewToTheGuard)
{
    NoThrowCheck outside;
    EXPECT_FALSE(outside.ExceptionPassing());
    bool passingAtInnerGuard = true;
    bool passingForOuter = false;
    struct Unwinder {
        bool& inner;
        bool& outer;
        NoThrowCheck made;
        ~Unwinder()
        {
            // A guard made during unwinding, by an exception older than itself.
            NoThrowCheck during;
            inner = during.ExceptionPassing();
            during.Check();
            outer = made.ExceptionPassing();
        }
    };
    try {
        Unwinder u{passingAtInnerGuard, passingForOuter, {}};
        throw std::runtime_error("x");
    } catch (...) {
        NoThrowCheck inHandler;
        EXPECT_FALSE(inHandler.ExceptionPassing());
    }
    EXPECT_FALSE(passingAtInnerGuard);
    EXPECT_TRUE(passingForOuter);
}

// Threads trace whole statements with their own indentation while the sink is closed
// and reopened under them.
TEST_F(Trace, ThreadedStatementsStayWholeAcrossReopen)
{
    TempDir dir;
    const xstring file((dir.path / "threads.log").c_str());
    ASSERT_TRUE(GetLogSink()->Open(file));
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int k = 1; k <= 4; ++k) {
        threads.emplace_back([k, &stop] {
            TraceIndenter indent(k);
            for (int i = 0; i < 400 || !stop.load(); ++i) {
                TraceStream t;
                t << "thread " << k << " line " << i << " " << "0123456789abcdef0123456789abcdef\n";
                if (i > 100000) break;
            }
        });
    }
    for (int round = 0; round < 20; ++round) {
        CloseLogSink();
        { TraceStream t; t << "main " << round << "\n"; }
        GetLogSink()->Open(file);
    }
    stop = true;
    for (auto& t : threads) t.join();
    CloseLogSink();

    std::istringstream in(ReadFile(dir.path / "threads.log"));
    const std::regex lineForm(R"(( *)thread ([1-4]) line \d+ 0123456789abcdef0123456789abcdef|main \d+)");
    std::string line;
    int lines = 0;
    while (std::getline(in, line)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, lineForm)) << line;
        if (m[2].matched) {
            EXPECT_EQ(m[1].length(), std::stoi(m[2].str()));
        }
        ++lines;
    }
    EXPECT_GT(lines, 0);
}
