#include "vnReflection/ByteCodeValue.h"
#include "vnReflection/ByteCodeScan.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/TextWriter.h"
#include <cstring>
#include <new>

namespace vorn {

namespace {

// Copies one type from static byte code into a value's two vectors, renumbering every
// name reference; stops at the first thing outside the grammar.
class ByteCodeCopier {
public:
    static constexpr bool kLenient = false;

    ByteCodeCopier(StringTable table, xvector<uint8_t>& byteCode, xvector<uint8_t>& strings)
        : m_table(table), m_byteCode(byteCode), m_strings(strings) {}

    bool Bytes(const uint8_t* p, int n)
    {
        m_byteCode.append(p, n);
        return true;
    }

    // The code, then the name appended to the strings and its new index.
    bool Name(const uint8_t* p)
    {
        const int16_t index = ReadByteCodeInt16(p + 1);
        if (!m_table || index < 0 || m_next > INT16_MAX) return false;
        const char* name = m_table[index];
        if (!name) return false;
        m_byteCode.push_back(*p);
        m_strings.append(reinterpret_cast<const uint8_t*>(name), int32_t(std::strlen(name)) + 1);
        const uint8_t newIndex[2] = {uint8_t(m_next & 0xFF), uint8_t(m_next >> 8)};
        m_byteCode.append(newIndex, 2);
        ++m_next;
        return true;
    }

private:
    StringTable m_table;
    xvector<uint8_t>& m_byteCode;
    xvector<uint8_t>& m_strings;
    int32_t m_next = 0;
};

// Checks every name index of stored byte code against the number of names.
struct NameIndexCheck {
    static constexpr bool kLenient = false;
    bool Bytes(const uint8_t*, int) { return true; }
    bool Name(const uint8_t* p)
    {
        const int16_t index = ReadByteCodeInt16(p + 1);
        return index >= 0 && index < numNames;
    }
    int32_t numNames;
};

int32_t CountNames(const xvector<uint8_t>& strings)
{
    int32_t n = 0;
    for (uint8_t b : strings) n += b == 0;
    return n;
}

int CompareByteVectors(const xvector<uint8_t>& a, const xvector<uint8_t>& b)
{
    const int32_t n = a.size() < b.size() ? a.size() : b.size();
    if (n > 0) {
        const int r = std::memcmp(a.data(), b.data(), size_t(n));
        if (r != 0) return r;
    }
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

} // namespace

ReflectionByteCodeValue::ReflectionByteCodeValue(const ReflectionByteCode& bc)
{
    if (!Assign(bc)) throw ProgrammingErrorException("ReflectionByteCodeValue : malformed type in reflection byte code");
}

ReflectionByteCodeValue& ReflectionByteCodeValue::operator=(const ReflectionByteCodeValue& o)
{
    if (this != &o) {
        m_byteCode = o.m_byteCode;
        m_strings = o.m_strings;
        m_stringPointers.clear();
    }
    return *this;
}

void ReflectionByteCodeValue::Clear()
{
    m_byteCode.clear();
    m_strings.clear();
    m_stringPointers.clear();
}

bool ReflectionByteCodeValue::Assign(const ReflectionByteCode& bc)
{
    Clear();
    if (bc.IsNull()) return false;
    ByteCodeCopier copier(bc.m_stringTable, m_byteCode, m_strings);
    if (!detail::WalkType(bc.m_cursor, nullptr, copier)) {
        Clear();
        return false;
    }
    return true;
}

int32_t ReflectionByteCodeValue::GetNumNames() const { return CountNames(m_strings); }

const char* const* ReflectionByteCodeValue::GetStringPointers()
{
    if (m_stringPointers.empty() && !m_strings.empty()) {
        m_stringPointers.reserve(GetNumNames());
        const char* s = reinterpret_cast<const char*>(m_strings.data());
        const char* const end = s + m_strings.size();
        while (s < end) {
            m_stringPointers.push_back(s);
            s += std::strlen(s) + 1;
        }
    }
    return m_stringPointers.data();
}

ReflectionByteCode ReflectionByteCodeValue::GetByteCode()
{
    if (m_byteCode.empty()) return ReflectionByteCode();
    return ReflectionByteCode(m_byteCode.data(), GetStringPointers());
}

void ReflectionByteCodeValue::SetBytes(xvector<uint8_t> byteCode, xvector<uint8_t> strings)
{
    if (!strings.empty() && strings.back() != 0)
        ThrowDeserialisationException("ReflectionByteCodeValue : unterminated name");
    if (!byteCode.empty()) {
        const uint8_t* end = byteCode.data() + byteCode.size();
        NameIndexCheck check{CountNames(strings)};
        const uint8_t* after = detail::WalkType(byteCode.data(), end, check);
        if (!after) ThrowDeserialisationException("ReflectionByteCodeValue : malformed byte code");
        if (after != end) ThrowDeserialisationException("ReflectionByteCodeValue : bytes after the type");
    } else if (!strings.empty()) {
        ThrowDeserialisationException("ReflectionByteCodeValue : names without byte code");
    }
    m_byteCode = std::move(byteCode);
    m_strings = std::move(strings);
    m_stringPointers.clear();
}

void ReflectionByteCodeValue::Serialise(Archive& ar) const
{
    ar.SerialiseXvector(m_byteCode);
    ar.SerialiseXvector(m_strings);
}

InputArchive ReflectionByteCodeValue::Deserialise(InputArchive in)
{
    xvector<uint8_t> byteCode;
    xvector<uint8_t> strings;
    in = DeserialiseXvector(in, byteCode);
    in = DeserialiseXvector(in, strings);
    SetBytes(std::move(byteCode), std::move(strings));
    return in;
}

void ReflectionByteCodeValue::Print(TextWriter& w) const
{
    if (m_byteCode.empty()) return;
    // A local table, so that printing a shared value writes nothing into it.
    xvector<const char*> names;
    names.reserve(GetNumNames());
    const char* s = reinterpret_cast<const char*>(m_strings.data());
    const char* const end = s + m_strings.size();
    while (s < end) {
        names.push_back(s);
        s += std::strlen(s) + 1;
    }
    PrintByteCodeType(w, ReflectionByteCode(m_byteCode.data(), names.data()));
}

bool operator<(const ReflectionByteCodeValue& a, const ReflectionByteCodeValue& b)
{
    const int r = CompareByteVectors(a.m_byteCode, b.m_byteCode);
    if (r != 0) return r < 0;
    return CompareByteVectors(a.m_strings, b.m_strings) < 0;
}

// ---- type operations -------------------------------------------------------------

namespace {

using Value = ReflectionByteCodeValue;

Value* At(void* first, ssize_t stride, ssize_t i) { return reinterpret_cast<Value*>(static_cast<char*>(first) + stride * i); }
const Value* At(const void* first, ssize_t stride, ssize_t i)
{
    return reinterpret_cast<const Value*>(static_cast<const char*>(first) + stride * i);
}

} // namespace

void ReflectionByteCodeValueOps::Print(TextWriter& w, const void* v) { static_cast<const Value*>(v)->Print(w); }

void ReflectionByteCodeValueOps::ConstructN(void* first, ssize_t stride, ssize_t count)
{
    if (!first) return;
    for (ssize_t i = 0; i < count; ++i) new (At(first, stride, i)) Value();
}

void ReflectionByteCodeValueOps::CopyConstructN(void* dst, ssize_t dstStride, const void* src, ssize_t srcStride,
                                                ssize_t count)
{
    if (!dst) return;
    for (ssize_t i = 0; i < count; ++i) new (At(dst, dstStride, i)) Value(*At(src, srcStride, i));
}

void ReflectionByteCodeValueOps::AssignN(void* dst, ssize_t dstStride, const void* src, ssize_t srcStride, ssize_t count)
{
    for (ssize_t i = 0; i < count; ++i) *At(dst, dstStride, i) = *At(src, srcStride, i);
}

void ReflectionByteCodeValueOps::DestructN(void* first, ssize_t stride, ssize_t count)
{
    if (!first) return;
    for (ssize_t i = 0; i < count; ++i) At(first, stride, i)->~Value();
}

void ReflectionByteCodeValueOps::SerialiseN(Archive& ar, const void* first, ssize_t stride, ssize_t count)
{
    for (ssize_t i = 0; i < count; ++i) At(first, stride, i)->Serialise(ar);
}

InputArchive ReflectionByteCodeValueOps::DeserialiseN(InputArchive in, void* first, ssize_t stride, ssize_t count)
{
    for (ssize_t i = 0; i < count; ++i) in = At(first, stride, i)->Deserialise(in);
    return in;
}

} // namespace vorn
