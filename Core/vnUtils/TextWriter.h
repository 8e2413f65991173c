// vorn::TextWriter: formatted text over an IOutputStream, with the framework's own
// integer formatting (honouring base, showbase, uppercase, showpos, width, fill and
// adjustment of the underlying std::ostream) and line indentation.
// vorn::StringTextWriter collects the text in a PagedBuffer.
#pragma once
#include "vnUtils/PagedBuffer.h"
#include "vnUtils/XString.h"
#include <ostream>

namespace vorn {

struct Guid;
class IndentingOutputStreamToOStream;

class TextWriter {
public:
    explicit TextWriter(IOutputStream* target);
    // Writes what is buffered to the target (without calling the target's Flush).
    // Never throws: a failing target while an exception is passing is ignored.
    ~TextWriter();
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;

    // n characters with width, fill and adjustment; resets the width.
    TextWriter& Write(const char* p, int n);
    TextWriter& Put(char c);
    // The bytes as they are; no width handling.
    TextWriter& WriteString(const xstring& s);
    TextWriter& WriteHex32(uint32_t v);
    TextWriter& SetPrecision(int n);
    TextWriter& SetWidth(int n);
    // Empties the put area into the target and calls the target's Flush.
    void Flush();

    TextWriter& operator<<(const char* z);
    TextWriter& operator<<(char c) { return Put(c); }
    TextWriter& operator<<(const xstring& s);
    TextWriter& operator<<(SubString8 r);
    TextWriter& operator<<(SubString16 r);
    TextWriter& operator<<(int32_t v);
    TextWriter& operator<<(uint32_t v);
    TextWriter& operator<<(int16_t v);
    TextWriter& operator<<(uint16_t v);
    TextWriter& operator<<(long v);
    TextWriter& operator<<(unsigned long v);
    TextWriter& operator<<(long long v);
    TextWriter& operator<<(unsigned long long v);
    TextWriter& operator<<(bool v);
    TextWriter& operator<<(double v);
    TextWriter& operator<<(float v) { return *this << double(v); }
    TextWriter& operator<<(const void* p); // 16 upper-case hexadecimal digits
    TextWriter& operator<<(const Guid& g);
    // Manipulators such as std::hex, std::showbase, std::left.
    TextWriter& operator<<(std::ios_base& (*manip)(std::ios_base&));

    // The standard stream whose format state the integer routines read.
    std::ostream& GetStream();
    // Indentation of every line written after this point.
    void AddIndent(int n);

private:
    IndentingOutputStreamToOStream* m_stream;
};

// Adds an amount to a writer's indentation; on destruction flushes and subtracts it.
class TextIndentGuard {
public:
    TextIndentGuard(TextWriter& w, int amount) : m_writer(w), m_amount(amount) { w.AddIndent(amount); }
    ~TextIndentGuard();
private:
    TextWriter& m_writer;
    int m_amount;
};

// A TextWriter collecting its text in a PagedBuffer of 4096-byte pages.
class StringTextWriter : public TextWriter {
public:
    StringTextWriter();
    ~StringTextWriter();
    // Flushes, copies out the collected bytes and empties the buffer.
    xstring TakeText();
    PagedBuffer& GetBuffer() { return m_buffer; }
private:
    PagedBuffer m_buffer;
    PagedBufferToOutputStreamAdapter m_adapter;
};

// n bytes of the value at p as two lower-case hexadecimal digits each, last byte first.
void WriteHexBytes(int n, const void* p, TextWriter& w);

// The process-wide console writer over standard output.
TextWriter& GetConsoleWriter();

} // namespace vorn
