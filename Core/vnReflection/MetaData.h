// Metadata: typed values, functor-like tags and lists written in reflection byte code
// ahead of a type. An item is a code (MDT_..., TypeByteCode.h) and its payload:
//   MDT_FLAGS, MDT_INT32 int32; MDT_BOOL one byte; MDT_FLOAT64 8-byte double;
//   MDT_STRING 16-bit name index; MDT_BEGIN/END_FUNCTOR/LIST nothing;
//   192 .. 223 (MDT_FUNCTOR_n) a 16-bit name index, then n = code - 192 argument items;
//   224 .. 255 (MDT_LIST_n) n = code - 224 items.
// vorn::MetaData reads the metadata list at its cursor: functors are looked up by name
// and their one argument read with a typed getter that reports failures as text.
// A cursor that is null or at a code that is not a list is an empty list; a lookup that
// meets a code that is no item stops there and finds nothing.
#pragma once
#include "vnReflection/ByteCode.h"
#include "vnUtils/XString.h"

namespace vorn {

class TextWriter;

struct MetaData {
    ByteCode m_cursor = nullptr;
    StringTable m_stringTable = nullptr;
    intptr_t m_extra = 0;

    // The list at the cursor has no items.
    bool Empty() const;
    // A functor of that name is the first of its name in the list and has no arguments.
    bool ExistsFunctor0(const char* name) const;
    // The one argument of the functor of that name, which must be an MDT_BOOL,
    // MDT_INT32, MDT_FLOAT64 or MDT_STRING item. On failure errorReason is one of
    //   "Functor named '<name>' not found"
    //   "Functor '<name>' has bad arity <n>"
    //   "Functor '<name>' has incompatible type"
    // and the value is untouched; on success errorReason is untouched.
    bool GetBool(const char* name, bool& value, xstring& errorReason) const;
    bool GetInt(const char* name, int32_t& value, xstring& errorReason) const;
    bool GetDouble(const char* name, double& value, xstring& errorReason) const;
    bool GetString(const char* name, xstring& value, xstring& errorReason) const;
    // GetString with the error discarded; empty when absent or mistyped.
    xstring GetString2(const char* name) const;

    // Finds the functor of that name: its arity and the position of its first argument.
    bool FindFunctor(const char* name, int32_t& arity, ByteCode& args) const;
};

// A metadata view kept apart from the byte code it came from.
struct ReadMetaData {
    ByteCode m_cursor = nullptr;
    StringTable m_stringTable = nullptr;
    intptr_t m_extra = 0;
};

// A byte code together with the qualifier bits met before it.
struct QualifiedByteCode {
    ByteCode m_byteCode = nullptr;
    int32_t m_qualifiers = 0;
};

// The metadata view of a byte code: a plain copy of its three words.
inline MetaData GetMetaData(const ReflectionByteCode& bc) { return MetaData{bc.m_cursor, bc.m_stringTable, bc.m_extra}; }

// Writes the metadata item at the cursor and moves past it: integers in decimal, a
// bool and a double as the writer prints them, a string between double quotes, a
// functor as its name with '(' arguments separated by ',' ')' when it has any, a list
// as '[' items separated by ',' ']'; MDT_BEGIN/END_FUNCTOR/LIST write nothing.
void PrintMetaDataItem(TextWriter& w, ReflectionByteCode& bc);

} // namespace vorn
