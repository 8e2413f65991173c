#include "vnReflection/ByteCode.h"
#include "vnReflection/ByteCodeScan.h"
#include "vnReflection/MetaData.h"
#include "vnReflection/Registry.h"
#include "vnUtils/TextWriter.h"

namespace vorn {

// ---- the cursor ----------------------------------------------------------------------

const char* ReflectionByteCode::GetNameAtCursor() const
{
    return m_stringTable[ReadByteCodeInt16(m_cursor + 1)];
}

const ReflectedInterface* ReflectionByteCode::GetReflectedInterface() const
{
    return FindReflectedInterface(GetNameAtCursor());
}
const ReflectedClass* ReflectionByteCode::GetReflectedClass() const { return FindReflectedClass(GetNameAtCursor()); }
const ReflectedVariant* ReflectionByteCode::GetReflectedVariant() const { return FindReflectedVariant(GetNameAtCursor()); }
const ReflectedTypedef* ReflectionByteCode::GetReflectedTypedef() const { return FindReflectedTypedef(GetNameAtCursor()); }
const ReflectedEnum* ReflectionByteCode::GetReflectedEnum() const { return FindReflectedEnum(GetNameAtCursor()); }
const ReflectedFunctor* ReflectionByteCode::GetReflectedFunctor() const { return FindReflectedFunctor(GetNameAtCursor()); }

namespace {

// The cursor walks byte code that registration already holds: leniently, noting the
// code of the last piece (the one that ends a type).
struct LastCode {
    static constexpr bool kLenient = true;
    bool Bytes(const uint8_t* p, int) { return last = *p, true; }
    bool Name(const uint8_t* p) { return last = *p, true; }
    uint8_t last = 0;
};

} // namespace

void ReflectionByteCode::ScanMetaDataItem()
{
    LastCode v;
    m_cursor = detail::WalkMetaDataItem(m_cursor, nullptr, v);
}

uint8_t ReflectionByteCode::ScanType()
{
    LastCode v;
    m_cursor = detail::WalkType(m_cursor, nullptr, v);
    return v.last;
}

int32_t ReflectionByteCode::AdvanceToUnderlyingType2()
{
    int32_t qualifiers = 0;
    for (;;) {
        const uint8_t c = *m_cursor;
        if (IsMetaDataCode(c)) {
            ScanMetaDataItem();
        } else if (IsQualifierCode(c)) {
            qualifiers |= int32_t(1) << (c - FT_VOLATILE);
            ++m_cursor;
        } else if (c == FT_TYPEDEF) {
            const ReflectedTypedef* td = GetReflectedTypedef();
            if (!td || !td->m_type) return qualifiers;
            m_cursor = td->m_type;
            m_stringTable = td->m_stringTable;
        } else {
            return qualifiers;
        }
    }
}

uint8_t ReflectionByteCode::AdvanceToUnderlyingType()
{
    AdvanceToUnderlyingType2();
    return *m_cursor;
}

bool ReflectionByteCode::IsPOD() const
{
    const uint8_t c = GetUnderlyingType();
    return (c >= FT_BOOL && c <= FT_CHAR16) || c == FT_ENUM || c == FT_FUNCTION_PTR || c == FT_POINTER ||
           c == FT_REFERENCE;
}

int32_t ReflectionByteCode::GetTypeSize() const
{
    ReflectionByteCode bc = Clone();
    bc.AdvanceToUnderlyingType();
    return bc.GetTypeSizeOnUnderlyingType();
}

int32_t ReflectionByteCode::GetTypeSizeOnUnderlyingType() const
{
    switch (*m_cursor) {
    case FT_BOOL:
    case FT_INT8:
    case FT_UINT8:
    case FT_CHAR8: return 1;
    case FT_INT16:
    case FT_UINT16:
    case FT_CHAR16: return 2;
    case FT_INT32:
    case FT_UINT32:
    case FT_FLOAT32:
    case FT_ENUM: return 4;
    case FT_FUNCTION_PTR:
    case FT_POINTER:
    case FT_REFERENCE: return int32_t(sizeof(void*));
    case FT_INT64:
    case FT_UINT64:
    case FT_FLOAT64: return 8;
    case FT_FUNCTOR: return kPseudoFunctorSize;
    case FT_INTERFACE_POINTER:
    case FT_OPEN_VARIANT: return kInterfacePointerSize;
    case FT_INT128:
    case FT_UINT128: return 16;
    case FT_SET:
    case FT_MAP: return kOrderedContainerSize;
    case FT_PREF:
    case FT_CREF: return kPrefSize;
    case FT_STRING8:
    case FT_STRING16:
    case FT_VECTOR:
    case FT_DYNARRAY: return kVectorSize;
    case FT_CLASS: {
        const ReflectedClass* rc = GetReflectedClass();
        return rc ? rc->m_size : -1;
    }
    case FT_VARIANT: {
        const ReflectedVariant* rv = GetReflectedVariant();
        return rv ? rv->m_size : -1;
    }
    case FT_ARRAY: {
        const int64_t count = ReadByteCodeInt32(m_cursor + 1);
        const int64_t element = ReflectionByteCode(m_cursor + 5, m_stringTable).GetTypeSize();
        if (count < 0 || element < 0) return -1;
        const int64_t size = count * element;
        return size > INT32_MAX ? -1 : int32_t(size);
    }
    default: return -1;
    }
}

// ---- the byte code of a record's members -------------------------------------------

ReflectionByteCode GetFieldByteCode(const ReflectedClass& rc, const ReflectedField& field)
{
    return ReflectionByteCode(field.m_type, rc.m_stringTable);
}
ReflectionByteCode GetModelFieldByteCode(const ReflectedClass& rc, const ReflectedModelField& field)
{
    return ReflectionByteCode(field.m_type, rc.m_stringTable, field.m_extra);
}
ReflectionByteCode GetClassMethodArgByteCode(const ReflectedClass& rc, const ReflectedArg& arg)
{
    return ReflectionByteCode(arg.m_type, rc.m_stringTable);
}
ReflectionByteCode GetClassMethodReturnTypeByteCode(const ReflectedClass& rc, const ReflectedClassMethod& method)
{
    return ReflectionByteCode(method.m_returnType, rc.m_stringTable);
}
ReflectionByteCode GetInterfaceAttributeByteCode(const ReflectedInterface& ri, const ReflectedAttribute& attribute)
{
    return ReflectionByteCode(attribute.m_type, ri.m_stringTable);
}
ReflectionByteCode GetInterfaceMethodArgByteCode(const ReflectedInterface& ri, const ReflectedArg& arg)
{
    return ReflectionByteCode(arg.m_type, ri.m_stringTable);
}
ReflectionByteCode GetInterfaceMethodReturnTypeByteCode(const ReflectedInterface& ri,
                                                        const ReflectedInterfaceMethod& method)
{
    return ReflectionByteCode(method.m_returnType, ri.m_stringTable);
}
ReflectionByteCode GetFunctorArgByteCode(const ReflectedFunctor& rf, const ReflectedArg& arg)
{
    return ReflectionByteCode(arg.m_type, rf.m_stringTable);
}
ReflectionByteCode GetFunctorReturnTypeByteCode(const ReflectedFunctor& rf)
{
    return ReflectionByteCode(rf.m_returnType, rf.m_stringTable);
}
ReflectionByteCode GetGlobalFunctionArgByteCode(const ReflectedGlobalFunction& rf, const ReflectedArg& arg)
{
    return ReflectionByteCode(arg.m_type, rf.m_stringTable);
}
ReflectionByteCode GetGlobalFunctionReturnTypeByteCode(const ReflectedGlobalFunction& rf)
{
    return ReflectionByteCode(rf.m_returnType, rf.m_stringTable);
}
ReflectionByteCode GetVariantFieldByteCode(const ReflectedVariant& rv, const ReflectedField& field)
{
    return ReflectionByteCode(field.m_type, rv.m_stringTable);
}
ReflectionByteCode GetTypeDefByteCode(const ReflectedTypedef& td)
{
    return ReflectionByteCode(td.m_type, td.m_stringTable);
}
ReflectionByteCode GetGlobalVariableByteCode(const ReflectedGlobalVariable& gv)
{
    return ReflectionByteCode(gv.m_type, gv.m_stringTable);
}

// ---- printing ------------------------------------------------------------------

namespace {

constexpr const char* kBasicNames[] = {"void",   "bool",   "int8",    "int16",   "int32",   "int64",
                                       "int128", "uint8",  "uint16",  "uint32",  "uint64",  "uint128",
                                       "float32", "float64", "char8", "char16", "string8", "string16"};
static_assert(std::size(kBasicNames) == FT_STRING16 + 1);

// Indexed by code - FT_CLASS; FT_NOT_REFLECTED has none.
constexpr const char* kKindKeywords[] = {"class", "interface", "typedef", "enum", "functor", "variant", "function", nullptr};

// Indexed by code - FT_INTERFACE_POINTER.
constexpr const char* kElementWords[] = {"ptr",   "openvariant", "pref", "cref", "xvector",
                                         "xdeque", "xlist",      "xset", "xbag", "DynArray"};

bool IsElementPrefix(uint8_t c) { return c >= FT_INTERFACE_POINTER && c <= FT_DYNARRAY; }

void PrintType(TextWriter& w, ReflectionByteCode& bc, int32_t options, int depth)
{
    if (depth > detail::kMaxByteCodeDepth) {
        w << "...";
        return;
    }
    const ByteCode metaStart = bc.m_cursor;
    while (IsMetaDataCode(bc.Peek())) bc.ScanMetaDataItem();
    const ByteCode metaEnd = bc.m_cursor;

    const uint8_t c = bc.ReadType();
    if (IsBasicTypeCode(c)) {
        w << kBasicNames[c];
    } else if (IsNamedTypeCode(c)) {
        const char* keyword = kKindKeywords[c - FT_CLASS];
        if ((options & PBC_SHOW_KIND) && keyword) w << keyword << ' ';
        w << bc.ReadString();
    } else if (IsElementPrefix(c)) {
        w << kElementWords[c - FT_INTERFACE_POINTER] << '<';
        ReflectionByteCode probe = bc.Clone();
        while (IsMetaDataCode(probe.Peek())) probe.ScanMetaDataItem();
        const bool blank = IsElementPrefix(probe.Peek());
        PrintType(w, bc, options, depth + 1);
        if (blank) w << ' ';
        w << '>';
    } else {
        switch (c) {
        case FT_VOLATILE:
            PrintType(w, bc, options, depth + 1);
            w << " volatile";
            break;
        case FT_CONST:
            PrintType(w, bc, options, depth + 1);
            w << " const";
            break;
        case FT_ASSIGNABLE:
        case FT_MOVABLE:
        case FT_OFFSETTABLE: PrintType(w, bc, options, depth + 1); break;
        case FT_POINTER:
            PrintType(w, bc, options, depth + 1);
            w << '*';
            break;
        case FT_REFERENCE:
            PrintType(w, bc, options, depth + 1);
            w << '&';
            break;
        case FT_ARRAY: {
            const int32_t count = bc.ReadInt32();
            PrintType(w, bc, options, depth + 1);
            w << '[' << count << ']';
            break;
        }
        case FT_MAP:
            w << "map<";
            PrintType(w, bc, options, depth + 1);
            w << ',';
            PrintType(w, bc, options, depth + 1);
            w << '>';
            break;
        default:
            // Outside the grammar: the code is named and the walk ends on it.
            w << "<bad type code " << int32_t(c) << '>';
            break;
        }
    }

    if ((options & PBC_SHOW_METADATA) && metaStart != metaEnd) {
        ReflectionByteCode item(metaStart, bc.m_stringTable);
        while (item.m_cursor < metaEnd) {
            w << " : ";
            PrintMetaDataItem(w, item);
        }
    }
}

} // namespace

void PrintByteCodeType(TextWriter& w, const ReflectionByteCode& bc, int32_t options)
{
    if (bc.IsNull()) return;
    ReflectionByteCode cursor = bc.Clone();
    PrintType(w, cursor, options, 0);
}

xstring ByteCodeTypeToString(const ReflectionByteCode& bc, int32_t options)
{
    StringTextWriter w;
    PrintByteCodeType(w, bc, options);
    return w.TakeText();
}

} // namespace vorn
