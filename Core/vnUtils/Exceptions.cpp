#include "vnUtils/Exceptions.h"
#include "vnPlatform/Error.h"
#include "vnUtils/TextWriter.h"
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace vorn {

xstring IException::Describe() const
{
    StringTextWriter w;
    Write(w);
    return w.TakeText();
}

xstring DescribeException(const std::exception_ptr& e) noexcept
{
    try {
        try {
            std::rethrow_exception(e);
        } catch (const IException& x) {
            return x.Describe();
        } catch (const std::exception& x) {
            return xstring(x.what());
        }
    } catch (...) {
    }
    try {
        return xstring("unknown exception");
    } catch (...) {
        return xstring();
    }
}

void ExceptionBase::Write(TextWriter& w) const { w.WriteString(m_message); }

void VornException::Write(TextWriter& w) const { w.WriteString(m_message); }

void EndOfStreamException::Write(TextWriter& w) const { w << "End of stream encountered"; }

void BufferOverflowException::Write(TextWriter& w) const { w << "Buffer overflow"; }

void SystemException::Write(TextWriter& w) const
{
    w << "Operating system error : ";
    WriteSystemErrorText(m_code, w);
}

FileException::FileException(const xstring& path) : SystemException(GetLastSystemError()), m_path(path) {}

void FileException::Write(TextWriter& w) const
{
    w << "File error (";
    w.WriteString(m_path);
    w << ") : ";
    WriteSystemErrorText(m_code, w);
}

// The text goes out unchanged: decimal and unpadded whatever the writer's format state.
void WriteSystemErrorText(uint32_t code, TextWriter& w)
{
    std::streambuf& out = *w.GetStream().rdbuf();
    if (const char* text = SystemErrorDescription(code)) {
        out.sputn(text, std::streamsize(std::strlen(text)));
        return;
    }
    char buf[48];
    const int n = std::snprintf(buf, sizeof(buf), "GetLastError() returned %u", unsigned(code));
    out.sputn(buf, n);
}

void ThrowVornException(const xstring& message) { throw VornException(message, GeneralErrorCategory(), 0); }

void ThrowVornExceptionF(const Guid& category, int code, const char* format, ...)
{
    // 2000 characters and the terminator.
    char buf[2001];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buf, sizeof(buf), format, args);
    va_end(args);
    if (n < 0) buf[0] = 0;
    throw VornException(xstring(buf), category, code);
}

void ThrowDeserialisationException(const char* message) { throw DeserialisationException(xstring(message)); }

void ThrowProgrammingError(const char* message) { throw ProgrammingErrorException(xstring(message)); }

} // namespace vorn
