// The type operations of values given by reflection byte code. GetBasicTypeOps maps a
// type (metadata, qualifiers and typedefs skipped) to its table: one of the seventeen
// fixed tables of the basic types, pointers, interface pointers and PseudoFunctor; the
// table inside a registered class or variant record; the pref table for prefs; for any
// other type the table registered for its byte-code value (none by default). Types
// without operations give null.
//
// Fixed tables: equal, less, print, construct N (zeros / empty strings), copy-construct
// N, assign N, destruct N, serialise N and deserialise N (raw little-endian values;
// strings as a compressed count and their bytes or 16-bit units; none for pointers,
// interface pointers and functors), two visiting slots that do nothing, and binary
// lower and upper bounds over sorted arrays by the table's order.
#pragma once
#include "vnReflection/ByteCode.h"
#include "vnReflection/ByteCodeValue.h"
#include "vnReflection/Records.h"
#include <cstdint>

namespace vorn {

// The representation of a functor value in generic code: two words.
struct PseudoFunctor {
    uintptr_t m_first;
    uintptr_t m_second;
};
static_assert(sizeof(PseudoFunctor) == size_t(kPseudoFunctorSize));

const TypeOps* GetBasicTypeOps(const ReflectionByteCode& bc);

// The fixed tables.
enum EBasicTypeOps : int32_t {
    BTO_BOOL,
    BTO_INT8, // int8 and char8
    BTO_INT16,
    BTO_INT32, // int32 and enum
    BTO_INT64,
    BTO_UINT8,
    BTO_UINT16,
    BTO_UINT32,
    BTO_UINT64,
    BTO_FLOAT32,
    BTO_FLOAT64,
    BTO_CHAR16,
    BTO_STRING8,
    BTO_STRING16,
    BTO_PSEUDO_FUNCTOR,
    BTO_POINTER,           // function pointers and pointers
    BTO_INTERFACE_POINTER, // interface pointers and open variants
    BTO_COUNT,
};
const TypeOps& GetFixedTypeOps(EBasicTypeOps which);

// The process-wide registry of tables by byte-code value (created on first use,
// destroyed at exit). Register returns false and changes nothing when the value has a
// table already; Find returns null when it has none.
bool RegisterTypeOpsForByteCode(const ReflectionByteCodeValue& value, const TypeOps* ops);
const TypeOps* FindTypeOpsForByteCode(const ReflectionByteCodeValue& value);

// The table of prefs and crefs (null unless set).
void SetPrefTypeOps(const TypeOps* ops);
const TypeOps* GetPrefTypeOps();

} // namespace vorn
