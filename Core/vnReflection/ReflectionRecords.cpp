// The reflection records of the reflection module's own types and functions, and the
// ordered table that RegisterCoreModuleReflection registers.
#include "vnReflection/CoreModule.h"
#include "vnReflection/CoreInterfaces.h"
#include "vnReflection/BasicTypeOps.h"
#include "vnReflection/ByteCodeValue.h"
#include "vnReflection/MetaData.h"
#include "vnReflection/OperationCallBacks.h"
#include "vnReflection/GeneratedTypeOps.h"
#include "vnReflection/IObject.h"
#include "vnReflection/Invoke.h"
#include "vnReflection/NameSpace.h"
#include "vnReflection/XTarget.h"
#include "vnUtils/Guid.h"
#include "vnUtils/TextWriter.h"
#include "vnUtils/ThreadPool.h"
#include "vnUtils/Time.h"
#include <cstddef>

namespace vorn {

namespace {

// ---- the string table shared by this file's records -------------------------------

enum : uint16_t {
    N_ReflectedInterface,
    N_ReflectedClass,
    N_IObjectVisitor,
    N_ObjSysState,
    N_AnyInterface,
    N_dsTarget,
    N_ReflectedVariant,
    N_ReflectedEnum,
    N_ReflectedFunctor,
    N_ReflectedTypedef,
    N_ReflectedGlobalFunction,
    N_ReflectedGlobalVariable,
    N_ssize_t,
    N_xstring,
    N_INsNode,
    N_SubString,
    N_ENavNamespaceResult,
    N_NameSpace,
    N_TIN,
    N_ENSType,
    N_ReflectedField,
    N_ReflectedModelField,
    N_ReflectedClassMethod,
    N_ReflectedInterfaceMethod,
    N_ReflectedArg,
    N_ReflectedAttribute,
    N_IOperationCallBacks,
    N_ReflectionByteCode,
    N_MetaData,
};

constexpr const char* kNames[] = {
    "vorn::ReflectedInterface",
    "vorn::ReflectedClass",
    "vorn::IObjectVisitor",
    "vorn::ObjSysState",
    "vorn::AnyInterface",
    "vorn::dsTarget",
    "vorn::ReflectedVariant",
    "vorn::ReflectedEnum",
    "vorn::ReflectedFunctor",
    "vorn::ReflectedTypedef",
    "vorn::ReflectedGlobalFunction",
    "vorn::ReflectedGlobalVariable",
    "vorn::ssize_t",
    "vorn::xstring",
    "vorn::INsNode",
    "vorn::SubString",
    "vorn::ENavNamespaceResult",
    "vorn::NameSpace",
    "vorn::TIN",
    "vorn::ENSType",
    "vorn::ReflectedField",
    "vorn::ReflectedModelField",
    "vorn::ReflectedClassMethod",
    "vorn::ReflectedInterfaceMethod",
    "vorn::ReflectedArg",
    "vorn::ReflectedAttribute",
    "vorn::IOperationCallBacks",
    "vorn::ReflectionByteCode",
    "vorn::MetaData",
};

// ---- byte codes ------------------------------------------------------------------

constexpr uint8_t bcInt32[] = {FT_INT32};
constexpr uint8_t bcInt64[] = {FT_INT64};
constexpr uint8_t bcUInt16[] = {FT_UINT16};
constexpr uint8_t bcUInt32[] = {FT_UINT32};
constexpr uint8_t bcUInt64[] = {FT_UINT64};
constexpr uint8_t bcChar8[] = {FT_CHAR8};
constexpr uint8_t bcString8[] = {FT_STRING8};
constexpr uint8_t bcConstChar8Ptr[] = {FT_POINTER, FT_CONST, FT_CHAR8};
constexpr uint8_t bcConstChar16Ptr[] = {FT_POINTER, FT_CONST, FT_CHAR16};
constexpr uint8_t bcConstVoidPtr[] = {FT_POINTER, FT_CONST, FT_VOID};
constexpr uint8_t bcGuidData4[] = {FT_ARRAY, 8, 0, 0, 0, FT_INT8};
constexpr uint8_t bcSubString8Class[] = {FT_CLASS, VORN_BC_INDEX(0)}; // in kSubStringTypedefNames
constexpr uint8_t bcRefConstReflectedInterface[] = {FT_REFERENCE, FT_CONST, FT_CLASS, VORN_BC_INDEX(N_ReflectedInterface)};
constexpr uint8_t bcAnyInterface[] = {FT_CLASS, VORN_BC_INDEX(N_AnyInterface)};
constexpr uint8_t bcRefIObjectVisitor[] = {FT_REFERENCE, FT_CLASS, VORN_BC_INDEX(N_IObjectVisitor)};
constexpr uint8_t bcRefObjSysState[] = {FT_REFERENCE, FT_CLASS, VORN_BC_INDEX(N_ObjSysState)};
constexpr uint8_t bcSsize[] = {FT_TYPEDEF, VORN_BC_INDEX(N_ssize_t)};
constexpr uint8_t bcXstring[] = {FT_TYPEDEF, VORN_BC_INDEX(N_xstring)};
constexpr uint8_t bcSubString[] = {FT_TYPEDEF, VORN_BC_INDEX(N_SubString)};
constexpr uint8_t bcNsNodePtr[] = {FT_INTERFACE_POINTER, FT_INTERFACE, VORN_BC_INDEX(N_INsNode)};
constexpr uint8_t bcRefNsNodePtr[] = {FT_REFERENCE, FT_INTERFACE_POINTER, FT_INTERFACE, VORN_BC_INDEX(N_INsNode)};
constexpr uint8_t bcNavResult[] = {FT_ENUM, VORN_BC_INDEX(N_ENavNamespaceResult)};
constexpr uint8_t bcNameSpacePtr[] = {FT_POINTER, FT_CLASS, VORN_BC_INDEX(N_NameSpace)};
constexpr uint8_t bcENSType[] = {FT_ENUM, VORN_BC_INDEX(N_ENSType)};
constexpr uint8_t bcRefConstdsTarget[] = {FT_REFERENCE, FT_CONST, FT_CLASS, VORN_BC_INDEX(N_dsTarget)};
constexpr uint8_t bcTin[] = {FT_TYPEDEF, VORN_BC_INDEX(N_TIN)};

#define VORN_RECORD_PTR_BC(kind)                                                                     \
    constexpr uint8_t bcPtr##kind[] = {FT_POINTER, FT_CONST, FT_CLASS, VORN_BC_INDEX(N_##kind)};     \
    constexpr uint8_t bcList##kind[] = {FT_POINTER, FT_VECTOR, FT_POINTER, FT_CONST, FT_CLASS,       \
                                        VORN_BC_INDEX(N_##kind)};
VORN_RECORD_PTR_BC(ReflectedInterface)
VORN_RECORD_PTR_BC(ReflectedClass)
VORN_RECORD_PTR_BC(ReflectedVariant)
VORN_RECORD_PTR_BC(ReflectedEnum)
VORN_RECORD_PTR_BC(ReflectedFunctor)
VORN_RECORD_PTR_BC(ReflectedTypedef)
VORN_RECORD_PTR_BC(ReflectedGlobalFunction)
VORN_RECORD_PTR_BC(ReflectedGlobalVariable)
VORN_RECORD_PTR_BC(ReflectedField)
VORN_RECORD_PTR_BC(ReflectedModelField)
VORN_RECORD_PTR_BC(ReflectedClassMethod)
VORN_RECORD_PTR_BC(ReflectedInterfaceMethod)
VORN_RECORD_PTR_BC(ReflectedArg)
VORN_RECORD_PTR_BC(ReflectedAttribute)
#undef VORN_RECORD_PTR_BC
constexpr uint8_t bcBool[] = {FT_BOOL};

// ---- record builders -------------------------------------------------------------

template <class T>
constexpr ReflectedClass ValueClassRecord(const char* name, const ReflectedField* fields = nullptr, int32_t numFields = 0,
                                          void (*print)(TextWriter&, const void*) = nullptr)
{
    return MakeClassRecord<T>(name, RcfBit(RCF_CLASS), StructTypeOps<T>(SOS_VALUE | (print ? SOS_PRINT : 0u), print),
                              kNames, fields, numFields);
}

template <class T>
constexpr ReflectedClass AdtClassRecord(const char* name, TypeOps ops)
{
    ReflectedClass rc = MakeClassRecord<T>(name, RcfBit(RCF_ADT), ops, kNames);
    rc.m_typeOps.m_size = rc.m_size;
    return rc;
}

constexpr ReflectedEnum EnumRecord(const char* name, int32_t count, const char* const* names, const int32_t* values = nullptr)
{
    return ReflectedEnum{name, nullptr, nullptr, count, names, values, nullptr};
}

void NoDestructN(void*, ssize_t, ssize_t) {}

void PrintSubString8(TextWriter& w, const void* v) { w << *static_cast<const SubString8*>(v); }
void PrintSubString16(TextWriter& w, const void* v) { w << *static_cast<const SubString16*>(v); }
void PrintGuid(TextWriter& w, const void* v) { w << *static_cast<const Guid*>(v); }
void PrintHPTime(TextWriter& w, const void* v) { w << HPTimeToString(*static_cast<const HPTime*>(v), 3); }
void PrintReflectionByteCode(TextWriter& w, const void* v)
{
    PrintByteCodeType(w, *static_cast<const ReflectionByteCode*>(v));
}

// A printable and serialisable struct stored as its own bytes.
template <class T>
constexpr ReflectedClass StoredValueClassRecord(const char* name, const ReflectedField* fields, int32_t numFields,
                                                void (*print)(TextWriter&, const void*))
{
    ReflectedClass rc = ValueClassRecord<T>(name, fields, numFields, print);
    rc.m_typeOps = StructTypeOps<T>(SOS_VALUE | SOS_PRINT | SOS_SERIALISE, print);
    return rc;
}

// ---- enums -----------------------------------------------------------------------

constexpr const char* kNavResultNames[] = {"NPR_OK", "NPR_NOT_FOUND", "NPR_AMBIGUOUS", "NPR_SYNTAX_ERROR"};
constexpr ReflectedEnum kENavNamespaceResult = EnumRecord("vorn::ENavNamespaceResult", 4, kNavResultNames);

constexpr const char* kNameSpaceErrorNames[] = {"NSE_OK", "NSE_COLON_EXPECTED", "NSE_IDENTIFIER_EXPECTED",
                                                "NSE_NAME_ALREADY_IN_USE", "NSE_NAME_NOT_FOUND", "NSE_NOT_A_NAMESPACE"};
constexpr ReflectedEnum kENameSpaceError = EnumRecord("vorn::ENameSpaceError", 6, kNameSpaceErrorNames);

constexpr const char* kClassBitNames[] = {"RCF_CLASS", "RCF_MODEL", "RCF_REFERENCES_MODEL", "RCF_ADT",
                                          "RCF_ALLOW_PASS_BY_VALUE", "RCF_ALLOW_RETURN_BY_VALUE"};
constexpr ReflectedEnum kEReflectedClassBits = EnumRecord("vorn::EReflectedClassBits", 6, kClassBitNames);

constexpr const char* kNSTypeNames[] = {"NST_Unknown",  "NST_Interface", "NST_Class",          "NST_Variant",
                                        "NST_Enum",     "NST_Functor",   "NST_Typedef",        "NST_GlobalFunction",
                                        "NST_GlobalVariable"};
constexpr ReflectedEnum kENSType = EnumRecord("vorn::ENSType", 9, kNSTypeNames);

constexpr const char* kQualifierNames[] = {"BCQ_VOLATILE", "BCQ_CONST", "BCQ_ASSIGNABLE", "BCQ_MOVABLE", "BCQ_OFFSETTABLE"};
constexpr int32_t kQualifierValues[] = {BCQ_VOLATILE, BCQ_CONST, BCQ_ASSIGNABLE, BCQ_MOVABLE, BCQ_OFFSETTABLE};
constexpr ReflectedEnum kEByteCodeQualifier = EnumRecord("vorn::EByteCodeQualifier", 5, kQualifierNames, kQualifierValues);

#define VORN_BC(name) #name
constexpr const char* kTypeByteCodeNames[] = {
    VORN_BC(FT_VOID), VORN_BC(FT_BOOL), VORN_BC(FT_INT8), VORN_BC(FT_INT16), VORN_BC(FT_INT32), VORN_BC(FT_INT64),
    VORN_BC(FT_INT128), VORN_BC(FT_UINT8), VORN_BC(FT_UINT16), VORN_BC(FT_UINT32), VORN_BC(FT_UINT64),
    VORN_BC(FT_UINT128), VORN_BC(FT_FLOAT32), VORN_BC(FT_FLOAT64), VORN_BC(FT_CHAR8), VORN_BC(FT_CHAR16),
    VORN_BC(FT_STRING8), VORN_BC(FT_STRING16), VORN_BC(FT_CLASS), VORN_BC(FT_INTERFACE), VORN_BC(FT_TYPEDEF),
    VORN_BC(FT_ENUM), VORN_BC(FT_FUNCTOR), VORN_BC(FT_VARIANT), VORN_BC(FT_FUNCTION_PTR), VORN_BC(FT_NOT_REFLECTED),
    VORN_BC(FT_VOLATILE), VORN_BC(FT_CONST), VORN_BC(FT_ASSIGNABLE), VORN_BC(FT_MOVABLE), VORN_BC(FT_OFFSETTABLE),
    VORN_BC(FT_POINTER), VORN_BC(FT_REFERENCE), VORN_BC(FT_INTERFACE_POINTER), VORN_BC(FT_OPEN_VARIANT),
    VORN_BC(FT_PREF), VORN_BC(FT_CREF), VORN_BC(FT_VECTOR), VORN_BC(FT_DEQUE), VORN_BC(FT_LIST), VORN_BC(FT_SET),
    VORN_BC(FT_BAG), VORN_BC(FT_DYNARRAY), VORN_BC(FT_ARRAY), VORN_BC(FT_MAP), VORN_BC(FT_PARAM_0),
    VORN_BC(FT_PARAM_1), VORN_BC(FT_PARAM_2), VORN_BC(FT_PARAM_3), VORN_BC(FT_PARAM_4), VORN_BC(FT_PARAM_5),
    VORN_BC(MDT_FLAGS), VORN_BC(MDT_BOOL), VORN_BC(MDT_INT32), VORN_BC(MDT_FLOAT64), VORN_BC(MDT_STRING),
    VORN_BC(MDT_BEGIN_FUNCTOR), VORN_BC(MDT_END_FUNCTOR), VORN_BC(MDT_BEGIN_LIST), VORN_BC(MDT_END_LIST),
    VORN_BC(MDT_FUNCTOR_0), VORN_BC(MDT_FUNCTOR_1), VORN_BC(MDT_FUNCTOR_2), VORN_BC(MDT_FUNCTOR_3),
    VORN_BC(MDT_FUNCTOR_4), VORN_BC(MDT_FUNCTOR_5), VORN_BC(MDT_LIST_0), VORN_BC(MDT_LIST_1), VORN_BC(MDT_LIST_2),
    VORN_BC(MDT_LIST_3), VORN_BC(MDT_LIST_4), VORN_BC(MDT_LIST_5)};
#undef VORN_BC
constexpr int32_t kTypeByteCodeValues[] = {
    FT_VOID, FT_BOOL, FT_INT8, FT_INT16, FT_INT32, FT_INT64, FT_INT128, FT_UINT8, FT_UINT16, FT_UINT32, FT_UINT64,
    FT_UINT128, FT_FLOAT32, FT_FLOAT64, FT_CHAR8, FT_CHAR16, FT_STRING8, FT_STRING16, FT_CLASS, FT_INTERFACE,
    FT_TYPEDEF, FT_ENUM, FT_FUNCTOR, FT_VARIANT, FT_FUNCTION_PTR, FT_NOT_REFLECTED, FT_VOLATILE, FT_CONST,
    FT_ASSIGNABLE, FT_MOVABLE, FT_OFFSETTABLE, FT_POINTER, FT_REFERENCE, FT_INTERFACE_POINTER, FT_OPEN_VARIANT,
    FT_PREF, FT_CREF, FT_VECTOR, FT_DEQUE, FT_LIST, FT_SET, FT_BAG, FT_DYNARRAY, FT_ARRAY, FT_MAP, FT_PARAM_0,
    FT_PARAM_1, FT_PARAM_2, FT_PARAM_3, FT_PARAM_4, FT_PARAM_5, MDT_FLAGS, MDT_BOOL, MDT_INT32, MDT_FLOAT64,
    MDT_STRING, MDT_BEGIN_FUNCTOR, MDT_END_FUNCTOR, MDT_BEGIN_LIST, MDT_END_LIST, MDT_FUNCTOR_0, MDT_FUNCTOR_1,
    MDT_FUNCTOR_2, MDT_FUNCTOR_3, MDT_FUNCTOR_4, MDT_FUNCTOR_5, MDT_LIST_0, MDT_LIST_1, MDT_LIST_2, MDT_LIST_3,
    MDT_LIST_4, MDT_LIST_5};
static_assert(std::size(kTypeByteCodeNames) == 72 && std::size(kTypeByteCodeValues) == 72);
constexpr ReflectedEnum kETypeByteCode = EnumRecord("vorn::ETypeByteCode", 72, kTypeByteCodeNames, kTypeByteCodeValues);

// ---- typedefs --------------------------------------------------------------------

constexpr const char* kSubStringTypedefNames[] = {"vorn::SubString8"};
constexpr ReflectedTypedef kConstString16Z{"vorn::ConstString16Z", bcConstChar16Ptr, nullptr};
constexpr ReflectedTypedef kConstString8Z{"vorn::ConstString8Z", bcConstChar8Ptr, nullptr};
constexpr ReflectedTypedef kConstStringZ{"vorn::ConstStringZ", bcConstChar8Ptr, nullptr};
constexpr ReflectedTypedef kRSN{"vorn::RSN", bcInt32, nullptr};
constexpr ReflectedTypedef kTIN{"vorn::TIN", bcInt32, nullptr};
constexpr ReflectedTypedef kSsize{"vorn::ssize_t", bcInt64, nullptr};
constexpr ReflectedTypedef kXchar{"vorn::xchar", bcChar8, nullptr};
constexpr ReflectedTypedef kXstring{"vorn::xstring", bcString8, nullptr};
constexpr ReflectedTypedef kSubStringTypedef{"vorn::SubString", bcSubString8Class, kSubStringTypedefNames};

// ---- interfaces ------------------------------------------------------------------

constexpr ReflectedArg kArgsRi[] = {{"ri", bcRefConstReflectedInterface}};
constexpr ReflectedArg kArgsVisitor[] = {{"v", bcRefIObjectVisitor}};
constexpr ReflectedInterfaceMethod kIObjectMethods[] = {
    {"QueryInterface", bcAnyInterface, kArgsRi, 1, nullptr, false},
    {"BindInterface", bcAnyInterface, kArgsRi, 1, nullptr, false},
    {"GetReflectedClass", bcPtrReflectedClass, nullptr, 0, nullptr, true},
    {"VisitObjects", nullptr, kArgsVisitor, 1, nullptr, false},
    {"OnGarbageCollect", nullptr, nullptr, 0, nullptr, false},
    {"Destroy", nullptr, nullptr, 0, nullptr, false},
    {"GetSysState", bcRefObjSysState, nullptr, 0, nullptr, false},
};
static_assert(std::size(kIObjectMethods) == kNumIObjectMethods);
constexpr ReflectedInterface kIObject{"vorn::IObject", nullptr, nullptr, 0, 0, kIObjectMethods, 7, nullptr, 0, kNames};

constexpr const char* kIObjectBase[] = {"vorn::IObject"};
constexpr ReflectedArg kArgsIndex[] = {{"i", bcSsize}};
constexpr ReflectedArg kArgsFindChild[] = {{"name", bcSubString}, {"foundNode", bcRefNsNodePtr}};
constexpr ReflectedInterfaceMethod kINsNodeMethods[] = {
    {"GetNumNsChildren", bcSsize, nullptr, 0, nullptr, false},
    {"GetChildNsNodeName", bcXstring, kArgsIndex, 1, nullptr, false},
    {"GetChildNsNode", bcNsNodePtr, kArgsIndex, 1, nullptr, false},
    {"FindChildNsNode", bcNavResult, kArgsFindChild, 2, nullptr, false},
};
constexpr ReflectedInterface kINsNode{"vorn::INsNode", nullptr, kIObjectBase, 1, kNumIObjectMethods, kINsNodeMethods, 4,
                                      nullptr, 0, kNames};

// Interfaces that add nothing to IObject.
constexpr ReflectedInterface ObjectOnlyInterface(const char* name)
{
    return ReflectedInterface{name, nullptr, kIObjectBase, 1, kNumIObjectMethods, nullptr, 0, nullptr, 0, kNames};
}
constexpr ReflectedInterface kIBiDirIterator = ObjectOnlyInterface("vorn::IBiDirIterator");
constexpr ReflectedInterface kIKeyType = ObjectOnlyInterface("vorn::IKeyType");
constexpr ReflectedInterface kIXMap = ObjectOnlyInterface("vorn::IXMap");
constexpr ReflectedInterface kIXSet = ObjectOnlyInterface("vorn::IXSet");
constexpr ReflectedInterface kIVectorFieldNotifications = ObjectOnlyInterface("vorn::IVectorFieldNotifications");

// ---- functors --------------------------------------------------------------------

constexpr ReflectedFunctor kThreadTaskFunctor{"vorn::ThreadTaskFunctor", nullptr, nullptr, 0, nullptr, kNames};

// ---- global functions ------------------------------------------------------------

constexpr ReflectedArg kArgsBindPath[] = {
    {"foundNode", bcRefNsNodePtr}, {"startNode", bcNsNodePtr}, {"path", bcSubString}, {"delimiter", bcChar8}};
constexpr ReflectedGlobalFunction kBindPathDownwards{"vorn::BindPathDownwards", bcNavResult, kArgsBindPath, 4, nullptr,
                                                     kNames, VORN_FUNCTION(&BindPathDownwards)};
constexpr ReflectedArg kArgsLinearScan[] = {{"node", bcNsNodePtr}, {"name", bcSubString}, {"foundNode", bcRefNsNodePtr}};
constexpr ReflectedGlobalFunction kFindChildNsNodeWithLinearScan{
    "vorn::FindChildNsNodeWithLinearScan", bcNavResult, kArgsLinearScan, 3, nullptr, kNames,
    VORN_FUNCTION(&FindChildNsNodeWithLinearScan)};
constexpr ReflectedGlobalFunction kGetTheRootNameSpace{"vorn::GetTheRootNameSpace", bcNameSpacePtr, nullptr, 0, nullptr,
                                                       kNames, VORN_FUNCTION(&GetTheRootNameSpace)};


// ---- the records' own accessors, as reflected methods -----------------------------

constexpr ReflectedArg kArgsI[] = {{"i", bcInt32}};
#define VORN_ACCESSOR(C, name, bc) {#name, bc, nullptr, 0, nullptr, true, VORN_METHOD(&C::name)}
#define VORN_ACCESSOR_I(C, name, bc) {#name, bc, kArgsI, 1, nullptr, true, VORN_METHOD(&C::name)}

constexpr ReflectedClassMethod kReflectedClassMethods[] = {
    VORN_ACCESSOR(ReflectedClass, GetFlags, bcInt32),
    VORN_ACCESSOR(ReflectedClass, IsStruct, bcBool),
    VORN_ACCESSOR(ReflectedClass, IsModel, bcBool),
    VORN_ACCESSOR(ReflectedClass, ReferencesModel, bcBool),
    VORN_ACCESSOR(ReflectedClass, IsAdt, bcBool),
    VORN_ACCESSOR(ReflectedClass, GetName, bcConstChar8Ptr),
    VORN_ACCESSOR(ReflectedClass, GetSize, bcInt32),
    VORN_ACCESSOR(ReflectedClass, GetNumFields, bcInt32),
    VORN_ACCESSOR_I(ReflectedClass, GetField, bcPtrReflectedField),
    VORN_ACCESSOR(ReflectedClass, GetNumModelFields, bcInt32),
    VORN_ACCESSOR_I(ReflectedClass, GetModelField, bcPtrReflectedModelField),
    VORN_ACCESSOR(ReflectedClass, GetNumMethods, bcInt32),
    VORN_ACCESSOR_I(ReflectedClass, GetMethod, bcPtrReflectedClassMethod),
    VORN_ACCESSOR(ReflectedClass, GetNumIndirectInterfaces, bcInt32),
    VORN_ACCESSOR(ReflectedClass, GetNumDirectInterfaces, bcInt32),
    VORN_ACCESSOR(ReflectedClass, GetNumInterfaces, bcInt32),
    VORN_ACCESSOR_I(ReflectedClass, GetInterfaceName, bcConstChar8Ptr),
    VORN_ACCESSOR(ReflectedClass, CanCreate, bcBool),
    VORN_ACCESSOR(ReflectedClass, Create, bcAnyInterface),
};
constexpr ReflectedClassMethod kReflectedInterfaceMethods[] = {
    VORN_ACCESSOR(ReflectedInterface, GetName, bcConstChar8Ptr),
    VORN_ACCESSOR(ReflectedInterface, GetNumBaseInterfaces, bcInt32),
    VORN_ACCESSOR_I(ReflectedInterface, GetBaseInterfaceName, bcConstChar8Ptr),
    VORN_ACCESSOR(ReflectedInterface, GetNumBaseMethods, bcInt32),
    VORN_ACCESSOR(ReflectedInterface, GetNumMethods, bcInt32),
    VORN_ACCESSOR_I(ReflectedInterface, GetMethod, bcPtrReflectedInterfaceMethod),
    VORN_ACCESSOR(ReflectedInterface, GetNumAttributes, bcInt32),
    VORN_ACCESSOR_I(ReflectedInterface, GetAttribute, bcPtrReflectedAttribute),
};
constexpr ReflectedClassMethod kReflectedEnumMethods[] = {
    VORN_ACCESSOR(ReflectedEnum, GetName, bcConstChar8Ptr),
    VORN_ACCESSOR(ReflectedEnum, ValuesRedefined, bcBool),
    VORN_ACCESSOR(ReflectedEnum, GetCount, bcInt32),
    VORN_ACCESSOR_I(ReflectedEnum, GetValue, bcInt32),
    VORN_ACCESSOR_I(ReflectedEnum, GetEnable, bcBool),
    VORN_ACCESSOR_I(ReflectedEnum, GetString, bcConstChar8Ptr),
};
constexpr ReflectedClassMethod kReflectedClassMethodMethods[] = {
    VORN_ACCESSOR(ReflectedClassMethod, GetName, bcConstChar8Ptr),
    VORN_ACCESSOR(ReflectedClassMethod, IsConst, bcBool),
    VORN_ACCESSOR(ReflectedClassMethod, GetNumArgs, bcInt32),
    VORN_ACCESSOR_I(ReflectedClassMethod, GetArg, bcPtrReflectedArg),
};
constexpr ReflectedClassMethod kReflectedInterfaceMethodMethods[] = {
    VORN_ACCESSOR(ReflectedInterfaceMethod, GetName, bcConstChar8Ptr),
    VORN_ACCESSOR(ReflectedInterfaceMethod, IsConst, bcBool),
    VORN_ACCESSOR(ReflectedInterfaceMethod, GetNumArgs, bcInt32),
    VORN_ACCESSOR_I(ReflectedInterfaceMethod, GetArg, bcPtrReflectedArg),
};
#define VORN_FUNCTION_ACCESSORS(C)                                                                       \
    constexpr ReflectedClassMethod k##C##Methods[] = {                                                   \
        VORN_ACCESSOR(C, GetName, bcConstChar8Ptr),                                                      \
        VORN_ACCESSOR(C, GetNumArgs, bcInt32),                                                           \
        VORN_ACCESSOR_I(C, GetArg, bcPtrReflectedArg),                                                   \
    };
VORN_FUNCTION_ACCESSORS(ReflectedFunction)
VORN_FUNCTION_ACCESSORS(ReflectedFunctor)
VORN_FUNCTION_ACCESSORS(ReflectedGlobalFunction)
#undef VORN_FUNCTION_ACCESSORS
constexpr ReflectedClassMethod kReflectedFieldMethods[] = {
    VORN_ACCESSOR(ReflectedField, GetName, bcConstChar8Ptr),
    VORN_ACCESSOR(ReflectedField, GetOffset, bcInt32),
};
constexpr ReflectedClassMethod kReflectedModelFieldMethods[] = {
    VORN_ACCESSOR(ReflectedModelField, GetName, bcConstChar8Ptr),
    VORN_ACCESSOR(ReflectedModelField, GetOffset, bcInt32),
    VORN_ACCESSOR(ReflectedModelField, Present, bcBool),
    VORN_ACCESSOR(ReflectedModelField, GetRsn1, bcInt32),
    VORN_ACCESSOR(ReflectedModelField, GetRsn2, bcInt32),
};
constexpr ReflectedClassMethod kReflectedVariantMethods[] = {
    VORN_ACCESSOR(ReflectedVariant, GetName, bcConstChar8Ptr),
    VORN_ACCESSOR(ReflectedVariant, GetSize, bcInt32),
    VORN_ACCESSOR(ReflectedVariant, GetNumFields, bcInt32),
    VORN_ACCESSOR_I(ReflectedVariant, GetField, bcPtrReflectedField),
};
constexpr ReflectedClassMethod kReflectedTypedefMethods[] = {VORN_ACCESSOR(ReflectedTypedef, GetName, bcConstChar8Ptr)};
constexpr ReflectedClassMethod kReflectedArgMethods[] = {VORN_ACCESSOR(ReflectedArg, GetName, bcConstChar8Ptr)};
constexpr ReflectedClassMethod kReflectedAttributeMethods[] = {VORN_ACCESSOR(ReflectedAttribute, GetName, bcConstChar8Ptr)};
constexpr ReflectedClassMethod kReflectedGlobalVariableMethods[] = {
    VORN_ACCESSOR(ReflectedGlobalVariable, GetName, bcConstChar8Ptr),
    VORN_ACCESSOR(ReflectedGlobalVariable, GetAddress, bcConstVoidPtr),
};
#undef VORN_ACCESSOR
#undef VORN_ACCESSOR_I

// A record kind: a value struct whose reflected methods are its accessors.
template <class T, size_t N>
constexpr ReflectedClass RecordClass(const char* name, const ReflectedClassMethod (&methods)[N])
{
    ReflectedClass rc = ValueClassRecord<T>(name);
    rc.m_methods = methods;
    rc.m_numMethods = int32_t(N);
    return rc;
}

// ---- classes ---------------------------------------------------------------------

constexpr ReflectedClass kAnyConstInterface = ValueClassRecord<AnyConstInterface>("vorn::AnyConstInterface");
constexpr ReflectedClass kAnyInterface = ValueClassRecord<AnyInterface>("vorn::AnyInterface");
constexpr ReflectedField kObjSysStateFields[] = {
    {"m_space", int32_t(offsetof(ObjSysState, m_space)), bcConstVoidPtr},
    {"m_evictableSize", int32_t(offsetof(ObjSysState, m_evictableSize)), bcInt32},
    {"m_flags", int32_t(offsetof(ObjSysState, m_flags)), bcInt32},
    {"m_lastTouched", int32_t(offsetof(ObjSysState, m_lastTouched)), bcUInt64},
};
constexpr ReflectedClass kObjSysState = ValueClassRecord<ObjSysState>("vorn::ObjSysState", kObjSysStateFields, 4);
constexpr ReflectedClass kReflectedArg = RecordClass<ReflectedArg>("vorn::ReflectedArg", kReflectedArgMethods);
constexpr ReflectedClass kReflectedAttribute = RecordClass<ReflectedAttribute>("vorn::ReflectedAttribute", kReflectedAttributeMethods);
constexpr ReflectedClass kReflectedClass = RecordClass<ReflectedClass>("vorn::ReflectedClass", kReflectedClassMethods);
constexpr ReflectedClass kReflectedClassMethod = RecordClass<ReflectedClassMethod>("vorn::ReflectedClassMethod", kReflectedClassMethodMethods);
constexpr ReflectedClass kReflectedEnum = RecordClass<ReflectedEnum>("vorn::ReflectedEnum", kReflectedEnumMethods);
constexpr ReflectedClass kReflectedField = RecordClass<ReflectedField>("vorn::ReflectedField", kReflectedFieldMethods);
constexpr ReflectedClass kReflectedFunction = RecordClass<ReflectedFunction>("vorn::ReflectedFunction", kReflectedFunctionMethods);
constexpr ReflectedClass kReflectedFunctor = RecordClass<ReflectedFunctor>("vorn::ReflectedFunctor", kReflectedFunctorMethods);
constexpr ReflectedClass kReflectedGlobalFunction = RecordClass<ReflectedGlobalFunction>("vorn::ReflectedGlobalFunction", kReflectedGlobalFunctionMethods);
constexpr ReflectedClass kReflectedGlobalVariable = RecordClass<ReflectedGlobalVariable>("vorn::ReflectedGlobalVariable", kReflectedGlobalVariableMethods);
constexpr ReflectedClass kReflectedInterface = RecordClass<ReflectedInterface>("vorn::ReflectedInterface", kReflectedInterfaceMethods);
constexpr ReflectedClass kReflectedInterfaceMethod = RecordClass<ReflectedInterfaceMethod>("vorn::ReflectedInterfaceMethod", kReflectedInterfaceMethodMethods);
constexpr ReflectedClass kReflectedModelField = RecordClass<ReflectedModelField>("vorn::ReflectedModelField", kReflectedModelFieldMethods);
constexpr ReflectedClass kReflectedReturnType = ValueClassRecord<ReflectedReturnType>("vorn::ReflectedReturnType");
constexpr ReflectedClass kReflectedTypedef = RecordClass<ReflectedTypedef>("vorn::ReflectedTypedef", kReflectedTypedefMethods);
constexpr ReflectedClass kReflectedVariant = RecordClass<ReflectedVariant>("vorn::ReflectedVariant", kReflectedVariantMethods);

constexpr ReflectedField kGuidFields[] = {
    {"Data1", int32_t(offsetof(Guid, Data1)), bcUInt32},
    {"Data2", int32_t(offsetof(Guid, Data2)), bcUInt16},
    {"Data3", int32_t(offsetof(Guid, Data3)), bcUInt16},
    {"Data4", int32_t(offsetof(Guid, Data4)), bcGuidData4},
};
constexpr ReflectedClass kGuid = StoredValueClassRecord<Guid>("vorn::Guid", kGuidFields, 4, &PrintGuid);

constexpr ReflectedClass kIObjectVisitor = [] {
    ReflectedClass rc = AdtClassRecord<IObjectVisitor>("vorn::IObjectVisitor", TypeOps{});
    rc.m_typeOps.m_destructN = &NoDestructN;
    return rc;
}();

constexpr ReflectedClass kSubString16 = ValueClassRecord<SubString16>("vorn::SubString16", nullptr, 0, &PrintSubString16);
constexpr ReflectedClass kSubString8 = ValueClassRecord<SubString8>("vorn::SubString8", nullptr, 0, &PrintSubString8);

constexpr ReflectedField kNameSpaceElementFields[] = {
    {"m_type", int32_t(offsetof(NameSpaceElement, m_type)), bcENSType},
    {"m_record", int32_t(offsetof(NameSpaceElement, m_record)), bcConstVoidPtr},
};
constexpr ReflectedClass kNameSpaceElement =
    ValueClassRecord<NameSpaceElement>("vorn::NameSpaceElement", kNameSpaceElementFields, 2);
constexpr ReflectedClass kChildNameSpaceIterator = [] {
    ReflectedClass rc = AdtClassRecord<ChildNameSpaceIterator>("vorn::ChildNameSpaceIterator", TypeOps{});
    rc.m_typeOps.m_destructN = &NoDestructN; // closed through Close
    return rc;
}();
constexpr ReflectedClass kNameSpaceClass =
    AdtClassRecord<NameSpace>("vorn::NameSpace", ConstructibleAdtTypeOps<NameSpace>());
constexpr ReflectedClass kNameSpaceElementIterator = [] {
    ReflectedClass rc = AdtClassRecord<NameSpaceElementIterator>("vorn::NameSpaceElementIterator", TypeOps{});
    rc.m_typeOps.m_destructN = &NoDestructN;
    return rc;
}();

constexpr ReflectedField kHPTimeFields[] = {{"m_ticks", int32_t(offsetof(HPTime, m_ticks)), bcInt64}};
constexpr ReflectedClass kHPTime = StoredValueClassRecord<HPTime>("vorn::HPTime", kHPTimeFields, 1, &PrintHPTime);

// ---- operation callbacks -----------------------------------------------------------

constexpr uint8_t bcCallBacksPtr[] = {FT_POINTER, FT_CLASS, VORN_BC_INDEX(N_IOperationCallBacks)};
constexpr uint8_t bcVoidPtr[] = {FT_POINTER, FT_VOID};
constexpr ReflectedClass kIOperationCallBacks = [] {
    ReflectedClass rc = AdtClassRecord<IOperationCallBacks>("vorn::IOperationCallBacks", TypeOps{});
    rc.m_typeOps.m_destructN = &NoDestructN; // an interface: nothing to destroy
    return rc;
}();
constexpr ReflectedGlobalFunction kGetThreadIOperationCallBacks{
    "vorn::GetThreadIOperationCallBacks", bcCallBacksPtr, nullptr, 0, nullptr, kNames,
    VORN_FUNCTION(&GetThreadIOperationCallBacks)};
constexpr ReflectedArg kArgsSetCallBacks[] = {{"callbacks", bcCallBacksPtr}};
constexpr ReflectedGlobalFunction kSetThreadIOperationCallBacks{
    "vorn::SetThreadIOperationCallBacks", nullptr, kArgsSetCallBacks, 1, nullptr, kNames,
    VORN_FUNCTION(&SetThreadIOperationCallBacks)};
constexpr ReflectedTypedef kFieldAddress{"vorn::FieldAddress", bcVoidPtr, nullptr};

// ---- byte code, metadata and byte-code values --------------------------------------

constexpr uint8_t bcByteCode[] = {FT_CLASS, VORN_BC_INDEX(N_ReflectionByteCode)};
constexpr uint8_t bcRefConstByteCode[] = {FT_REFERENCE, FT_CONST, FT_CLASS, VORN_BC_INDEX(N_ReflectionByteCode)};
constexpr uint8_t bcMetaData[] = {FT_CLASS, VORN_BC_INDEX(N_MetaData)};
#define VORN_REF_CONST_BC(kind) \
    constexpr uint8_t bcRefConst##kind[] = {FT_REFERENCE, FT_CONST, FT_CLASS, VORN_BC_INDEX(N_##kind)};
VORN_REF_CONST_BC(ReflectedClass)
VORN_REF_CONST_BC(ReflectedField)
VORN_REF_CONST_BC(ReflectedModelField)
VORN_REF_CONST_BC(ReflectedArg)
VORN_REF_CONST_BC(ReflectedClassMethod)
VORN_REF_CONST_BC(ReflectedAttribute)
VORN_REF_CONST_BC(ReflectedInterfaceMethod)
VORN_REF_CONST_BC(ReflectedFunctor)
VORN_REF_CONST_BC(ReflectedGlobalFunction)
VORN_REF_CONST_BC(ReflectedVariant)
VORN_REF_CONST_BC(ReflectedTypedef)
VORN_REF_CONST_BC(ReflectedGlobalVariable)
#undef VORN_REF_CONST_BC

constexpr ReflectedArg kArgsClassField[] = {{"rc", bcRefConstReflectedClass}, {"field", bcRefConstReflectedField}};
constexpr ReflectedArg kArgsClassModelField[] = {{"rc", bcRefConstReflectedClass}, {"field", bcRefConstReflectedModelField}};
constexpr ReflectedArg kArgsClassArg[] = {{"rc", bcRefConstReflectedClass}, {"arg", bcRefConstReflectedArg}};
constexpr ReflectedArg kArgsClassMethod[] = {{"rc", bcRefConstReflectedClass}, {"method", bcRefConstReflectedClassMethod}};
constexpr ReflectedArg kArgsInterfaceAttribute[] = {{"ri", bcRefConstReflectedInterface},
                                                    {"attribute", bcRefConstReflectedAttribute}};
constexpr ReflectedArg kArgsInterfaceArg[] = {{"ri", bcRefConstReflectedInterface}, {"arg", bcRefConstReflectedArg}};
constexpr ReflectedArg kArgsInterfaceMethod[] = {{"ri", bcRefConstReflectedInterface},
                                                 {"method", bcRefConstReflectedInterfaceMethod}};
constexpr ReflectedArg kArgsFunctorArg[] = {{"rf", bcRefConstReflectedFunctor}, {"arg", bcRefConstReflectedArg}};
constexpr ReflectedArg kArgsFunctor[] = {{"rf", bcRefConstReflectedFunctor}};
constexpr ReflectedArg kArgsGlobalFunctionArg[] = {{"rf", bcRefConstReflectedGlobalFunction}, {"arg", bcRefConstReflectedArg}};
constexpr ReflectedArg kArgsGlobalFunction[] = {{"rf", bcRefConstReflectedGlobalFunction}};
constexpr ReflectedArg kArgsGlobalVariable[] = {{"gv", bcRefConstReflectedGlobalVariable}};
constexpr ReflectedArg kArgsTypedef[] = {{"td", bcRefConstReflectedTypedef}};
constexpr ReflectedArg kArgsVariantField[] = {{"rv", bcRefConstReflectedVariant}, {"field", bcRefConstReflectedField}};
constexpr ReflectedArg kArgsByteCode[] = {{"bc", bcRefConstByteCode}};

#define VORN_BYTE_CODE_FUNCTION(name, args, n, ret)                                                   \
    constexpr ReflectedGlobalFunction k##name{"vorn::" #name, ret, args, n, nullptr, kNames, VORN_FUNCTION(&name)};
VORN_BYTE_CODE_FUNCTION(GetClassMethodArgByteCode, kArgsClassArg, 2, bcByteCode)
VORN_BYTE_CODE_FUNCTION(GetClassMethodReturnTypeByteCode, kArgsClassMethod, 2, bcByteCode)
VORN_BYTE_CODE_FUNCTION(GetFieldByteCode, kArgsClassField, 2, bcByteCode)
VORN_BYTE_CODE_FUNCTION(GetFunctorArgByteCode, kArgsFunctorArg, 2, bcByteCode)
VORN_BYTE_CODE_FUNCTION(GetFunctorReturnTypeByteCode, kArgsFunctor, 1, bcByteCode)
VORN_BYTE_CODE_FUNCTION(GetGlobalFunctionArgByteCode, kArgsGlobalFunctionArg, 2, bcByteCode)
VORN_BYTE_CODE_FUNCTION(GetGlobalFunctionReturnTypeByteCode, kArgsGlobalFunction, 1, bcByteCode)
VORN_BYTE_CODE_FUNCTION(GetGlobalVariableByteCode, kArgsGlobalVariable, 1, bcByteCode)
VORN_BYTE_CODE_FUNCTION(GetInterfaceAttributeByteCode, kArgsInterfaceAttribute, 2, bcByteCode)
VORN_BYTE_CODE_FUNCTION(GetInterfaceMethodArgByteCode, kArgsInterfaceArg, 2, bcByteCode)
VORN_BYTE_CODE_FUNCTION(GetInterfaceMethodReturnTypeByteCode, kArgsInterfaceMethod, 2, bcByteCode)
VORN_BYTE_CODE_FUNCTION(GetModelFieldByteCode, kArgsClassModelField, 2, bcByteCode)
VORN_BYTE_CODE_FUNCTION(GetTypeDefByteCode, kArgsTypedef, 1, bcByteCode)
VORN_BYTE_CODE_FUNCTION(GetVariantFieldByteCode, kArgsVariantField, 2, bcByteCode)
VORN_BYTE_CODE_FUNCTION(GetMetaData, kArgsByteCode, 1, bcMetaData)
#undef VORN_BYTE_CODE_FUNCTION

constexpr uint8_t bcRefBool[] = {FT_REFERENCE, FT_BOOL};
constexpr uint8_t bcRefInt32[] = {FT_REFERENCE, FT_INT32};
constexpr uint8_t bcRefFloat64[] = {FT_REFERENCE, FT_FLOAT64};
constexpr uint8_t bcRefXstring[] = {FT_REFERENCE, FT_TYPEDEF, VORN_BC_INDEX(N_xstring)};
constexpr ReflectedArg kArgsName[] = {{"name", bcConstChar8Ptr}};
constexpr ReflectedArg kArgsGetBool[] = {{"name", bcConstChar8Ptr}, {"value", bcRefBool}, {"errorReason", bcRefXstring}};
constexpr ReflectedArg kArgsGetInt[] = {{"name", bcConstChar8Ptr}, {"value", bcRefInt32}, {"errorReason", bcRefXstring}};
constexpr ReflectedArg kArgsGetDouble[] = {{"name", bcConstChar8Ptr}, {"value", bcRefFloat64}, {"errorReason", bcRefXstring}};
constexpr ReflectedArg kArgsGetString[] = {{"name", bcConstChar8Ptr}, {"value", bcRefXstring}, {"errorReason", bcRefXstring}};
constexpr ReflectedClassMethod kMetaDataMethods[] = {
    {"Empty", bcBool, nullptr, 0, nullptr, true, VORN_METHOD(&MetaData::Empty)},
    {"ExistsFunctor0", bcBool, kArgsName, 1, nullptr, true, VORN_METHOD(&MetaData::ExistsFunctor0)},
    {"GetBool", bcBool, kArgsGetBool, 3, nullptr, true, VORN_METHOD(&MetaData::GetBool)},
    {"GetInt", bcBool, kArgsGetInt, 3, nullptr, true, VORN_METHOD(&MetaData::GetInt)},
    {"GetDouble", bcBool, kArgsGetDouble, 3, nullptr, true, VORN_METHOD(&MetaData::GetDouble)},
    {"GetString", bcBool, kArgsGetString, 3, nullptr, true, VORN_METHOD(&MetaData::GetString)},
    {"GetString2", bcXstring, kArgsName, 1, nullptr, true, VORN_METHOD(&MetaData::GetString2)},
};
constexpr ReflectedClass kMetaData = [] {
    ReflectedClass rc = ValueClassRecord<MetaData>("vorn::MetaData");
    rc.m_methods = kMetaDataMethods;
    rc.m_numMethods = int32_t(std::size(kMetaDataMethods));
    return rc;
}();
constexpr ReflectedClass kQualifiedByteCode = ValueClassRecord<QualifiedByteCode>("vorn::QualifiedByteCode");
constexpr ReflectedClass kReadMetaData = ValueClassRecord<ReadMetaData>("vorn::ReadMetaData");
constexpr ReflectedClass kReflectionByteCode =
    ValueClassRecord<ReflectionByteCode>("vorn::ReflectionByteCode", nullptr, 0, &PrintReflectionByteCode);
constexpr ReflectedClass kReflectionByteCodeValue = [] {
    ReflectedClass rc{};
    rc.m_flags = RcfBit(RCF_CLASS);
    rc.m_name = "vorn::ReflectionByteCodeValue";
    rc.m_size = int32_t(sizeof(ReflectionByteCodeValue));
    rc.m_stringTable = kNames;
    rc.m_typeOps = ReflectionByteCodeValueOps::Table();
    return rc;
}();
constexpr ReflectedClass kDate = ValueClassRecord<Date>("vorn::Date");

constexpr ReflectedClass kdsTarget = ValueClassRecord<dsTarget>("vorn::dsTarget");

#define VORN_XTARGET_KIND_METHODS(kind, rec)                                                              \
    {"Register" #kind, nullptr, kArgsRecord##rec, 1, nullptr, false, VORN_METHOD(&XTarget::Register##kind)}, \
        {"Get" #kind "Registry", bcList##rec, nullptr, 0, nullptr, false, VORN_METHOD(&XTarget::Get##kind##Registry)}
#define VORN_RECORD_ARG(rec) constexpr ReflectedArg kArgsRecord##rec[] = {{"record", bcPtr##rec}};
VORN_RECORD_ARG(ReflectedInterface)
VORN_RECORD_ARG(ReflectedClass)
VORN_RECORD_ARG(ReflectedVariant)
VORN_RECORD_ARG(ReflectedEnum)
VORN_RECORD_ARG(ReflectedFunctor)
VORN_RECORD_ARG(ReflectedTypedef)
VORN_RECORD_ARG(ReflectedGlobalFunction)
VORN_RECORD_ARG(ReflectedGlobalVariable)
#undef VORN_RECORD_ARG
constexpr ReflectedClassMethod kXTargetMethods[] = {
    {"Unregister", nullptr, nullptr, 0, nullptr, false, VORN_METHOD(&XTarget::Unregister)},
    {"GetdsTarget", bcRefConstdsTarget, nullptr, 0, nullptr, true, VORN_METHOD(&XTarget::GetdsTarget)},
    {"GetTin", bcTin, nullptr, 0, nullptr, true, VORN_METHOD(&XTarget::GetTin)},
    VORN_XTARGET_KIND_METHODS(Interface, ReflectedInterface),
    VORN_XTARGET_KIND_METHODS(Class, ReflectedClass),
    VORN_XTARGET_KIND_METHODS(Variant, ReflectedVariant),
    VORN_XTARGET_KIND_METHODS(Enum, ReflectedEnum),
    VORN_XTARGET_KIND_METHODS(Functor, ReflectedFunctor),
    VORN_XTARGET_KIND_METHODS(Typedef, ReflectedTypedef),
    VORN_XTARGET_KIND_METHODS(GlobalFunction, ReflectedGlobalFunction),
    VORN_XTARGET_KIND_METHODS(GlobalVariable, ReflectedGlobalVariable),
};
#undef VORN_XTARGET_KIND_METHODS
static_assert(std::size(kXTargetMethods) == 19);
constexpr ReflectedClass kXTargetClass = [] {
    ReflectedClass rc = AdtClassRecord<XTarget>("vorn::XTarget", AdtTypeOps<XTarget>());
    rc.m_methods = kXTargetMethods;
    rc.m_numMethods = 19;
    return rc;
}();

// ---- the ordered table -----------------------------------------------------------

constexpr ReflectedItemEntry kCoreItems[] = {
    {NST_Enum, &kENavNamespaceResult, nullptr},
    {NST_Interface, &kINsNode, nullptr},
    {NST_GlobalFunction, &kBindPathDownwards, nullptr},
    {NST_GlobalFunction, &kFindChildNsNodeWithLinearScan, nullptr},
    {NST_Class, &kAnyConstInterface, nullptr},
    {NST_Class, &kAnyInterface, nullptr},
    {NST_Typedef, &kConstString16Z, nullptr},
    {NST_Typedef, &kConstString8Z, nullptr},
    {NST_Typedef, &kConstStringZ, nullptr},
    {NST_Enum, &kENameSpaceError, nullptr},
    {NST_Enum, &kEReflectedClassBits, nullptr},
    {NST_Interface, &kIBiDirIterator, nullptr},
    {NST_Interface, &kIKeyType, nullptr},
    {NST_Interface, &kIObject, nullptr},
    {NST_Interface, &kIXMap, nullptr},
    {NST_Interface, &kIXSet, nullptr},
    {NST_Class, &kObjSysState, nullptr},
    {NST_Typedef, &kRSN, nullptr},
    {NST_Class, &kReflectedArg, nullptr},
    {NST_Class, &kReflectedAttribute, nullptr},
    {NST_Class, &kReflectedClass, nullptr},
    {NST_Class, &kReflectedClassMethod, nullptr},
    {NST_Class, &kReflectedEnum, nullptr},
    {NST_Class, &kReflectedField, nullptr},
    {NST_Class, &kReflectedFunction, nullptr},
    {NST_Class, &kReflectedFunctor, nullptr},
    {NST_Class, &kReflectedGlobalFunction, nullptr},
    {NST_Class, &kReflectedGlobalVariable, nullptr},
    {NST_Class, &kReflectedInterface, nullptr},
    {NST_Class, &kReflectedInterfaceMethod, nullptr},
    {NST_Class, &kReflectedModelField, nullptr},
    {NST_Class, &kReflectedReturnType, nullptr},
    {NST_Class, &kReflectedTypedef, nullptr},
    {NST_Class, &kReflectedVariant, nullptr},
    {NST_Typedef, &kTIN, nullptr},
    {NST_Typedef, &kSsize, nullptr},
    {NST_Typedef, &kXchar, nullptr},
    {NST_Typedef, &kXstring, nullptr},
    {NST_Class, &kGuid, nullptr},
    {NST_Functor, &kThreadTaskFunctor, nullptr},
    {NST_Class, &kIObjectVisitor, nullptr},
    {NST_Typedef, &kSubStringTypedef, nullptr},
    {NST_Class, &kSubString16, nullptr},
    {NST_Class, &kSubString8, nullptr},
    {NST_Enum, &kENSType, nullptr},
    {NST_Class, &kNameSpaceElement, nullptr},
    {NST_Class, &kChildNameSpaceIterator, nullptr},
    {NST_GlobalFunction, &kGetTheRootNameSpace, nullptr},
    {NST_Class, &kNameSpaceClass, nullptr},
    {NST_Class, &kNameSpaceElementIterator, nullptr},
    {NST_Class, &kIOperationCallBacks, nullptr},
    {NST_GlobalFunction, &kGetThreadIOperationCallBacks, nullptr},
    {NST_GlobalFunction, &kSetThreadIOperationCallBacks, nullptr},
    {NST_Typedef, &kFieldAddress, nullptr},
    {NST_Interface, &kIVectorFieldNotifications, nullptr},
    {NST_Class, &kHPTime, nullptr},
    {NST_Enum, &kEByteCodeQualifier, nullptr},
    {NST_GlobalFunction, &kGetClassMethodArgByteCode, nullptr},
    {NST_GlobalFunction, &kGetClassMethodReturnTypeByteCode, nullptr},
    {NST_GlobalFunction, &kGetFieldByteCode, nullptr},
    {NST_GlobalFunction, &kGetFunctorArgByteCode, nullptr},
    {NST_GlobalFunction, &kGetFunctorReturnTypeByteCode, nullptr},
    {NST_GlobalFunction, &kGetGlobalFunctionArgByteCode, nullptr},
    {NST_GlobalFunction, &kGetGlobalFunctionReturnTypeByteCode, nullptr},
    {NST_GlobalFunction, &kGetGlobalVariableByteCode, nullptr},
    {NST_GlobalFunction, &kGetInterfaceAttributeByteCode, nullptr},
    {NST_GlobalFunction, &kGetInterfaceMethodArgByteCode, nullptr},
    {NST_GlobalFunction, &kGetInterfaceMethodReturnTypeByteCode, nullptr},
    {NST_GlobalFunction, &kGetModelFieldByteCode, nullptr},
    {NST_GlobalFunction, &kGetTypeDefByteCode, nullptr},
    {NST_GlobalFunction, &kGetVariantFieldByteCode, nullptr},
    {NST_Class, &kMetaData, nullptr},
    {NST_Class, &kQualifiedByteCode, nullptr},
    {NST_Class, &kReadMetaData, nullptr},
    {NST_Class, &kReflectionByteCode, nullptr},
    {NST_Enum, &kETypeByteCode, nullptr},
    {NST_GlobalFunction, &kGetMetaData, nullptr},
    {NST_Class, &kReflectionByteCodeValue, nullptr},
    {NST_Class, &kDate, nullptr},
    {NST_Class, &kdsTarget, nullptr},
    {NST_Class, &kXTargetClass, nullptr},
};

RegistrationOnce g_coreOnce;
ReflectedItemTable g_objectSpaceFirst{nullptr, 0};
ReflectedItemTable g_objectSpaceLast{nullptr, 0};

} // namespace

ReflectedItemTable GetCoreModuleItems() { return ReflectedItemTable{kCoreItems, int32_t(std::size(kCoreItems))}; }

void RegisterCoreModuleReflection(XTarget& module)
{
    if (!g_coreOnce.Begin()) return;
    RegisterReflectedItems(module, g_objectSpaceFirst);
    RegisterReflectedItems(module, GetCoreModuleItems());
    RegisterReflectedItems(module, g_objectSpaceLast);
}

void SetCoreModuleObjectSpaceItems(ReflectedItemTable first, ReflectedItemTable last)
{
    g_objectSpaceFirst = first;
    g_objectSpaceLast = last;
}

bool CoreModuleRegistered() { return g_coreOnce.Done(); }

const ReflectedInterface& GetIObjectInterfaceRecord() { return kIObject; }
const ReflectedInterface& GetINsNodeInterfaceRecord() { return kINsNode; }
const ReflectedInterface& GetIBiDirIteratorInterfaceRecord() { return kIBiDirIterator; }
const ReflectedInterface& GetIKeyTypeInterfaceRecord() { return kIKeyType; }
const ReflectedInterface& GetIXMapInterfaceRecord() { return kIXMap; }
const ReflectedInterface& GetIXSetInterfaceRecord() { return kIXSet; }
const ReflectedInterface& GetIVectorFieldNotificationsInterfaceRecord() { return kIVectorFieldNotifications; }

} // namespace vorn
