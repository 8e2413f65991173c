#include "vnUtils/Time.h"
#include "vnUtils/Trace.h"
#include "vnPlatform/Clock.h"
#include <gtest/gtest.h>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <regex>
#include <string>

using namespace vorn;

namespace {

std::string Str(const xstring& s) { return std::string(s.data(), size_t(s.size())); }

std::string WrittenSi(double x)
{
    StringTextWriter w;
    WriteWithSiPrefix(x, w);
    return Str(w.TakeText());
}

std::string Report(const char* label, int64_t ticks)
{
    StringTextWriter w;
    WriteTimerReport(w, SubString8(label), ticks);
    return Str(w.TakeText());
}

// Trace text goes to a fresh unopened sink, without time prefix, for inspection.
class TimeTrace : public ::testing::Test {
protected:
    void SetUp() override
    {
        CloseLogSink();
        m_showTime = TraceShowTime;
        TraceShowTime = false;
        m_indent = GetTraceIndent();
        SetTraceIndent(0);
    }
    void TearDown() override
    {
        CloseLogSink();
        TraceShowTime = m_showTime;
        SetTraceIndent(m_indent);
    }
    std::string Pending() { return Str(GetLogSink()->GetPendingText()); }

    bool m_showTime = true;
    int m_indent = 0;
};

} // namespace

TEST(MulDiv64, ExactWithWideProduct)
{
    const int64_t p62 = int64_t(1) << 62;
    EXPECT_EQ(MulDiv64(p62, 10000000, 10000000), p62);
    EXPECT_EQ(MulDiv64(INT64_MAX, 10000000, 10000000), INT64_MAX);
    EXPECT_EQ(MulDiv64(INT64_MAX, 10000000, 30000000), INT64_MAX / 3);
    EXPECT_EQ(MulDiv64(1000000000000000000LL, 10000000, 1000000000), 10000000000000000LL);
    EXPECT_EQ(MulDiv64(0, 10000000, 7), 0);
}

TEST(MulDiv64, TruncatesTowardZeroWithProductSign)
{
    EXPECT_EQ(MulDiv64(-7, 10000000, 20000000), -3);
    EXPECT_EQ(MulDiv64(7, 10000000, 20000000), 3);
    EXPECT_EQ(MulDiv64(7, -10000000, 20000000), -3);
    EXPECT_EQ(MulDiv64(-7, -10000000, 20000000), 3);
    EXPECT_EQ(MulDiv64(-7, 10000000, -20000000), 3);
    EXPECT_EQ(MulDiv64(7, 10000000, -20000000), -3);
}

TEST(HPTime, ReadingsAreMonotonicAndOnTheFileTimeScale)
{
    CalibrateHPTime();
    HPTime prev = GetHPTime();
    for (int i = 0; i < 10000; ++i) {
        const HPTime t = GetHPTime();
        ASSERT_GE(t, prev);
        prev = t;
    }
    // The calibration maps the counter onto the wall clock (1601 epoch, 100 ns units).
    const int64_t unix100ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  std::chrono::system_clock::now().time_since_epoch()).count() / 100;
    const int64_t diff = GetHPTime().m_ticks - (unix100ns + 116444736000000000LL);
    EXPECT_LT(diff < 0 ? -diff : diff, 600LL * 10000000LL);
}

TEST(HPTime, LocalTimeTextIsTwentyFourHourClock)
{
    const std::time_t secs = 1700000000 + 13 * 3600 + 7; // some afternoon or other
    const HPTime t(int64_t(secs) * 10000000 + FileTimeUnixEpoch + 1234567);
    char expected[32];
    std::strftime(expected, sizeof expected, "%H:%M:%S", std::localtime(&secs));
    EXPECT_EQ(Str(LocalTimeText(t)), expected);
    EXPECT_TRUE(std::regex_match(Str(LocalTimeText(GetHPTime())), std::regex("[0-2][0-9]:[0-5][0-9]:[0-6][0-9]")));
}

