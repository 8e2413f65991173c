// The reflection records of the persistence module and its start-up call.
#include "vnPersistStore/PersistModule.h"
#include "vnObject/ObjectModule.h"
#include "vnPersistStore/BPlusTree.h"
#include "vnPersistStore/BPlusTreeNode.h"
#include "vnPersistStore/ClassIdMap.h"
#include "vnPersistStore/OidSpaceMap.h"
#include "vnPersistStore/PersistCallBacks.h"
#include "vnPersistStore/PersistStore.h"
#include "vnPersistStore/PersistStoreTxn.h"
#include "vnPersistStore/SpaceOperations.h"
#include "vnReflection/GeneratedTypeOps.h"
#include "vnReflection/Invoke.h"
#include <cstddef>
#include <iterator>

namespace vorn {

namespace {

enum : uint16_t {
    N_IObject,
    N_IPersistable,
    N_OID,
    N_PSpace,
    N_PersistStore,
    N_PersistStoreTxn,
    N_CSpace,
    N_EOpenMode,
    N_PersistStoreSettings,
    N_LssSettings,
    N_ClassNameTranslationTable,
    N_ILogStructuredStore,
    N_PSpaceLockPair,
    N_ReflectionByteCodeValue,
    N_TypeOpsId,
    N_TypeOps,
    N_PSpaceLockMode,
    N_OidSpaceGuid,
    N_OidLow,
    N_pref,
    N_Guid,
    N_OidHigh,
};
constexpr const char* kNames[] = {
    "vorn::IObject",          "vorn::IPersistable",         "vorn::OID",
    "vorn::PSpace",           "vorn::PersistStore",         "vorn::PersistStoreTxn",
    "vorn::CSpace",           "vorn::EOpenMode",            "vorn::PersistStoreSettings",
    "vorn::LssSettings",      "vorn::ClassNameTranslationTable", "vorn::ILogStructuredStore",
    "vorn::PSpaceLockPair",   "vorn::ReflectionByteCodeValue",   "vorn::TypeOpsId",
    "vorn::TypeOps",          "vorn::PSpaceLockMode",       "vorn::OidSpaceGuid",
    "vorn::OidLow",           "vorn::pref",                 "vorn::Guid",
    "vorn::OidHigh",
};
static_assert(std::size(kNames) == N_OidHigh + 1);

constexpr uint8_t bcBool[] = {FT_BOOL};
constexpr uint8_t bcInt32[] = {FT_INT32};
constexpr uint8_t bcUInt32[] = {FT_UINT32};
constexpr uint8_t bcFloat64[] = {FT_FLOAT64};
constexpr uint8_t bcConstString[] = {FT_POINTER, FT_CONST, FT_CHAR8};
constexpr uint8_t bcObject[] = {FT_INTERFACE_POINTER, FT_INTERFACE, VORN_BC_INDEX(N_IObject)};
constexpr uint8_t bcPersistable[] = {FT_INTERFACE_POINTER, FT_INTERFACE, VORN_BC_INDEX(N_IPersistable)};
constexpr uint8_t bcOid[] = {FT_CLASS, VORN_BC_INDEX(N_OID)};
constexpr uint8_t bcPSpacePtr[] = {FT_POINTER, FT_CLASS, VORN_BC_INDEX(N_PSpace)};
constexpr uint8_t bcStorePtr[] = {FT_POINTER, FT_CLASS, VORN_BC_INDEX(N_PersistStore)};
constexpr uint8_t bcTxnPtr[] = {FT_POINTER, FT_CLASS, VORN_BC_INDEX(N_PersistStoreTxn)};
constexpr uint8_t bcCSpacePtr[] = {FT_POINTER, FT_CLASS, VORN_BC_INDEX(N_CSpace)};
constexpr uint8_t bcOpenMode[] = {FT_ENUM, VORN_BC_INDEX(N_EOpenMode)};
constexpr uint8_t bcSettingsPtr[] = {FT_POINTER, FT_CONST, FT_CLASS, VORN_BC_INDEX(N_PersistStoreSettings)};
constexpr uint8_t bcLssSettings[] = {FT_CLASS, VORN_BC_INDEX(N_LssSettings)};
constexpr uint8_t bcTranslationsPtr[] = {FT_POINTER, FT_CONST, FT_CLASS, VORN_BC_INDEX(N_ClassNameTranslationTable)};
constexpr uint8_t bcLssPtr[] = {FT_POINTER, FT_NOT_REFLECTED, VORN_BC_INDEX(N_ILogStructuredStore)};
constexpr uint8_t bcLockPairs[] = {FT_POINTER, FT_CONST, FT_NOT_REFLECTED, VORN_BC_INDEX(N_PSpaceLockPair)};
constexpr uint8_t bcRbcvRef[] = {FT_REFERENCE, FT_CONST, FT_CLASS, VORN_BC_INDEX(N_ReflectionByteCodeValue)};
constexpr uint8_t bcTypeOpsId[] = {FT_TYPEDEF, VORN_BC_INDEX(N_TypeOpsId)};
constexpr uint8_t bcTypeOpsPtr[] = {FT_POINTER, FT_CONST, FT_NOT_REFLECTED, VORN_BC_INDEX(N_TypeOps)};
constexpr uint8_t bcLockMode[] = {FT_ENUM, VORN_BC_INDEX(N_PSpaceLockMode)};
constexpr uint8_t bcOidSpaceGuid[] = {FT_TYPEDEF, VORN_BC_INDEX(N_OidSpaceGuid)};
constexpr uint8_t bcOidLow[] = {FT_TYPEDEF, VORN_BC_INDEX(N_OidLow)};
constexpr uint8_t bcOidHigh[] = {FT_TYPEDEF, VORN_BC_INDEX(N_OidHigh)};
constexpr uint8_t bcBoolOut[] = {FT_POINTER, FT_BOOL};
constexpr uint8_t bcGuid[] = {FT_CLASS, VORN_BC_INDEX(N_Guid)};
constexpr uint8_t bcPrefRef[] = {FT_REFERENCE, FT_PREF, FT_INTERFACE, VORN_BC_INDEX(N_IPersistable)};

// ---- record builders ---------------------------------------------------------------

constexpr ReflectedClass ClassRecord(const char* name, int32_t flags, int32_t size, const TypeOps& ops,
                                     const ReflectedField* fields = nullptr, int32_t numFields = 0,
                                     const ReflectedClassMethod* methods = nullptr, int32_t numMethods = 0,
                                     const char* const* interfaces = nullptr, int32_t numInterfaces = 0)
{
    ReflectedClass rc = MakeClassRecord(name, flags, size, ops, kNames, fields, numFields, methods, numMethods);
    rc.m_interfaces = interfaces;
    rc.m_numDirectInterfaces = numInterfaces;
    return rc;
}

// A plain struct copied bytewise.
template <class T>
constexpr ReflectedClass StructRecord(const char* name, const ReflectedField* fields = nullptr, int32_t numFields = 0)
{
    return ClassRecord(name, RcfBit(RCF_CLASS), int32_t(sizeof(T)), StructTypeOps<T>(SOS_VALUE), fields, numFields);
}

// A class that lives on the heap and is reached through pointers only.
template <class T>
constexpr ReflectedClass HeapClassRecord(const char* name, const ReflectedClassMethod* methods = nullptr,
                                         int32_t numMethods = 0, const char* const* interfaces = nullptr,
                                         int32_t numInterfaces = 0)
{
    TypeOps ops{};
    ops.m_size = int32_t(sizeof(T));
    return ClassRecord(name, RcfBit(RCF_ADT), int32_t(sizeof(T)), ops, nullptr, 0, methods, numMethods, interfaces,
                       numInterfaces);
}

#define VORN_FIELD(T, name, member, bc) ReflectedField{name, int32_t(offsetof(T, member)), bc}
#define VORN_CLASS_METHOD(C, name, ret, args, n, isConst) \
    ReflectedClassMethod{#name, ret, args, n, nullptr, isConst, VORN_METHOD(&C::name)}

// ---- settings and open modes -------------------------------------------------------

constexpr ReflectedClass kClassNameTranslation = StructRecord<ClassNameTranslation>("vorn::ClassNameTranslation");
constexpr ReflectedClass kClassNameTranslationTable =
    StructRecord<ClassNameTranslationTable>("vorn::ClassNameTranslationTable");

constexpr const char* kOpenModeNames[] = {"OM_CREATE_NEW", "OM_CREATE_ALWAYS", "OM_OPEN_EXISTING", "OM_OPEN_ALWAYS",
                                          "OM_DELETE_EXISTING"};
constexpr ReflectedEnum kEOpenMode{"vorn::EOpenMode", nullptr, nullptr, 5, kOpenModeNames, nullptr, nullptr};

// The write-through switch is a platform detail and stays out of the reflected fields.
constexpr ReflectedField kLssSettingsFields[] = {
    VORN_FIELD(LssSettings, "m_flushTimeMilliSec", m_flushTimeMilliSec, bcInt32),
    VORN_FIELD(LssSettings, "m_cleanerUtilisationPercent", m_cleanerUtilisationPercent, bcFloat64),
    VORN_FIELD(LssSettings, "m_enableFileBuffering", m_enableFileBuffering, bcBool),
    VORN_FIELD(LssSettings, "m_maxNumSegmentsInCache", m_maxNumSegmentsInCache, bcInt32),
    VORN_FIELD(LssSettings, "m_numSegmentsPerCheckPoint", m_numSegmentsPerCheckPoint, bcInt32),
    VORN_FIELD(LssSettings, "m_segmentSize", m_segmentSize, bcInt32),
    VORN_FIELD(LssSettings, "m_forceIncrementMSSN", m_forceIncrementMSSN, bcBool),
    VORN_FIELD(LssSettings, "m_validateSUTDuringCheckPoint", m_validateSUTDuringCheckPoint, bcBool),
};
constexpr ReflectedClass kLssSettings =
    StructRecord<LssSettings>("vorn::LssSettings", kLssSettingsFields, int32_t(std::size(kLssSettingsFields)));

constexpr const char* kLockModeNames[] = {"PSPACE_LOCK_SHARED_READ", "PSPACE_LOCK_EXCLUSIVE"};
constexpr ReflectedEnum kPSpaceLockMode{"vorn::PSpaceLockMode", nullptr, nullptr, 2, kLockModeNames, nullptr, nullptr};

constexpr ReflectedField kStoreSettingsFields[] = {
    VORN_FIELD(PersistStoreSettings, "deltasDirPath", deltasDirPath, bcConstString),
    VORN_FIELD(PersistStoreSettings, "lssSettings", lssSettings, bcLssSettings),
    VORN_FIELD(PersistStoreSettings, "translationTable", translationTable, bcTranslationsPtr),
    VORN_FIELD(PersistStoreSettings, "startObjectDeletion", startObjectDeletion, bcBool),
};
constexpr ReflectedClass kPersistStoreSettings = StructRecord<PersistStoreSettings>(
    "vorn::PersistStoreSettings", kStoreSettingsFields, int32_t(std::size(kStoreSettingsFields)));

// ---- persistence callbacks, persistable objects, OIDs ------------------------------

constexpr const char* kCallbacksBase[] = {"vorn::IOperationCallBacks"};
constexpr ReflectedClass kPersistOperationCallbacks =
    HeapClassRecord<PersistOperationCallbacks>("vorn::PersistOperationCallbacks", nullptr, 0, kCallbacksBase, 1);

constexpr ReflectedArg kVisitPrefArgs[] = {{"", bcPrefRef}};
constexpr ReflectedInterfaceMethod kPrefVisitorMethods[] = {
    {"VisitPref", nullptr, kVisitPrefArgs, 1, nullptr, false},
    {"VisitNothing", nullptr, nullptr, 0, nullptr, false},
};
constexpr ReflectedInterface kIPrefVisitor{
    "vorn::IPrefVisitor", nullptr, nullptr, 0, 0, kPrefVisitorMethods, int32_t(std::size(kPrefVisitorMethods)),
    nullptr, 0, kNames};

constexpr ReflectedClass kPersistObjState = StructRecord<PersistObjState>("vorn::PersistObjState");
constexpr ReflectedClass kOID = StructRecord<OID>("vorn::OID");
constexpr ReflectedTypedef kOidHigh{"vorn::OidHigh", bcUInt32, nullptr};
constexpr ReflectedTypedef kOidLow{"vorn::OidLow", bcUInt32, nullptr};
constexpr ReflectedTypedef kSeidHigh{"vorn::SeidHigh", bcUInt32, nullptr};
constexpr ReflectedTypedef kSeidLow{"vorn::SeidLow", bcUInt32, nullptr};
constexpr ReflectedTypedef kOidSpaceGuid{"vorn::OidSpaceGuid", bcGuid, kNames};
constexpr ReflectedField kGoidFields[] = {
    VORN_FIELD(Goid, "oidSpaceGuid", m_oidSpaceGuid, bcOidSpaceGuid),
    VORN_FIELD(Goid, "oidLow", m_oidLow, bcOidLow),
};
constexpr ReflectedClass kGoid = StructRecord<Goid>("vorn::Goid", kGoidFields, int32_t(std::size(kGoidFields)));

// ---- spaces and the store ----------------------------------------------------------

constexpr ReflectedArg kFlushArgs[] = {{"flushToDisk", bcBool}};

constexpr ReflectedArg kArgObjectP[] = {{"object", bcPersistable}};
constexpr ReflectedArg kArgOidP[] = {{"oid", bcOid}};
constexpr ReflectedArg kArgNameP[] = {{"name", bcConstString}};
constexpr ReflectedArg kArgsAddRootP[] = {{"name", bcConstString}, {"root", bcObject}};
constexpr ReflectedArg kArgsMakePersist[] = {{"affiliateOidLow", bcOidLow}, {"object", bcPersistable}};
constexpr ReflectedArg kArgsSetOidHigh[] = {{"oidHigh", bcOidHigh}, {"useIncrementalOidAllocations", bcBool}};
constexpr ReflectedArg kArgsGivenOid[] = {{"object", bcPersistable}, {"oid", bcOid}, {"trace", bcBool}};
constexpr ReflectedArg kArgsDeclareP[] = {{"parent", bcPersistable}, {"child", bcPersistable}, {"trace", bcBool}};

// The name is kept NUL-terminated, so its data is the zero-terminated form.
void InvokePSpaceGetName(void* obj, void* result, void* const*)
{
    *static_cast<const char**>(result) = static_cast<const PSpace*>(obj)->GetName().data();
}

constexpr ReflectedClassMethod kPSpaceMethods[] = {
    VORN_CLASS_METHOD(PSpace, Close, nullptr, nullptr, 0, false),
    VORN_CLASS_METHOD(PSpace, GetCSpace, bcCSpacePtr, nullptr, 0, true),
    VORN_CLASS_METHOD(PSpace, GetPersistStore, bcStorePtr, nullptr, 0, false),
    ReflectedClassMethod{"GetName", bcConstString, nullptr, 0, nullptr, true, &InvokePSpaceGetName},
    VORN_CLASS_METHOD(PSpace, WriteDirtyObjectsToLss, nullptr, kFlushArgs, 1, false),
    VORN_CLASS_METHOD(PSpace, MarkPersistableAsDirtyWithoutTrace, nullptr, kArgObjectP, 1, false),
    VORN_CLASS_METHOD(PSpace, BindObject, bcPersistable, kArgOidP, 1, false),
    VORN_CLASS_METHOD(PSpace, TryBindObject, bcPersistable, kArgOidP, 1, false),
    VORN_CLASS_METHOD(PSpace, BindObjectIfMemoryResident, bcPersistable, kArgOidP, 1, false),
    VORN_CLASS_METHOD(PSpace, MakeMemoryResident, bcPersistable, kArgOidP, 1, false),
    VORN_CLASS_METHOD(PSpace, AsyncBind, bcPersistable, kArgOidP, 1, false),
    VORN_CLASS_METHOD(PSpace, MakeObjectPersist, nullptr, kArgsMakePersist, 2, false),
    VORN_CLASS_METHOD(PSpace, GetOidHighForOidAllocations, bcOidHigh, nullptr, 0, true),
    VORN_CLASS_METHOD(PSpace, SetOidHighForOidAllocations, nullptr, kArgsSetOidHigh, 2, false),
    VORN_CLASS_METHOD(PSpace, MakeObjectPersistWithGivenOID, nullptr, kArgsGivenOid, 3, false),
    VORN_CLASS_METHOD(PSpace, DeclareReachable, nullptr, kArgsDeclareP, 3, false),
    VORN_CLASS_METHOD(PSpace, MakeReachableObjectsPersist, nullptr, kArgObjectP, 1, false),
    VORN_CLASS_METHOD(PSpace, GetRoot, bcPersistable, kArgNameP, 1, false),
    VORN_CLASS_METHOD(PSpace, AddRoot, bcBool, kArgsAddRootP, 2, false),
    VORN_CLASS_METHOD(PSpace, RemoveRoot, bcBool, kArgNameP, 1, false),
    VORN_CLASS_METHOD(PSpace, AsyncPermanentlyDeleteSubTree, nullptr, kArgObjectP, 1, false),
    VORN_CLASS_METHOD(PSpace, AsyncPermanentlyDeleteObject, nullptr, kArgObjectP, 1, false),
    VORN_CLASS_METHOD(PSpace, SyncPermanentlyDeleteSubTree, nullptr, kArgObjectP, 1, false),
    VORN_CLASS_METHOD(PSpace, SyncPermanentlyDeleteObject, nullptr, kArgObjectP, 1, false),
};

constexpr ReflectedClass kPSpace =
    HeapClassRecord<PSpace>("vorn::PSpace", kPSpaceMethods, int32_t(std::size(kPSpaceMethods)));

constexpr ReflectedArg kOpenTxnArgs[] = {{"", bcLockPairs}, {"", bcInt32}};
constexpr ReflectedArg kTimeArgs[] = {{"time", bcInt32}};
constexpr ReflectedArg kRbcvArgs[] = {{"rbcv", bcRbcvRef}};
constexpr ReflectedArg kTypeOpsArgs[] = {{"typeOps", bcTypeOpsId}};

constexpr ReflectedClassMethod kStoreMethods[] = {
    VORN_CLASS_METHOD(PersistStore, Close, nullptr, nullptr, 0, false),
    VORN_CLASS_METHOD(PersistStore, GetLss, bcLssPtr, nullptr, 0, true),
    VORN_CLASS_METHOD(PersistStore, StartObjectDeletion, nullptr, nullptr, 0, false),
    VORN_CLASS_METHOD(PersistStore, WriteAllDirtyObjectsToLss, nullptr, kFlushArgs, 1, false),
    VORN_CLASS_METHOD(PersistStore, OpenTxn, bcTxnPtr, kOpenTxnArgs, 2, false),
    VORN_CLASS_METHOD(PersistStore, GetDosPeriod, bcInt32, nullptr, 0, false),
    VORN_CLASS_METHOD(PersistStore, SetDosPeriod, nullptr, kTimeArgs, 1, false),
    VORN_CLASS_METHOD(PersistStore, GetNumPSpaces, bcInt32, nullptr, 0, false),
    VORN_CLASS_METHOD(PersistStore, GetNumPersistableObjects, bcInt32, nullptr, 0, false),
    VORN_CLASS_METHOD(PersistStore, GetTypeOpsId, bcTypeOpsId, kRbcvArgs, 1, false),
    VORN_CLASS_METHOD(PersistStore, GetTypeOps, bcTypeOpsPtr, kTypeOpsArgs, 1, false),
};

constexpr ReflectedClass kPersistStore = HeapClassRecord<PersistStore>(
    "vorn::PersistStore", kStoreMethods, int32_t(std::size(kStoreMethods)));

constexpr ReflectedArg kTxnOpenPSpaceArgs[] = {
    {"name", bcConstString}, {"openMode", bcOpenMode}, {"createdNew", bcBoolOut}, {"cspace", bcCSpacePtr}};
constexpr ReflectedArg kTransferArgs[] = {{"destination", bcPSpacePtr}, {"source", bcPSpacePtr}};

constexpr ReflectedClassMethod kTxnMethods[] = {
    VORN_CLASS_METHOD(PersistStoreTxn, Close, nullptr, nullptr, 0, false),
    VORN_CLASS_METHOD(PersistStoreTxn, GetPersistStore, bcStorePtr, nullptr, 0, true),
    VORN_CLASS_METHOD(PersistStoreTxn, OpenPSpace, bcPSpacePtr, kTxnOpenPSpaceArgs, 4, false),
    VORN_CLASS_METHOD(PersistStoreTxn, TransferPSpace, nullptr, kTransferArgs, 2, false),
    VORN_CLASS_METHOD(PersistStoreTxn, DestroyPSpace, bcBool, nullptr, 0, false),
};

constexpr ReflectedClass kPersistStoreTxn =
    HeapClassRecord<PersistStoreTxn>("vorn::PersistStoreTxn", kTxnMethods, int32_t(std::size(kTxnMethods)));

// ---- global functions --------------------------------------------------------------

constexpr ReflectedArg kArgObject[] = {{"", bcObject}};
constexpr ReflectedArg kArgsTwoObjects[] = {{"", bcObject}, {"", bcObject}};
constexpr ReflectedArg kArgsDeclare[] = {{"", bcObject}, {"", bcObject}, {"trace", bcBool}};
constexpr ReflectedArg kArgOid[] = {{"", bcOid}};
constexpr ReflectedArg kArgName[] = {{"", bcConstString}};
constexpr ReflectedArg kArgsAddRoot[] = {{"", bcConstString}, {"", bcObject}};
constexpr ReflectedArg kArgCSpace[] = {{"cspace", bcCSpacePtr}};
constexpr ReflectedArg kArgPSpace[] = {{"", bcPSpacePtr}};
constexpr ReflectedArg kArgsOpenStore[] = {{"lssPath", bcConstString}, {"openMode", bcOpenMode}, {"", bcSettingsPtr}};
constexpr ReflectedArg kArgTxn[] = {{"", bcTxnPtr}};
constexpr ReflectedArg kArgsOpenPSpace[] = {{"", bcStorePtr}, {"", bcConstString}, {"cspace", bcCSpacePtr}};
constexpr ReflectedArg kArgLockMode[] = {{"", bcLockMode}};

using ObjectOp = void (*)(AnyInterface);
using DeclareOp = void (*)(AnyInterface, AnyInterface, bool);

#define VORN_GLOBAL(name, fn, ret, args, n) \
    constexpr ReflectedGlobalFunction k##name{"vorn::" #name, ret, args, n, nullptr, kNames, VORN_FUNCTION(fn)};

VORN_GLOBAL(GetAssociatedPersistStore, &GetAssociatedPersistStore, bcStorePtr, kArgObject, 1)
VORN_GLOBAL(ObjectsBelongToDifferentPersistStores, &ObjectsBelongToDifferentPersistStores, bcBool, kArgsTwoObjects, 2)
VORN_GLOBAL(GetOid, &GetOid, bcOid, kArgObject, 1)
VORN_GLOBAL(AddPSpaceRoot, &AddPSpaceRoot, bcBool, kArgsAddRoot, 2)
VORN_GLOBAL(AsyncBindObjectInMemoryGivenOid, &AsyncBindObjectInMemoryGivenOid, bcPersistable, kArgOid, 1)
VORN_GLOBAL(AsyncPermanentlyDeleteObject, static_cast<ObjectOp>(&AsyncPermanentlyDeleteObject), nullptr, kArgObject, 1)
VORN_GLOBAL(AsyncPermanentlyDeleteSubTree, static_cast<ObjectOp>(&AsyncPermanentlyDeleteSubTree), nullptr, kArgObject, 1)
VORN_GLOBAL(BindObjectGivenOid, &BindObjectGivenOid, bcPersistable, kArgOid, 1)
VORN_GLOBAL(BindObjectInMemoryGivenOid, &BindObjectInMemoryGivenOid, bcPersistable, kArgOid, 1)
VORN_GLOBAL(DeclareReachable, static_cast<DeclareOp>(&DeclareReachable), nullptr, kArgsDeclare, 3)
VORN_GLOBAL(GetAssociatedPSpace, &GetAssociatedPSpace, bcPSpacePtr, kArgObject, 1)
VORN_GLOBAL(GetPSpaceOfCSpace, &GetPSpaceOfCSpace, bcPSpacePtr, kArgCSpace, 1)
VORN_GLOBAL(GetPSpaceRoot, &GetPSpaceRoot, bcPersistable, kArgName, 1)
VORN_GLOBAL(GetThreadPSpace, &GetThreadPSpace, bcPSpacePtr, nullptr, 0)
VORN_GLOBAL(MarkPersistentAsDirtyWithoutTrace, &MarkPersistentAsDirtyWithoutTrace, nullptr, kArgObject, 1)
VORN_GLOBAL(OnGarbageCollectPersistable, &OnGarbageCollectPersistable, nullptr, kArgObject, 1)
VORN_GLOBAL(OpenPersistStore, &OpenPersistStore, bcStorePtr, kArgsOpenStore, 3)
VORN_GLOBAL(RemovePSpaceRoot, &RemovePSpaceRoot, bcBool, kArgName, 1)
VORN_GLOBAL(SetThreadPSpace, &SetThreadPSpace, nullptr, kArgPSpace, 1)
VORN_GLOBAL(SyncPermanentlyDeleteObject, static_cast<ObjectOp>(&SyncPermanentlyDeleteObject), nullptr, kArgObject, 1)
VORN_GLOBAL(SyncPermanentlyDeleteSubTree, static_cast<ObjectOp>(&SyncPermanentlyDeleteSubTree), nullptr, kArgObject, 1)
VORN_GLOBAL(TryBindObjectGivenOid, &TryBindObjectGivenOid, bcPersistable, kArgOid, 1)
VORN_GLOBAL(ClosePSpaceTxn, &ClosePSpaceTxn, nullptr, kArgTxn, 1)
VORN_GLOBAL(OpenPSpace, static_cast<PSpace* (*)(PersistStore*, const char*, CSpace*)>(&OpenPSpace), bcPSpacePtr,
            kArgsOpenPSpace, 3)
VORN_GLOBAL(OpenPSpaceTxn, &OpenPSpaceTxn, bcTxnPtr, kArgLockMode, 1)
#undef VORN_GLOBAL

// A plain pair of pointers: its table holds the generated byte copies only.
constexpr ReflectedClass kBcTypeOps = StructRecord<BcTypeOps>("vorn::BcTypeOps");
constexpr ReflectedTypedef kTypeOpsId{"vorn::TypeOpsId", bcInt32, nullptr};

// ---- registration tables -----------------------------------------------------------

const ReflectedItemEntry kBPlusTreeItems[] = {
    {NST_Class, &BPlusTree::s_class, nullptr},
    {NST_Class, &InternalNode::s_class, nullptr},
    {NST_Class, &LeafNode::s_class, nullptr},
};

const ReflectedItemEntry kItems[] = {
    {NST_Class, &kClassNameTranslation, nullptr},
    {NST_Class, &kClassNameTranslationTable, nullptr},
    {NST_Enum, &kEOpenMode, nullptr},
    {NST_GlobalFunction, &kGetAssociatedPersistStore, nullptr},
    {NST_Class, &kLssSettings, nullptr},
    {NST_GlobalFunction, &kObjectsBelongToDifferentPersistStores, nullptr},
    {NST_Enum, &kPSpaceLockMode, nullptr},
    {NST_Class, &kPersistStoreSettings, nullptr},
    {NST_Class, &kPersistOperationCallbacks, nullptr},
    {NST_Interface, &kIPrefVisitor, nullptr},
    {NST_GlobalFunction, &kGetOid, nullptr},
    {NST_Interface, &kIPersistableInterface, nullptr},
    {NST_Class, &kPersistObjState, nullptr},
    {NST_Class, &kOID, nullptr},
    {NST_Typedef, &kOidHigh, nullptr},
    {NST_Typedef, &kOidLow, nullptr},
    {NST_Typedef, &kSeidHigh, nullptr},
    {NST_Typedef, &kSeidLow, nullptr},
    {NST_Typedef, &kOidSpaceGuid, nullptr},
    {NST_Class, &kGoid, nullptr},
    {NST_Class, &OidSpaceMap::s_class, nullptr},
    {NST_Class, &kPSpace, nullptr},
    {NST_Class, &kPersistStore, nullptr},
    {NST_GlobalFunction, &kAddPSpaceRoot, nullptr},
    {NST_GlobalFunction, &kAsyncBindObjectInMemoryGivenOid, nullptr},
    {NST_GlobalFunction, &kAsyncPermanentlyDeleteObject, nullptr},
    {NST_GlobalFunction, &kAsyncPermanentlyDeleteSubTree, nullptr},
    {NST_GlobalFunction, &kBindObjectGivenOid, nullptr},
    {NST_GlobalFunction, &kBindObjectInMemoryGivenOid, nullptr},
    {NST_GlobalFunction, &kDeclareReachable, nullptr},
    {NST_GlobalFunction, &kGetAssociatedPSpace, nullptr},
    {NST_GlobalFunction, &kGetPSpaceOfCSpace, nullptr},
    {NST_GlobalFunction, &kGetPSpaceRoot, nullptr},
    {NST_GlobalFunction, &kGetThreadPSpace, nullptr},
    {NST_GlobalFunction, &kMarkPersistentAsDirtyWithoutTrace, nullptr},
    {NST_GlobalFunction, &kOnGarbageCollectPersistable, nullptr},
    {NST_GlobalFunction, &kOpenPersistStore, nullptr},
    {NST_GlobalFunction, &kRemovePSpaceRoot, nullptr},
    {NST_GlobalFunction, &kSetThreadPSpace, nullptr},
    {NST_GlobalFunction, &kSyncPermanentlyDeleteObject, nullptr},
    {NST_GlobalFunction, &kSyncPermanentlyDeleteSubTree, nullptr},
    {NST_GlobalFunction, &kTryBindObjectGivenOid, nullptr},
    {NST_Class, &kPersistStoreTxn, nullptr},
    {NST_GlobalFunction, &kClosePSpaceTxn, nullptr},
    {NST_GlobalFunction, &kOpenPSpace, nullptr},
    {NST_GlobalFunction, &kOpenPSpaceTxn, nullptr},
    {NST_Class, &kBcTypeOps, nullptr},
    {NST_Typedef, &kTypeOpsId, nullptr},
};

RegistrationOnce g_persistOnce;

} // namespace

ReflectedItemTable GetPersistModuleItems() { return ReflectedItemTable{kItems, int32_t(std::size(kItems))}; }
ReflectedItemTable GetBPlusTreeItems() { return ReflectedItemTable{kBPlusTreeItems, int32_t(std::size(kBPlusTreeItems))}; }

void RegisterPersistModule(XTarget& module)
{
    if (!g_persistOnce.Begin()) return;
    RegisterObjectSpaceModule(module);
    // The tree classes enter the module's lists here; the tree's own call then finds
    // them registered.
    RegisterReflectedItems(module, GetBPlusTreeItems());
    RegisterBPlusTreeClasses();
    RegisterReflectedItems(module, GetPersistModuleItems());
}

} // namespace vorn
