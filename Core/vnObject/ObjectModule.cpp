// The reflection records of the object-space module and its start-up call.
#include "vnObject/ObjectModule.h"
#include "vnObject/CSpace.h"
#include "vnObject/CSpaceStack.h"
#include "vnObject/DepGraph.h"
#include "vnReflection/CoreModule.h"
#include "vnReflection/Invoke.h"
#include "vnReflection/OperationCallBacks.h"
#include <atomic>
#include <iterator>

namespace vorn {

namespace {

enum : uint16_t { N_CSpace, N_IObject, N_ECSpaceLockMode, N_GCThreadFn };
constexpr const char* kNames[] = {"vorn::CSpace", "vorn::IObject", "vorn::ECSpaceLockMode", "vorn::GCThreadFn"};

constexpr uint8_t bcBool[] = {FT_BOOL};
constexpr uint8_t bcInt32[] = {FT_INT32};
constexpr uint8_t bcInt64[] = {FT_INT64};
constexpr uint8_t bcUInt64[] = {FT_UINT64};
constexpr uint8_t bcSlots[] = {FT_POINTER, FT_POINTER, FT_VOID};
constexpr uint8_t bcCSpacePtr[] = {FT_POINTER, FT_CLASS, VORN_BC_INDEX(N_CSpace)};
constexpr uint8_t bcObject[] = {FT_INTERFACE_POINTER, FT_INTERFACE, VORN_BC_INDEX(N_IObject)};
constexpr uint8_t bcMode[] = {FT_ENUM, VORN_BC_INDEX(N_ECSpaceLockMode)};
constexpr uint8_t bcThreadFn[] = {FT_FUNCTOR, VORN_BC_INDEX(N_GCThreadFn)};

constexpr ReflectedArg kArgObject[] = {{"", bcObject}};
constexpr ReflectedArg kArgMode[] = {{"mode", bcMode}};
constexpr ReflectedArg kArgInt[] = {{"", bcInt32}};
constexpr ReflectedArg kArgEnableGC[] = {{"enableGC", bcBool}};
constexpr ReflectedArg kArgsCreate[] = {{"enableGC", bcBool}, {"", bcThreadFn}};
constexpr ReflectedArg kArgSpace[] = {{"", bcCSpacePtr}};
constexpr ReflectedArg kArgsTransfer[] = {{"", bcCSpacePtr}, {"", bcCSpacePtr}};
constexpr ReflectedArg kArgsSize[] = {{"", bcObject}, {"", bcInt32}};
constexpr ReflectedArg kArgsThreadFn[] = {{"", bcCSpacePtr}};

#define VORN_CSPACE_METHOD(name, ret, args, n, isConst) \
    ReflectedClassMethod{#name, ret, args, n, nullptr, isConst, VORN_METHOD(&CSpace::name)}

constexpr ReflectedClassMethod kCSpaceMethods[] = {
    VORN_CSPACE_METHOD(Destroy, nullptr, nullptr, 0, false),
    VORN_CSPACE_METHOD(WaitForGarbageCollect, bcBool, nullptr, 0, false),
    VORN_CSPACE_METHOD(Lock, nullptr, kArgMode, 1, false),
    VORN_CSPACE_METHOD(Unlock, nullptr, nullptr, 0, false),
    VORN_CSPACE_METHOD(AddGcRoot, nullptr, kArgObject, 1, false),
    VORN_CSPACE_METHOD(RemoveGcRoot, nullptr, kArgObject, 1, false),
    VORN_CSPACE_METHOD(StartGc, nullptr, nullptr, 0, false),
    VORN_CSPACE_METHOD(StopGc, nullptr, nullptr, 0, false),
    VORN_CSPACE_METHOD(RegisterGcObject, nullptr, kArgObject, 1, false),
    VORN_CSPACE_METHOD(RegisterNonGcObject, nullptr, kArgObject, 1, false),
    VORN_CSPACE_METHOD(GetNumObjects, bcInt64, nullptr, 0, false),
    VORN_CSPACE_METHOD(SynchronousGc, nullptr, nullptr, 0, false),
    VORN_CSPACE_METHOD(GetMilliSecsPerGc, bcInt32, nullptr, 0, false),
    VORN_CSPACE_METHOD(SetMilliSecsPerGc, nullptr, kArgInt, 1, false),
    VORN_CSPACE_METHOD(GetEvictionThreshold, bcInt32, nullptr, 0, false),
    VORN_CSPACE_METHOD(SetEvictionThreshold, nullptr, kArgInt, 1, false),
    VORN_CSPACE_METHOD(GetTotalNumCompletedGcs, bcUInt64, nullptr, 0, true),
    VORN_CSPACE_METHOD(GetPtrSlotArray, bcSlots, nullptr, 0, false),
};
#undef VORN_CSPACE_METHOD

constexpr ReflectedClass kCSpace = MakeClassRecord<CSpace>("vorn::CSpace", 0, TypeOps{}, kNames, nullptr, 0, kCSpaceMethods,
                                                          int32_t(std::size(kCSpaceMethods)));

constexpr const char* kLockModeNames[] = {"LOCK_SHARED_READ", "LOCK_EXCLUSIVE"};
constexpr ReflectedEnum kECSpaceLockMode{"vorn::ECSpaceLockMode", nullptr, nullptr, 2, kLockModeNames, nullptr, nullptr};

constexpr ReflectedArg kArgsGCThreadFn[] = {{"", bcCSpacePtr}};
constexpr ReflectedFunctor kGCThreadFn{"vorn::GCThreadFn", nullptr, kArgsGCThreadFn, 1, nullptr, kNames};

#define VORN_GLOBAL(name, ret, args, n) \
    constexpr ReflectedGlobalFunction k##name{"vorn::" #name, ret, args, n, nullptr, kNames, VORN_FUNCTION(&name)};

VORN_GLOBAL(CreateCSpace2, bcCSpacePtr, kArgEnableGC, 1)
VORN_GLOBAL(CreateCSpace, bcCSpacePtr, kArgsCreate, 2)
VORN_GLOBAL(GetAssociatedCSpace, bcCSpacePtr, kArgObject, 1)
VORN_GLOBAL(InhibitDeletion, nullptr, kArgObject, 1)
VORN_GLOBAL(SetEvictableObjectSizeInBytes, nullptr, kArgsSize, 2)
VORN_GLOBAL(SetTouched, nullptr, kArgObject, 1)
VORN_GLOBAL(TransferCSpace, nullptr, kArgsTransfer, 2)
VORN_GLOBAL(CSpaceStack_Pop, nullptr, kArgInt, 1)
VORN_GLOBAL(CSpaceStack_Push, nullptr, kArgObject, 1)
VORN_GLOBAL(CloseCSpaceStack, nullptr, nullptr, 0)
VORN_GLOBAL(OpenCSpaceStack, nullptr, nullptr, 0)
VORN_GLOBAL(AddGcRoot, nullptr, kArgObject, 1)
VORN_GLOBAL(GetEvictionThreshold, bcInt32, nullptr, 0)
VORN_GLOBAL(GetMilliSecsPerGc, bcInt32, nullptr, 0)
VORN_GLOBAL(GetThreadCSpace, bcCSpacePtr, nullptr, 0)
VORN_GLOBAL(ObjectInThreadCSpace, bcBool, kArgObject, 1)
VORN_GLOBAL(RegisterGcObject, nullptr, kArgObject, 1)
VORN_GLOBAL(RegisterNonGcObject, nullptr, kArgObject, 1)
VORN_GLOBAL(RemoveGcRoot, nullptr, kArgObject, 1)
VORN_GLOBAL(SetEvictionThreshold, nullptr, kArgInt, 1)
VORN_GLOBAL(SetMilliSecsPerGc, nullptr, kArgInt, 1)
VORN_GLOBAL(SetThreadCSpace, nullptr, kArgSpace, 1)
VORN_GLOBAL(StartGc, nullptr, nullptr, 0)
VORN_GLOBAL(StopGc, nullptr, nullptr, 0)
VORN_GLOBAL(SynchronousGc, nullptr, nullptr, 0)
#undef VORN_GLOBAL

const void* BuildGCRootsRecord() { return GetGCRootsClassRecord(); }

constexpr ReflectedItemEntry kFirstItems[] = {
    {NST_Class, &kCSpace, nullptr},
    {NST_GlobalFunction, &kCreateCSpace2, nullptr},
    {NST_Enum, &kECSpaceLockMode, nullptr},
    {NST_Functor, &kGCThreadFn, nullptr},
    {NST_GlobalFunction, &kCreateCSpace, nullptr},
    {NST_GlobalFunction, &kGetAssociatedCSpace, nullptr},
    {NST_GlobalFunction, &kInhibitDeletion, nullptr},
    {NST_GlobalFunction, &kSetEvictableObjectSizeInBytes, nullptr},
    {NST_GlobalFunction, &kSetTouched, nullptr},
    {NST_GlobalFunction, &kTransferCSpace, nullptr},
    {NST_GlobalFunction, &kCSpaceStack_Pop, nullptr},
    {NST_GlobalFunction, &kCSpaceStack_Push, nullptr},
    {NST_GlobalFunction, &kCloseCSpaceStack, nullptr},
    {NST_GlobalFunction, &kOpenCSpaceStack, nullptr},
    {NST_Class, nullptr, &BuildGCRootsRecord},
};

constexpr ReflectedItemEntry kLastItems[] = {
    {NST_GlobalFunction, &kAddGcRoot, nullptr},
    {NST_GlobalFunction, &kGetEvictionThreshold, nullptr},
    {NST_GlobalFunction, &kGetMilliSecsPerGc, nullptr},
    {NST_GlobalFunction, &kGetThreadCSpace, nullptr},
    {NST_GlobalFunction, &kObjectInThreadCSpace, nullptr},
    {NST_GlobalFunction, &kRegisterGcObject, nullptr},
    {NST_GlobalFunction, &kRegisterNonGcObject, nullptr},
    {NST_GlobalFunction, &kRemoveGcRoot, nullptr},
    {NST_GlobalFunction, &kSetEvictionThreshold, nullptr},
    {NST_GlobalFunction, &kSetMilliSecsPerGc, nullptr},
    {NST_GlobalFunction, &kSetThreadCSpace, nullptr},
    {NST_GlobalFunction, &kStartGc, nullptr},
    {NST_GlobalFunction, &kStopGc, nullptr},
    {NST_GlobalFunction, &kSynchronousGc, nullptr},
};

bool RegisterWithThreadSpace(AnyInterface object)
{
    CSpace* space = GetThreadCSpace();
    if (space == nullptr) return false;
    space->RegisterGcObject(object);
    return true;
}

void ReportFieldWrite(void* field, AnyInterface object, int32_t) { DGInvalidateDataModelField(field, object); }

std::atomic<bool> g_moduleRegistered{false};

} // namespace

ReflectedItemTable GetObjectSpaceFirstItems() { return ReflectedItemTable{kFirstItems, int32_t(std::size(kFirstItems))}; }
ReflectedItemTable GetObjectSpaceLastItems() { return ReflectedItemTable{kLastItems, int32_t(std::size(kLastItems))}; }

void InstallObjectSpaceHooks()
{
    SetCreateRegistrationHook(&RegisterWithThreadSpace);
    SetFieldWriteHook(&ReportFieldWrite);
}

void RegisterObjectSpaceModule(XTarget& module)
{
    if (g_moduleRegistered.exchange(true)) return;
    InstallObjectSpaceHooks();
    if (CoreModuleRegistered()) {
        // The core group ran without this module's items: add them now.
        RegisterReflectedItems(module, GetObjectSpaceFirstItems());
        RegisterReflectedItems(module, GetObjectSpaceLastItems());
        return;
    }
    SetCoreModuleObjectSpaceItems(GetObjectSpaceFirstItems(), GetObjectSpaceLastItems());
    RegisterCoreModuleReflection(module);
}

} // namespace vorn