TEST(HPTime, ToStringDigitsOfTheSecond)
{
    EXPECT_EQ(Str(HPTimeToString(HPTime(), 3)), "undef");
    EXPECT_EQ(Str(HPTimeToString(HPTime(), 0)), "undef");

    const HPTime t(int64_t(1700000000) * 10000000 + FileTimeUnixEpoch + 1234567);
    const std::string clock = Str(LocalTimeText(t));
    EXPECT_EQ(Str(HPTimeToString(t, 0)), clock + ".");
    EXPECT_EQ(Str(HPTimeToString(t, 3)), clock + ".123");
    EXPECT_EQ(Str(HPTimeToString(t, 7)), clock + ".1234567");
    EXPECT_EQ(Str(HPTimeToString(t, 9)), clock + ".123456700");
    const HPTime whole(int64_t(1700000000) * 10000000 + FileTimeUnixEpoch);
    EXPECT_EQ(Str(HPTimeToString(whole, 3)), Str(LocalTimeText(whole)) + ".000");
}

TEST(ScopedTimer, ReportLineLayout)
{
    EXPECT_EQ(Report("abc", 15000), "abc" + std::string(65, '.') + "    1.50 ms\n");
    EXPECT_EQ(Report("", 0), std::string(68, '.') + "    0.00 ms\n");
    const std::string seventy(70, 'x');
    EXPECT_EQ(Report(seventy.c_str(), 123456789), std::string(68, 'x') + " 12345.68 ms\n");
    const std::string sixtyEight(68, 'y');
    EXPECT_EQ(Report(sixtyEight.c_str(), 10000), sixtyEight + "    1.00 ms\n");
}

TEST_F(TimeTrace, ScopedTimerReportsPendingStopsThroughTheTrace)
{
    const std::regex line("(.{68}) +[0-9]+\\.[0-9]{2} ms\n");
    {
        ScopedTimer t;
        t.Label() << "Tile pyramid";
        t.Stop();
        EXPECT_EQ(Pending(), ""); // the report waits for the next stop or the end
        EXPECT_GE(t.GetElapsedTicks(), 0);
        t.Stop(); // traces the first report, leaves a second one pending
        t.Label() << "second";
    }
    const std::string text = Pending();
    const size_t nl = text.find('\n');
    ASSERT_NE(nl, std::string::npos);
    const std::string first = text.substr(0, nl + 1), second = text.substr(nl + 1);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(first, m, line)) << first;
    EXPECT_EQ(m[1].str(), "Tile pyramid" + std::string(56, '.'));
    ASSERT_TRUE(std::regex_match(second, m, line)) << second;
    EXPECT_EQ(m[1].str(), "second" + std::string(62, '.'));
    EXPECT_EQ(first.size(), 68u + 1 + 7 + 4);
}

TEST_F(TimeTrace, ScopedTimerStopOnDestruction)
{
    {
        ScopedTimer t;
        t.SetStopOnDestruction(true);
        t.Label() << "x";
    }
    {
        ScopedTimer quiet; // never stopped: no report
        quiet.Label() << "unused";
        EXPECT_GE(quiet.ElapsedSeconds(), 0.0);
    }
    const std::string text = Pending();
    EXPECT_TRUE(std::regex_match(text, std::regex("x\\.{67} +[0-9]+\\.[0-9]{2} ms\n"))) << text;
}

TEST(WriteWithSiPrefix, ScalesToThePrefix)
{
    EXPECT_EQ(WrittenSi(1500), "1.5 kilo");
    EXPECT_EQ(WrittenSi(0.5), "500 milli");
    EXPECT_EQ(WrittenSi(0), "0 ");
    EXPECT_EQ(WrittenSi(1), "1 ");
    EXPECT_EQ(WrittenSi(999), "999 ");
    EXPECT_EQ(WrittenSi(2.5e6), "2.5 mega");
    EXPECT_EQ(WrittenSi(3e24), "3 yotta");
    EXPECT_EQ(WrittenSi(5e27), "5000 yotta");
    EXPECT_EQ(WrittenSi(2e-9), "2 nano");
    EXPECT_EQ(WrittenSi(1e-24), "1 yocto");
    EXPECT_EQ(WrittenSi(1e-25), "1e-25 ");
    EXPECT_EQ(WrittenSi(-1500), "-1500 ");
}
