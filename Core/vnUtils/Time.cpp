#include "vnUtils/Time.h"
#include "vnUtils/Trace.h"
#include "vnPlatform/Clock.h"

#include <cstdio>
#include <cstring>

namespace vorn {

namespace {

constexpr int64_t TicksPerSecond = 10000000;

struct Calibration {
    int64_t frequency;
    int64_t offset;
    // frequency / TicksPerSecond when that divides exactly (then a reading is a plain
    // division, equal to the MulDiv64 form); 0 otherwise.
    int64_t divisor;
};

Calibration Calibrate()
{
    Calibration c;
    c.frequency = MonotonicCounterFrequency();
    const int64_t system = ReadSystemFileTime();
    const int64_t counter = ReadMonotonicCounter();
    c.offset = system - MulDiv64(counter, TicksPerSecond, c.frequency);
    c.divisor = c.frequency % TicksPerSecond == 0 ? c.frequency / TicksPerSecond : 0;
    return c;
}

const Calibration& GetCalibration()
{
    static const Calibration c = Calibrate();
    return c;
}

} // namespace

int64_t MulDiv64(int64_t a, int64_t b, int64_t c)
{
    return int64_t(__int128(a) * b / c);
}

void CalibrateHPTime()
{
    (void)GetCalibration();
}

HPTime GetHPTime()
{
    const Calibration& c = GetCalibration();
    const int64_t counter = ReadMonotonicCounter();
    const int64_t scaled = c.divisor ? counter / c.divisor : MulDiv64(counter, TicksPerSecond, c.frequency);
    return HPTime(scaled + c.offset);
}

xstring LocalTimeText(const HPTime& t)
{
    int h, m, s;
    FileTimeToLocalTimeOfDay(t.m_ticks, &h, &m, &s);
    char buf[16];
    const int n = std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", h, m, s);
    return xstring(buf, buf + n);
}

xstring HPTimeToString(const HPTime& t, int numDigits)
{
    if (t.m_ticks == 0)
        return xstring("undef");
    xstring s = LocalTimeText(t);
    s.push_back('.');
    // The fraction of the second, digit by digit, from the exact remainder.
    int64_t rem = t.m_ticks % TicksPerSecond;
    if (rem < 0)
        rem += TicksPerSecond;
    int64_t scale = TicksPerSecond / 10;
    for (int i = 0; i < numDigits; ++i) {
        if (scale) {
            s.push_back(char('0' + rem / scale));
            rem %= scale;
            scale /= 10;
        } else {
            s.push_back('0');
        }
    }
    return s;
}

ScopedTimer::ScopedTimer()
{
    Start();
}

ScopedTimer::~ScopedTimer() noexcept
{
    try {
        if (m_stopOnDestruction)
            Stop();
        if (m_reportPending)
            Report();
    } catch (...) {
        // The label or the trace line could not be allocated: the report is lost.
    }
}

void ScopedTimer::Start()
{
    m_start = GetHPTime();
}

void ScopedTimer::Stop()
{
    const HPTime now = GetHPTime();
    if (m_reportPending)
        Report();
    m_reportPending = true;
    m_elapsed = now - m_start;
    m_start = GetHPTime();
}

double ScopedTimer::ElapsedSeconds() const
{
    return double(GetHPTime() - m_start) * 1e-7;
}

void ScopedTimer::Report()
{
    const xstring label = m_label.TakeText();
    {
        TraceStream ts;
        WriteTimerReport(ts, label.Range(), m_elapsed);
    }
    m_reportPending = false;
}

void WriteTimerReport(TextWriter& w, SubString8 label, int64_t elapsedTicks)
{
    constexpr int LabelWidth = 68;
    char line[LabelWidth + 64];
    const int n = label.size() < LabelWidth ? label.size() : LabelWidth;
    if (n > 0)
        std::memcpy(line, label.begin(), size_t(n));
    std::memset(line + n, '.', size_t(LabelWidth - n));
    const double ms = double(elapsedTicks) * 1e-7 * 1000.0;
    int len = std::snprintf(line + LabelWidth, sizeof line - LabelWidth, " %7.2f ms\n", ms);
    if (len < 0)
        len = 0;
    if (len > int(sizeof line - LabelWidth) - 1)
        len = int(sizeof line - LabelWidth) - 1;
    w.Write(line, LabelWidth + len);
}

void WriteWithSiPrefix(double x, TextWriter& w)
{
    struct Prefix {
        double factor;
        const char* word;
    };
    static const Prefix table[] = {
        {1e24, "yotta"}, {1e21, "zetta"}, {1e18, "exa"},   {1e15, "peta"},  {1e12, "tera"},
        {1e9, "giga"},   {1e6, "mega"},   {1e3, "kilo"},   {1, ""},         {1e-3, "milli"},
        {1e-6, "micro"}, {1e-9, "nano"},  {1e-12, "pico"}, {1e-15, "femto"}, {1e-18, "atto"},
        {1e-21, "zepto"}, {1e-24, "yocto"},
    };
    const char* word = "";
    for (const Prefix& p : table) {
        if (x >= p.factor) {
            x /= p.factor;
            word = p.word;
            break;
        }
    }
    w << x << ' ' << word;
}

} // namespace vorn
