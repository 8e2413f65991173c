// The trace log: each TraceStream statement collects its text and, when it ends, hands
// it with per-line prefixes (optional local time, then the thread's indentation) to the
// one process-wide LogSink, which writes to standard output or a file, or holds the
// text (up to about 16384 bytes) until it is opened.
#pragma once
#include "vnUtils/TextWriter.h"
#include <cstdio>
#include <mutex>

namespace vorn {

class TraceStream : public StringTextWriter {
public:
    TraceStream() = default;
    ~TraceStream();
};

// When true (the default) every trace line begins with the local time.
extern bool TraceShowTime;

int GetTraceIndent();
void SetTraceIndent(int n);

// Raises the calling thread's trace indentation for its lifetime.
class TraceIndenter {
public:
    explicit TraceIndenter(int n) : m_n(n) { SetTraceIndent(GetTraceIndent() + n); }
    ~TraceIndenter() { SetTraceIndent(GetTraceIndent() - m_n); }
private:
    int m_n;
};

// The process-wide sink. GetLogSink always returns the same object, which lives until
// the process ends; CloseLogSink returns it to the unopened state (stream closed, name
// and pending text released), so a thread that traces meanwhile is never left with a
// dangling sink.
class LogSink {
public:
    // Text held while unopened stops growing once it has reached this many bytes.
    static constexpr int32_t kPendingLimit = 16384;

    // "stdout" is standard output; any other name a file (UTF-8 path) created or
    // truncated for writing. Opening again first closes a file opened before. On success
    // the pending text is written first; on failure the sink stays unopened and false
    // is returned.
    bool Open(const xstring& name);
    void Write(const xstring& text);
    // The text held while no sink is open.
    xstring GetPendingText();
    bool IsOpen();
    // fflush of the open stream.
    void Flush();
    ~LogSink();
private:
    friend LogSink* GetLogSink();
    friend void CloseLogSink();
    void CloseStream();
    FILE* m_file = nullptr;
    xstring m_name;
    xstring m_pending;
    std::recursive_mutex m_lock;
};

LogSink* GetLogSink();
void CloseLogSink();
// Adds the line prefixes and hands the text to the sink.
void WriteTraceText(const xstring& text);

// Writes "\n" file "(" line "):   ****  Assertion failure : vnAssert(" expr ")\n" to
// the trace and flushes the sink (while no sink is open the report also goes to
// standard error); returns true, or false while assertions are non-fatal.
bool ReportAssertionFailure(const char* file, const char* expression, int line);
// For tests of code that checks itself: while set, assertion failures are counted and
// reported but do not end the process. Returns the previous setting.
bool SetAssertionsNonFatal(bool nonFatal);
// Assertion failures reported since the process started.
int64_t GetAssertionFailureCount();
// Flushes the sink and standard output and error, then raises a breakpoint trap (ends
// the process without a debugger).
void AssertionTrap();

} // namespace vorn

#define vnAssert(expr) \
    do { if (!(expr) && ::vorn::ReportAssertionFailure(__FILE__, #expr, __LINE__)) ::vorn::AssertionTrap(); } while (0)
