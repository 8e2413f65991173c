// vorn::ReflectionByteCode: a cursor over the reflection byte code of one type (codes in
// TypeByteCode.h), with the string table that its named types index. It reads in place
// from static data and allocates nothing; multi-byte values are unaligned and
// little-endian. The grammar of one type:
//   type   := meta* ( basic | named index16 | prefix type | FT_ARRAY int32 type
//                   | FT_MAP type type )
//   prefix := FT_VOLATILE .. FT_REFERENCE | FT_INTERFACE_POINTER .. FT_DYNARRAY
// Metadata items (meta) are described in MetaData.h.
// Also here: the byte code of a record's members, type sizes (native x86-64), and the
// printing of a type in a declaration-like form.
#pragma once
#include "vnReflection/Records.h"
#include "vnReflection/TypeByteCode.h"
#include <cstdint>
#include <cstring>

namespace vorn {

class TextWriter;

// Native sizes of the framework values that byte code names without a record.
constexpr int32_t kPseudoFunctorSize = 2 * int32_t(sizeof(void*));
constexpr int32_t kInterfacePointerSize = int32_t(sizeof(AnyInterface));
constexpr int32_t kVectorSize = int32_t(sizeof(xvector<uint8_t>));
// A pref: its 8-byte object identifier and the cached {object, table} pair.
constexpr int32_t kPrefSize = 8 + int32_t(sizeof(AnyInterface));
// The ordered containers (set, map): a header of four pointer-sized words.
constexpr int32_t kOrderedContainerSize = 4 * int32_t(sizeof(void*));

// True for the codes of the basic types (FT_VOID .. FT_STRING16).
constexpr bool IsBasicTypeCode(uint8_t c) { return c <= FT_STRING16; }
// True for the named codes (FT_CLASS .. FT_NOT_REFLECTED), each followed by an index.
constexpr bool IsNamedTypeCode(uint8_t c) { return c >= FT_CLASS && c <= FT_NOT_REFLECTED; }
// True for the prefixes of one type (qualifiers, pointer, reference, element prefixes).
constexpr bool IsPrefixTypeCode(uint8_t c)
{
    return (c >= FT_VOLATILE && c <= FT_REFERENCE) || (c >= FT_INTERFACE_POINTER && c <= FT_DYNARRAY);
}
constexpr bool IsQualifierCode(uint8_t c) { return c >= FT_VOLATILE && c <= FT_OFFSETTABLE; }
constexpr bool IsMetaDataCode(uint8_t c) { return c >= MDT_FLAGS; }

struct ReflectionByteCode {
    ByteCode m_cursor = nullptr;          // the next byte; null for a null byte code
    StringTable m_stringTable = nullptr;  // names indexed by the named codes
    intptr_t m_extra = 0;                 // a model field's last word; 0 otherwise

    ReflectionByteCode() = default;
    ReflectionByteCode(ByteCode cursor, StringTable table, intptr_t extra = 0)
        : m_cursor(cursor), m_stringTable(table), m_extra(extra) {}

    ReflectionByteCode Clone() const { return *this; }
    bool IsNull() const { return m_cursor == nullptr; }

    // The byte at the cursor; advance 1.
    uint8_t ReadType() { return *m_cursor++; }
    uint8_t ReadByte() { return *m_cursor++; }
    bool ReadBool() { return *m_cursor++ != 0; }
    int16_t ReadInt16() { return ReadRaw<int16_t>(); }
    int32_t ReadInt32() { return ReadRaw<int32_t>(); }
    double ReadFloat64() { return ReadRaw<double>(); }
    // A 16-bit index; the name it selects.
    const char* ReadString() { return m_stringTable[ReadInt16()]; }

    void increment() { ++m_cursor; }
    void ScanPastBool() { ++m_cursor; }
    void ScanPastInt16() { m_cursor += 2; }
    void ScanPastString() { m_cursor += 2; }
    void ScanPastInt32() { m_cursor += 4; }
    void ScanPastFloat64() { m_cursor += 8; }

    // The code at the cursor.
    uint8_t Peek() const { return *m_cursor; }
    // The name of the named type whose code is at the cursor (the cursor stays).
    const char* GetNameAtCursor() const;

