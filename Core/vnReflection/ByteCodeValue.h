// vorn::ReflectionByteCodeValue: an owned, self-contained copy of the byte code of one
// type (metadata, qualifiers and typedef names as written) with a string table of its
// own: one NUL-terminated name per name reference, in the order of the references, the
// copied indices renumbered 0, 1, 2, ... (metadata strings and functor names included).
// Values are ordered by their byte code, then by their names (bytewise, a proper prefix
// first), and are the keys of the type-operations tables.
// Stored form: the byte code as a compressed length and its bytes, then the names the
// same way. Reading checks what it reads: the byte code must be exactly one well-formed
// type whose indices all lie below the number of names, and the names must be
// terminated; anything else throws DeserialisationException.
#pragma once
#include "vnReflection/ByteCode.h"
#include "vnUtils/Archive.h"
#include "vnUtils/XVector.h"

namespace vorn {

class TextWriter;

class ReflectionByteCodeValue {
public:
    ReflectionByteCodeValue() = default;
    // Copies the type at the cursor; throws ProgrammingErrorException when it breaks
    // the grammar or names a string that cannot be taken (nothing is kept then).
    explicit ReflectionByteCodeValue(const ReflectionByteCode& bc);
    // The copy has an empty pointer cache.
    ReflectionByteCodeValue(const ReflectionByteCodeValue& o) : m_byteCode(o.m_byteCode), m_strings(o.m_strings) {}
    ReflectionByteCodeValue(ReflectionByteCodeValue&& o) noexcept = default;
    ReflectionByteCodeValue& operator=(const ReflectionByteCodeValue& o);
    ReflectionByteCodeValue& operator=(ReflectionByteCodeValue&& o) noexcept = default;

    // Replaces the contents with a copy of the type at the cursor; false (and an empty
    // value) when the type breaks the grammar.
    bool Assign(const ReflectionByteCode& bc);
    void Clear();

    const xvector<uint8_t>& GetByteCodeBytes() const { return m_byteCode; }
    const xvector<uint8_t>& GetStringBytes() const { return m_strings; }
    bool IsEmpty() const { return m_byteCode.empty(); }
    int32_t GetNumNames() const;
    // The start of each name, built on first request.
    const char* const* GetStringPointers();
    // A cursor at the start of the value's byte code over its own names (null when
    // empty); valid while the value is unchanged.
    ReflectionByteCode GetByteCode();

    // Replaces the contents with checked bytes; throws DeserialisationException (and
    // leaves the value unchanged) when they do not form a value.
    void SetBytes(xvector<uint8_t> byteCode, xvector<uint8_t> strings);

    void Serialise(Archive& ar) const;
    InputArchive Deserialise(InputArchive in);
    // The type as text, with the value's own names.
    void Print(TextWriter& w) const;

    friend bool operator<(const ReflectionByteCodeValue& a, const ReflectionByteCodeValue& b);
    friend bool operator==(const ReflectionByteCodeValue& a, const ReflectionByteCodeValue& b)
    {
        return a.m_byteCode == b.m_byteCode && a.m_strings == b.m_strings;
    }

private:
    xvector<uint8_t> m_byteCode;
    xvector<uint8_t> m_strings;
    xvector<const char*> m_stringPointers;
};

// The reflected type operations of ReflectionByteCodeValue: print, construct N (empty
// values), copy-construct N and assign N (deep copies), destruct N, serialise N and
// deserialise N (checked, as Deserialise).
struct ReflectionByteCodeValueOps {
    static void Print(TextWriter& w, const void* v);
    static void ConstructN(void* first, ssize_t stride, ssize_t count);
    static void CopyConstructN(void* dst, ssize_t dstStride, const void* src, ssize_t srcStride, ssize_t count);
    static void AssignN(void* dst, ssize_t dstStride, const void* src, ssize_t srcStride, ssize_t count);
    static void DestructN(void* first, ssize_t stride, ssize_t count);
    static void SerialiseN(Archive& ar, const void* first, ssize_t stride, ssize_t count);
    static InputArchive DeserialiseN(InputArchive in, void* first, ssize_t stride, ssize_t count);

    static constexpr TypeOps Table()
    {
        TypeOps ops{};
        ops.m_size = int32_t(sizeof(ReflectionByteCodeValue));
        ops.m_print = &Print;
        ops.m_constructN = &ConstructN;
        ops.m_copyConstructN = &CopyConstructN;
        ops.m_assignN = &AssignN;
        ops.m_destructN = &DestructN;
        ops.m_serialiseN = &SerialiseN;
        ops.m_deserialiseN = &DeserialiseN;
        return ops;
    }
};

} // namespace vorn
