#include "vnUtils/Trace.h"
#include "vnPlatform/Debug.h"
#include "vnUtils/File.h"
#include "vnUtils/Time.h"
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

namespace vorn {

bool TraceShowTime = true;

namespace {

// The trace-indentation slot of every thread.
thread_local int32_t t_traceIndent = 0;

constexpr char kSpaces[] = "                                                                ";
constexpr int kSpacesLen = int(sizeof(kSpaces) - 1);

// Local "HH:mm:ss.fff " of now.
void AppendTimePrefix(xstring& out)
{
    out += HPTimeToString(GetHPTime(), 3);
    out += ' ';
}

void AppendSpaces(xstring& out, int32_t n)
{
    for (; n > 0; n -= kSpacesLen) out.append(kSpaces, n < kSpacesLen ? n : kSpacesLen);
}

} // namespace

int GetTraceIndent() { return t_traceIndent; }
void SetTraceIndent(int n) { t_traceIndent = n; }

TraceStream::~TraceStream()
{
    try {
        WriteTraceText(TakeText());
    } catch (...) {
        // A statement that cannot be handed over is dropped; destructors do not throw.
    }
}

void WriteTraceText(const xstring& text)
{
    const int32_t indent = t_traceIndent;
    const bool showTime = TraceShowTime;
    if (indent <= 0 && !showTime) {
        GetLogSink()->Write(text);
        return;
    }
    xstring out;
    out.reserve(text.size() + 64);
    const char* p = text.data();
    const char* const e = p + text.size();
    bool atLineStart = true;
    while (p < e) {
        if (*p == '\n') {
            out += '\n';
            ++p;
            atLineStart = true;
            continue;
        }
        if (atLineStart) {
            if (showTime) AppendTimePrefix(out);
            AppendSpaces(out, indent);
            atLineStart = false;
        }
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', size_t(e - p)));
        const char* lineEnd = nl ? nl : e;
        out.append(p, int32_t(lineEnd - p));
        p = lineEnd;
    }
    GetLogSink()->Write(out);
}

// ---- LogSink

LogSink* GetLogSink()
{
    // Never destroyed: threads and late static destructors may trace up to the very end.
    alignas(LogSink) static unsigned char storage[sizeof(LogSink)];
    static LogSink* const sink = new (storage) LogSink();
    return sink;
}

LogSink::~LogSink() { CloseStream(); }

void LogSink::CloseStream()
{
    if (m_file == stdout)
        std::fflush(stdout);
    else if (m_file)
        std::fclose(m_file);
    m_file = nullptr;
}

bool LogSink::Open(const xstring& name)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    CloseStream();
    m_name = name;
    FILE* f;
    if (name == "stdout") {
        f = stdout;
    } else {
        xstring path(name);
        f = OpenFileUtf8(path.c_str(), "w");
    }
    if (!f) return false;
    m_file = f;
    if (!m_pending.empty()) std::fwrite(m_pending.data(), 1, size_t(m_pending.size()), f);
    std::fflush(f);
    m_pending.Release();
    return true;
}

void LogSink::Write(const xstring& text)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_file) {
        if (!text.empty()) std::fwrite(text.data(), 1, size_t(text.size()), m_file);
        if (m_file != stdout) std::fflush(m_file);
    } else if (m_pending.size() < kPendingLimit) {
        m_pending += text;
    }
}

xstring LogSink::GetPendingText()
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_pending;
}

bool LogSink::IsOpen()
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_file != nullptr;
}

void LogSink::Flush()
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_file) std::fflush(m_file);
}

void CloseLogSink()
{
    LogSink* sink = GetLogSink();
    std::lock_guard<std::recursive_mutex> guard(sink->m_lock);
    sink->CloseStream();
    sink->m_name.Release();
    sink->m_pending.Release();
}

// ---- assertions

namespace {
std::atomic<bool> g_assertionsNonFatal{false};
std::atomic<int64_t> g_assertionFailures{0};
} // namespace

bool SetAssertionsNonFatal(bool nonFatal) { return g_assertionsNonFatal.exchange(nonFatal); }

int64_t GetAssertionFailureCount() { return g_assertionFailures.load(); }

bool ReportAssertionFailure(const char* file, const char* expression, int line)
{
    g_assertionFailures.fetch_add(1);
    xstring report;
    {
        StringTextWriter w;
        w << "\n" << file << "(" << int32_t(line) << "):   ****  Assertion failure : vnAssert(" << expression << ")\n";
        report = w.TakeText();
    }
    WriteTraceText(report);
    LogSink* sink = GetLogSink();
    if (!sink->IsOpen()) {
        // Nothing would show the report before the trap ends the process.
        std::fwrite(report.data(), 1, size_t(report.size()), stderr);
        std::fflush(stderr);
    }
    sink->Flush();
    return !g_assertionsNonFatal.load();
}

void AssertionTrap()
{
    GetLogSink()->Flush();
    std::fflush(stdout);
    std::fflush(stderr);
    DebugBreakTrap();
}

} // namespace vorn