    // The cursor is at a named-type code: the record of that name in the registry of
    // the kind, or null when it is not registered. The cursor does not move.
    const ReflectedInterface* GetReflectedInterface() const;
    const ReflectedClass* GetReflectedClass() const;
    const ReflectedVariant* GetReflectedVariant() const;
    const ReflectedTypedef* GetReflectedTypedef() const;
    const ReflectedEnum* GetReflectedEnum() const;
    const ReflectedFunctor* GetReflectedFunctor() const;

    // Skips one metadata item (with nested items) at the cursor.
    void ScanMetaDataItem();
    // Skips one complete type; returns its last code.
    uint8_t ScanType();
    // Skips metadata items and qualifiers, resolving typedefs through the typedef
    // registry; returns the code now at the cursor, which stays on it. A typedef that
    // is not registered stops the walk on its FT_TYPEDEF code.
    uint8_t AdvanceToUnderlyingType();
    // The same; returns the union of the EByteCodeQualifier bits met.
    int32_t AdvanceToUnderlyingType2();
    uint8_t GetUnderlyingType() const { return Clone().AdvanceToUnderlyingType(); }

    // bool .. char16, enum, function pointer, pointer and reference.
    bool IsPOD() const;
    bool IsConst() const { return (Clone().AdvanceToUnderlyingType2() & BCQ_CONST) != 0; }
    // The size of a value of the type in bytes (native); -1 for a type without one
    // (void, interfaces, unregistered records, unsized elements, oversized arrays).
    int32_t GetTypeSize() const;
    int32_t GetTypeSizeOnUnderlyingType() const;

private:
    template <class T>
    T ReadRaw()
    {
        T v;
        std::memcpy(&v, m_cursor, sizeof(T));
        m_cursor += sizeof(T);
        return v;
    }
};

// The unaligned little-endian values inside byte code.
inline int16_t ReadByteCodeInt16(ByteCode p)
{
    int16_t v;
    std::memcpy(&v, p, 2);
    return v;
}
inline int32_t ReadByteCodeInt32(ByteCode p)
{
    int32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// ---- the byte code of a record's members -------------------------------------------

ReflectionByteCode GetFieldByteCode(const ReflectedClass& rc, const ReflectedField& field);
ReflectionByteCode GetModelFieldByteCode(const ReflectedClass& rc, const ReflectedModelField& field);
ReflectionByteCode GetClassMethodArgByteCode(const ReflectedClass& rc, const ReflectedArg& arg);
// A null byte code for a void method.
ReflectionByteCode GetClassMethodReturnTypeByteCode(const ReflectedClass& rc, const ReflectedClassMethod& method);
ReflectionByteCode GetInterfaceAttributeByteCode(const ReflectedInterface& ri, const ReflectedAttribute& attribute);
ReflectionByteCode GetInterfaceMethodArgByteCode(const ReflectedInterface& ri, const ReflectedArg& arg);
ReflectionByteCode GetInterfaceMethodReturnTypeByteCode(const ReflectedInterface& ri,
                                                        const ReflectedInterfaceMethod& method);
ReflectionByteCode GetFunctorArgByteCode(const ReflectedFunctor& rf, const ReflectedArg& arg);
ReflectionByteCode GetFunctorReturnTypeByteCode(const ReflectedFunctor& rf);
ReflectionByteCode GetGlobalFunctionArgByteCode(const ReflectedGlobalFunction& rf, const ReflectedArg& arg);
ReflectionByteCode GetGlobalFunctionReturnTypeByteCode(const ReflectedGlobalFunction& rf);
ReflectionByteCode GetVariantFieldByteCode(const ReflectedVariant& rv, const ReflectedField& field);
ReflectionByteCode GetTypeDefByteCode(const ReflectedTypedef& td);
ReflectionByteCode GetGlobalVariableByteCode(const ReflectedGlobalVariable& gv);

// ---- printing ------------------------------------------------------------------

enum EPrintByteCodeOptions : int32_t {
    PBC_NONE = 0,
    PBC_SHOW_METADATA = 1, // write " : " and each metadata item after the type it precedes
    PBC_SHOW_KIND = 2,     // "class X", "enum X", ... for named types
};

// Writes the type at the cursor, e.g. "xvector<pref<vorn::TilvexNode> >",
// "vorn::ReflectedClass const*", "map<int32,string8>", "int8[8]".
void PrintByteCodeType(TextWriter& w, const ReflectionByteCode& bc, int32_t options = PBC_NONE);
// The same, as a string.
xstring ByteCodeTypeToString(const ReflectionByteCode& bc, int32_t options = PBC_NONE);

} // namespace vorn
