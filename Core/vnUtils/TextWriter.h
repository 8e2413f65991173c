// vorn::TextWriter: formatted text over an IOutputStream, with the framework's own
// integer formatting (honouring base, showbase, uppercase, showpos, width, fill and
// adjustment of the underlying std::ostream) and line indentation.
// vorn::StringTextWriter collects the text in a PagedBuffer.
#pragma once
#include "vnUtils/PagedBuffer.h"
#include "vnUtils/XString.h"
#include <ostream>
#include <streambuf>

namespace vorn {

struct Guid;

// A stream buffer that collects characters in an inline 4096-byte put area and sends
// them to an IOutputStream when the area is full, on sync and on destruction, inserting
// the indentation (as spaces) before the first character of every line.
class IndentingOutputStreamAsStreambuf : public std::streambuf {
public:
    static constexpr int kPutAreaSize = 4096;

    explicit IndentingOutputStreamAsStreambuf(IOutputStream* target);
    // Sends what is buffered to the target (without its Flush); never throws.
    ~IndentingOutputStreamAsStreambuf() override;

    // Sends the put area to the target without calling the target's Flush.
    void EmptyPutArea();
    void AddIndent(int n) { m_indent += n; }
    int GetIndent() const { return m_indent; }
    IOutputStream* GetTarget() const { return m_target; }
    // Whether the destructor sends what is buffered (a writer whose target dies first
    // turns it off).
    void SetFlushOnDestroy(bool on) { m_flushOnDestroy = on; }

protected:
    int_type overflow(int_type c) override;
    int sync() override;

private:
    void SendIndented(const char* b, const char* e);

    bool m_flushOnDestroy = true;
    int32_t m_indent = 0;
    bool m_atLineStart = true;
    IOutputStream* m_target;
    char m_putArea[kPutAreaSize];
};

// The standard narrow stream over its own indenting stream buffer; its format state is
// what the writer's integer routines read.
class IndentingOutputStreamToOStream : public std::ostream {
public:
    explicit IndentingOutputStreamToOStream(IOutputStream* target);
    IndentingOutputStreamAsStreambuf& Buffer() { return m_buf; }
private:
    IndentingOutputStreamAsStreambuf m_buf;
};

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
    TextWriter& Put(char c)
    {
        if (m_stream->width() != 0) return Write(&c, 1);
        m_stream->Buffer().sputc(c);
        return *this;
    }
    // The bytes as they are; no width handling.
    TextWriter& WriteString(const xstring& s);
    TextWriter& WriteHex32(uint32_t v);
    TextWriter& SetPrecision(int n);
    TextWriter& SetWidth(int n);
    TextWriter& SetFill(char c);
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

protected:
    // Deletes the stream now; with sendBuffered false what is still buffered is dropped.
    void DestroyStream(bool sendBuffered) noexcept;

private:
    TextWriter& WriteInteger(uint64_t magnitude, bool negative, bool isSigned, uint64_t bits);
    void WritePadded(const char* p, std::streamsize n, int prefix);
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
    // Destroys the stream before the buffer it writes to.
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

// The process-wide console writer over standard output (a StdioOutputStream). It lives
// until the process exits and writes what it still holds then.
TextWriter& GetConsoleWriter();
// Flushes the console writer and standard output, then waits for one key press; returns
// at once at the end of standard input.
void WaitForKeyPress();

} // namespace vorn
