// The exception family: every failure is thrown by value as a vorn::IException, which
// describes itself on a TextWriter.
#pragma once
#include "vnUtils/Guid.h"
#include "vnUtils/XString.h"
#include <cstdint>
#include <exception>

namespace vorn {

class TextWriter;

class IException {
public:
    virtual ~IException() = default;
    // Writes the description, with no trailing newline of its own.
    virtual void Write(TextWriter& w) const = 0;
    // The description as a string.
    xstring Describe() const;
};

// The description of any caught exception: an IException's own, a std::exception's
// what(), else "unknown exception". Never throws.
xstring DescribeException(const std::exception_ptr& e) noexcept;

class ExceptionBase : public IException {
public:
    explicit ExceptionBase(const xstring& message) : m_message(message) {}
    void Write(TextWriter& w) const override;
    const xstring& GetMessage() const { return m_message; }
protected:
    xstring m_message;
};

class DeserialisationException : public ExceptionBase { public: using ExceptionBase::ExceptionBase; };
class CorruptLSSException : public ExceptionBase { public: using ExceptionBase::ExceptionBase; };
class ProgrammingErrorException : public ExceptionBase { public: using ExceptionBase::ExceptionBase; };

class VornException : public IException {
public:
    VornException(const xstring& message, const Guid& category, int32_t code)
        : m_message(message), m_category(category), m_code(code) {}
    void Write(TextWriter& w) const override;
    const xstring& GetMessage() const { return m_message; }
    const Guid& GetCategory() const { return m_category; }
    int32_t GetCode() const { return m_code; }
private:
    xstring m_message;
    Guid m_category;
    int32_t m_code;
};

class EndOfStreamException : public IException {
public:
    void Write(TextWriter& w) const override; // "End of stream encountered"
};
class BufferOverflowException : public IException {
public:
    void Write(TextWriter& w) const override; // "Buffer overflow"
};

// An operating-system error (an errno value here).
class SystemException : public IException {
public:
    explicit SystemException(uint32_t code) : m_code(code) {}
    void Write(TextWriter& w) const override; // "Operating system error : " + text
    uint32_t GetErrorCode() const { return m_code; }
protected:
    uint32_t m_code;
};

class FileException : public SystemException {
public:
    // Takes the calling thread's last error (errno), captured by the caller right after
    // the failing call.
    explicit FileException(const xstring& path);
    FileException(uint32_t code, const xstring& path) : SystemException(code), m_path(path) {}
    void Write(TextWriter& w) const override; // "File error (" path ") : " + text
    const xstring& GetPath() const { return m_path; }
private:
    xstring m_path;
};

// The framework's error categories.
const Guid& GeneralErrorCategory(); // {7C3E52A0-58B1-12C4-A4E7-00C0F03D81B6}
const Guid& FileErrorCategory();    // {7C3E52A5-58B1-12C4-A4E7-00C0F03D81B6}

[[noreturn]] void ThrowVornException(const xstring& message);
// printf-style message of at most 2000 characters.
[[noreturn]] void ThrowVornExceptionF(const Guid& category, int code, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
[[noreturn]] void ThrowDeserialisationException(const char* message);
// Misuse of a framework object by its caller: throws vorn::ProgrammingErrorException.
[[noreturn]] void ThrowProgrammingError(const char* message);

// The system's text of an error code, or "GetLastError() returned N".
void WriteSystemErrorText(uint32_t code, TextWriter& w);

} // namespace vorn
