#include "vnUtils/TextWriter.h"
#include "vnUtils/Guid.h"
#include <cstring>

namespace vorn {

namespace {

constexpr char kSpaces[128] = {
    ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
    ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
    ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
    ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
    ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
    ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
    ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
    ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
};

constexpr char kLowerHex[] = "0123456789abcdef";
constexpr char kUpperHex[] = "0123456789ABCDEF";

void PutFill(std::streambuf& b, char fill, std::streamsize count)
{
    for (; count > 0; --count) b.sputc(fill);
}

// Restores the flush-on-destroy switch however the put area's emptying ends.
struct SwitchRestorer {
    bool& flag;
    bool saved;
    ~SwitchRestorer() { flag = saved; }
};

} // namespace

// ---- IndentingOutputStreamAsStreambuf

IndentingOutputStreamAsStreambuf::IndentingOutputStreamAsStreambuf(IOutputStream* target) : m_target(target)
{
    setp(m_putArea, m_putArea + kPutAreaSize);
}

IndentingOutputStreamAsStreambuf::~IndentingOutputStreamAsStreambuf()
{
    if (!m_flushOnDestroy) return;
    try {
        EmptyPutArea();
    } catch (...) {
        // A destructor must not throw; what the target refused is lost.
    }
}

void IndentingOutputStreamAsStreambuf::EmptyPutArea()
{
    const char* b = pbase();
    const char* e = pptr();
    if (b == e) return;
    // The area is reset first, so a target that throws never gets the same text twice.
    setp(m_putArea, m_putArea + kPutAreaSize);
    SwitchRestorer restore{m_flushOnDestroy, m_flushOnDestroy};
    m_flushOnDestroy = false;
    if (m_indent <= 0) {
        m_atLineStart = e[-1] == '\n';
        m_target->WriteStream(b, e - b);
    } else {
        SendIndented(b, e);
    }
}

void IndentingOutputStreamAsStreambuf::SendIndented(const char* p, const char* e)
{
    while (p < e) {
        if (m_atLineStart) {
            m_atLineStart = false;
            for (int32_t left = m_indent; left > 0; left -= 128)
                m_target->WriteStream(kSpaces, left < 128 ? left : 128);
        }
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', size_t(e - p)));
        const char* lineEnd = nl ? nl + 1 : e;
        if (nl) m_atLineStart = true;
        m_target->WriteStream(p, lineEnd - p);
        p = lineEnd;
    }
}

IndentingOutputStreamAsStreambuf::int_type IndentingOutputStreamAsStreambuf::overflow(int_type c)
{
    EmptyPutArea();
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
    return c;
}

int IndentingOutputStreamAsStreambuf::sync()
{
    EmptyPutArea();
    m_target->Flush();
    return 0;
}

IndentingOutputStreamToOStream::IndentingOutputStreamToOStream(IOutputStream* target)
    : std::ostream(&m_buf), m_buf(target)
{
    // A failing target shows as its own exception, not as a silently bad stream.
    exceptions(std::ios_base::badbit);
}

// ---- TextWriter

TextWriter::TextWriter(IOutputStream* target) : m_stream(new IndentingOutputStreamToOStream(target)) {}

TextWriter::~TextWriter() { DestroyStream(true); }

void TextWriter::DestroyStream(bool sendBuffered) noexcept
{
    if (!m_stream) return;
    if (!sendBuffered) m_stream->Buffer().SetFlushOnDestroy(false);
    delete m_stream;
    m_stream = nullptr;
}

TextWriter& TextWriter::Write(const char* p, int n)
{
    WritePadded(p, n < 0 ? 0 : n, -1);
    return *this;
}

// Writes n characters padded to the stream's width with its fill, then resets the
// width. prefix is the length of a sign or "0x" that internal adjustment keeps in
// front of the fill; -1 for plain text, where internal counts as right.
void TextWriter::WritePadded(const char* p, std::streamsize n, int prefix)
{
    std::ostream& s = *m_stream;
    std::streambuf& b = m_stream->Buffer();
    const std::streamsize w = s.width();
    s.width(0);
    if (w <= n) {
        b.sputn(p, n);
        return;
    }
    const std::ios_base::fmtflags adjust = s.flags() & std::ios_base::adjustfield;
    if (adjust == std::ios_base::left) {
        b.sputn(p, n);
        PutFill(b, s.fill(), w - n);
    } else if (adjust == std::ios_base::internal && prefix >= 0) {
        b.sputn(p, prefix);
        PutFill(b, s.fill(), w - n);
        b.sputn(p + prefix, n - prefix);
    } else {
        PutFill(b, s.fill(), w - n);
        b.sputn(p, n);
    }
}

TextWriter& TextWriter::WriteInteger(uint64_t magnitude, bool negative, bool isSigned, uint64_t bits)
{
    std::ostream& s = *m_stream;
    const std::ios_base::fmtflags f = s.flags();
    const std::ios_base::fmtflags base = f & std::ios_base::basefield;
    char buf[36];
    char* const end = buf + sizeof(buf);
    char* p = end;
    int prefix = 0;
    if (base == std::ios_base::oct) {
        uint64_t v = bits;
        do { *--p = char('0' + (v & 7)); v >>= 3; } while (v);
        if ((f & std::ios_base::showbase) && bits) *--p = '0';
    } else if (base == std::ios_base::hex) {
        const bool upper = (f & std::ios_base::uppercase) != 0;
        const char* digits = upper ? kUpperHex : kLowerHex;
        uint64_t v = bits;
        do { *--p = digits[v & 15]; v >>= 4; } while (v);
        if ((f & std::ios_base::showbase) && bits) {
            *--p = upper ? 'X' : 'x';
            *--p = '0';
            prefix = 2;
        }
    } else {
        uint64_t v = magnitude;
        do { *--p = char('0' + v % 10); v /= 10; } while (v);
        if (negative) {
            *--p = '-';
            prefix = 1;
        } else if (isSigned && (f & std::ios_base::showpos)) {
            *--p = '+';
            prefix = 1;
        }
    }
    WritePadded(p, end - p, prefix);
    return *this;
}

namespace {
inline uint64_t Magnitude(int64_t v) { return v < 0 ? 0 - uint64_t(v) : uint64_t(v); }
} // namespace

TextWriter& TextWriter::operator<<(int32_t v) { return WriteInteger(Magnitude(v), v < 0, true, uint32_t(v)); }
TextWriter& TextWriter::operator<<(uint32_t v) { return WriteInteger(v, false, false, v); }
TextWriter& TextWriter::operator<<(int16_t v) { return WriteInteger(Magnitude(v), v < 0, true, uint16_t(v)); }
TextWriter& TextWriter::operator<<(uint16_t v) { return WriteInteger(v, false, false, v); }
TextWriter& TextWriter::operator<<(long v) { return WriteInteger(Magnitude(v), v < 0, true, uint64_t(v)); }
TextWriter& TextWriter::operator<<(unsigned long v) { return WriteInteger(v, false, false, v); }
TextWriter& TextWriter::operator<<(long long v) { return WriteInteger(Magnitude(v), v < 0, true, uint64_t(v)); }
TextWriter& TextWriter::operator<<(unsigned long long v) { return WriteInteger(v, false, false, v); }

TextWriter& TextWriter::operator<<(bool v)
{
    if (m_stream->flags() & std::ios_base::boolalpha) return v ? Write("true", 4) : Write("false", 5);
    return *this << int32_t(v);
}

TextWriter& TextWriter::operator<<(double v)
{
    try {
        *m_stream << v;
    } catch (...) {
        m_stream->clear();
        throw;
    }
    return *this;
}

TextWriter& TextWriter::operator<<(const char* z) { return Write(z, z ? int(std::strlen(z)) : 0); }

TextWriter& TextWriter::operator<<(const xstring& s) { return WriteString(s); }

TextWriter& TextWriter::WriteString(const xstring& s)
{
    m_stream->Buffer().sputn(s.data(), s.size());
    return *this;
}

TextWriter& TextWriter::operator<<(SubString8 r)
{
    if (r.empty()) return *this;
    const char* p = r.begin();
    if (m_stream->width() != 0) Write(p++, 1);
    m_stream->Buffer().sputn(p, r.end() - p);
    return *this;
}

TextWriter& TextWriter::operator<<(SubString16 r)
{
    for (const char16_t* p = r.begin(); p != r.end(); ++p) *this << uint16_t(*p);
    return *this;
}

TextWriter& TextWriter::WriteHex32(uint32_t v)
{
    char buf[8];
    for (int i = 7; i >= 0; --i, v >>= 4) buf[i] = kUpperHex[v & 15];
    return Write(buf, 8);
}

TextWriter& TextWriter::operator<<(const void* ptr)
{
    uint64_t v = reinterpret_cast<uintptr_t>(ptr);
    char buf[16];
    for (int i = 15; i >= 0; --i, v >>= 4) buf[i] = kUpperHex[v & 15];
    return Write(buf, 16);
}

TextWriter& TextWriter::operator<<(const Guid& g)
{
    const xstring text = GuidToString(g);
    if (!text.empty()) WriteString(text);
    return *this;
}

TextWriter& TextWriter::operator<<(std::ios_base& (*manip)(std::ios_base&))
{
    manip(*m_stream);
    return *this;
}

TextWriter& TextWriter::SetPrecision(int n)
{
    m_stream->precision(n);
    return *this;
}

TextWriter& TextWriter::SetWidth(int n)
{
    m_stream->width(n);
    return *this;
}

TextWriter& TextWriter::SetFill(char c)
{
    m_stream->fill(c);
    return *this;
}

void TextWriter::Flush() { m_stream->Buffer().pubsync(); }

std::ostream& TextWriter::GetStream() { return *m_stream; }

void TextWriter::AddIndent(int n)
{
    // What is buffered was written before: it keeps the old indentation.
    m_stream->Buffer().EmptyPutArea();
    m_stream->Buffer().AddIndent(n);
}

TextIndentGuard::~TextIndentGuard()
{
    try {
        m_writer.Flush();
        m_writer.AddIndent(-m_amount);
    } catch (...) {
        // A destructor must not throw.
    }
}

// ---- StringTextWriter

StringTextWriter::StringTextWriter() : TextWriter(&m_adapter), m_buffer(4096), m_adapter(&m_buffer) {}

// The collected text dies with the buffer, so nothing is sent.
StringTextWriter::~StringTextWriter() { DestroyStream(false); }

xstring StringTextWriter::TakeText()
{
    Flush();
    xstring text;
    m_buffer.CopyTo(text);
    m_buffer.Resize(0);
    m_buffer.SetWritePosition(0);
    return text;
}

// ---- free functions

void WriteHexBytes(int n, const void* p, TextWriter& w)
{
    if (n <= 0) return;
    const uint8_t* bytes = static_cast<const uint8_t*>(p);
    std::streambuf& b = *w.GetStream().rdbuf();
    char chunk[128];
    int used = 0;
    for (int i = n - 1; i >= 0; --i) {
        chunk[used++] = kLowerHex[bytes[i] >> 4];
        chunk[used++] = kLowerHex[bytes[i] & 15];
        if (used == int(sizeof(chunk))) {
            b.sputn(chunk, used);
            used = 0;
        }
    }
    b.sputn(chunk, used);
}

} // namespace vorn
