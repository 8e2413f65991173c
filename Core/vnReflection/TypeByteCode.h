// The codes of reflection byte code: the byte strings in static data that describe the
// type of a field, an argument, a return value or a typedef. Basic types are one code;
// named types are a code followed by a 16-bit little-endian index into the string table
// of the record that owns the byte code (VORN_BC_INDEX writes those two bytes).
#pragma once
#include <cstdint>

namespace vorn {

enum ETypeByteCode : uint8_t {
    // Basic types, one byte each.
    FT_VOID = 0,
    FT_BOOL = 1,
    FT_INT8 = 2,
    FT_INT16 = 3,
    FT_INT32 = 4,
    FT_INT64 = 5,
    FT_INT128 = 6,
    FT_UINT8 = 7,
    FT_UINT16 = 8,
    FT_UINT32 = 9,
    FT_UINT64 = 10,
    FT_UINT128 = 11,
    FT_FLOAT32 = 12,
    FT_FLOAT64 = 13,
    FT_CHAR8 = 14,
    FT_CHAR16 = 15,
    FT_STRING8 = 16,
    FT_STRING16 = 17,

    // Named types: the code, then a 16-bit signed index into the owner's string table.
    FT_CLASS = 32,
    FT_INTERFACE = 33,
    FT_TYPEDEF = 34,
    FT_ENUM = 35,
    FT_FUNCTOR = 36,
    FT_VARIANT = 37,
    FT_FUNCTION_PTR = 38,
    FT_NOT_REFLECTED = 39,

    // Prefixes that qualify the type that follows.
    FT_VOLATILE = 48,
    FT_CONST = 49,
    FT_ASSIGNABLE = 50,
    FT_MOVABLE = 51,
    FT_OFFSETTABLE = 52,
    FT_POINTER = 53,
    FT_REFERENCE = 54,

    // Prefixes of one element type.
    FT_INTERFACE_POINTER = 64,
    FT_OPEN_VARIANT = 65,
    FT_PREF = 66,
    FT_CREF = 67,
    FT_VECTOR = 68,
    FT_DEQUE = 69,
    FT_LIST = 70,
    FT_SET = 71,
    FT_BAG = 72,
    FT_DYNARRAY = 73,

    // FT_ARRAY: an int32 element count (little-endian), then the element type.
    FT_ARRAY = 80,
    // FT_MAP: the key type, then the value type.
    FT_MAP = 81,

    // Template parameters; never part of a registered type.
    FT_PARAM_0 = 96,
    FT_PARAM_1 = 97,
    FT_PARAM_2 = 98,
    FT_PARAM_3 = 99,
    FT_PARAM_4 = 100,
    FT_PARAM_5 = 101,

    // Metadata items written ahead of a type: the code, then its payload.
    MDT_FLAGS = 160,   // int32
    MDT_BOOL = 161,    // one byte
    MDT_INT32 = 162,   // int32
    MDT_FLOAT64 = 163, // 8-byte IEEE double
    MDT_STRING = 164,  // 16-bit string-table index
    MDT_BEGIN_FUNCTOR = 165,
    MDT_END_FUNCTOR = 166,
    MDT_BEGIN_LIST = 167,
    MDT_END_LIST = 168,
    // A 16-bit index of the functor's name, then (code - MDT_FUNCTOR_0) argument items.
    MDT_FUNCTOR_0 = 192,
    MDT_FUNCTOR_1 = 193,
    MDT_FUNCTOR_2 = 194,
    MDT_FUNCTOR_3 = 195,
    MDT_FUNCTOR_4 = 196,
    MDT_FUNCTOR_5 = 197,
    // (code - MDT_LIST_0) items.
    MDT_LIST_0 = 224,
    MDT_LIST_1 = 225,
    MDT_LIST_2 = 226,
    MDT_LIST_3 = 227,
    MDT_LIST_4 = 228,
    MDT_LIST_5 = 229,
};

// Bit flags of the qualifier prefixes FT_VOLATILE .. FT_OFFSETTABLE, in code order.
enum EByteCodeQualifier : int32_t {
    BCQ_VOLATILE = 1,
    BCQ_CONST = 2,
    BCQ_ASSIGNABLE = 4,
    BCQ_MOVABLE = 8,
    BCQ_OFFSETTABLE = 16,
};

} // namespace vorn

// The two bytes of a 16-bit string-table index, least significant first.
#define VORN_BC_INDEX(i) uint8_t((i) & 0xFF), uint8_t(((i) >> 8) & 0xFF)
