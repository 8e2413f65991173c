// The process's high-resolution clock (vorn::HPTime, 100 ns units on the file-time
// scale, calibrated once against the wall clock and monotonic afterwards), time texts,
// a scoped timer reporting to the trace, quantities with SI prefixes and exact 64-bit
// multiply-then-divide.
#pragma once
#include "vnUtils/TextWriter.h"
#include "vnUtils/XString.h"
#include <cstdint>

namespace vorn {

// 100 ns units since 1601-01-01 00:00 UTC; 0 means "not set".
struct HPTime {
    int64_t m_ticks = 0;

    HPTime() = default;
    explicit HPTime(int64_t ticks) : m_ticks(ticks) {}
    bool IsSet() const { return m_ticks != 0; }

    friend bool operator==(const HPTime& a, const HPTime& b) { return a.m_ticks == b.m_ticks; }
    friend bool operator!=(const HPTime& a, const HPTime& b) { return a.m_ticks != b.m_ticks; }
    friend bool operator<(const HPTime& a, const HPTime& b) { return a.m_ticks < b.m_ticks; }
    friend bool operator<=(const HPTime& a, const HPTime& b) { return a.m_ticks <= b.m_ticks; }
    friend bool operator>(const HPTime& a, const HPTime& b) { return a.m_ticks > b.m_ticks; }
    friend bool operator>=(const HPTime& a, const HPTime& b) { return a.m_ticks >= b.m_ticks; }
    // Ticks from b to a.
    friend int64_t operator-(const HPTime& a, const HPTime& b) { return a.m_ticks - b.m_ticks; }
    friend HPTime operator+(const HPTime& a, int64_t ticks) { return HPTime(a.m_ticks + ticks); }
};

// Maps the counter onto the wall clock. Happens once per process (whichever thread
// calls first); later calls do nothing. GetHPTime calls it itself.
void CalibrateHPTime();
HPTime GetHPTime();

// "HH:mm:ss" of the local time (24-hour clock, two digits each).
xstring LocalTimeText(const HPTime& t);
// "undef" for 0; otherwise LocalTimeText, '.', and numDigits digits of the fraction of
// the second.
xstring HPTimeToString(const HPTime& t, int numDigits);

// a * b / c with a 128-bit intermediate product, truncated toward zero. c must not be 0.
int64_t MulDiv64(int64_t a, int64_t b, int64_t c);

// Measures from construction (or Start) to Stop; a stop leaves a report pending, which
// the next Stop or the destructor traces as: the label text cut or padded with '.' to
// 68 characters, a space, the milliseconds (fixed, width 7, precision 2), " ms\n".
class ScopedTimer {
public:
    ScopedTimer();
    // Traces the pending report; a report that cannot be made (memory running out) is
    // dropped, never thrown.
    ~ScopedTimer() noexcept;
    ScopedTimer(const ScopedTimer&) = delete;
    ScopedTimer& operator=(const ScopedTimer&) = delete;

    void Start();
    // Traces a pending report, records the time since the start and restarts.
    void Stop();
    double ElapsedSeconds() const;
    // The ticks recorded by the last Stop.
    int64_t GetElapsedTicks() const { return m_elapsed; }

    // The label of the next report; its text is taken out when the report is traced.
    StringTextWriter& Label() { return m_label; }
    // When set, the destructor stops the timer first.
    void SetStopOnDestruction(bool on) { m_stopOnDestruction = on; }

private:
    void Report();

    StringTextWriter m_label;
    bool m_stopOnDestruction = false;
    HPTime m_start;
    bool m_reportPending = false;
    int64_t m_elapsed = 0;
};

// The report line of a ScopedTimer for a label and an elapsed time in ticks.
void WriteTimerReport(TextWriter& w, SubString8 label, int64_t elapsedTicks);

// x scaled to the largest SI prefix whose factor it reaches (from yotta to yocto),
// written in the writer's current float format, a space, then the prefix word (nothing
// for factor 1, zero, negative values or values below 1e-24).
void WriteWithSiPrefix(double x, TextWriter& w);

} // namespace vorn
