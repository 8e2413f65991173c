// The core framework module's start-up registration: its 110 items, the object-space
// items around the reflection module's own, each in its kind's list of the module record
// in the order the module registers them.
#include "vnObject/ObjectModule.h"
#include "vnReflection/Registry.h"
#include "vnReflection/XTarget.h"
#include <gtest/gtest.h>
#include <iterator>

using namespace vorn;

namespace {

const dsTargetConfig kConfigs[] = {{"Release 0.0", 0x180807D8u, nullptr}};
const dsTarget kTarget = {"Vorn/Test/vnObject", 0, nullptr, 1, kConfigs};

struct CoreItem {
    ENSType m_kind;
    const char* m_name;
};

// In registration order.
constexpr CoreItem kCoreItems[] = {
    {NST_Class, "vorn::CSpace"},
    {NST_GlobalFunction, "vorn::CreateCSpace2"},
    {NST_Enum, "vorn::ECSpaceLockMode"},
    {NST_Functor, "vorn::GCThreadFn"},
    {NST_GlobalFunction, "vorn::CreateCSpace"},
    {NST_GlobalFunction, "vorn::GetAssociatedCSpace"},
    {NST_GlobalFunction, "vorn::InhibitDeletion"},
    {NST_GlobalFunction, "vorn::SetEvictableObjectSizeInBytes"},
    {NST_GlobalFunction, "vorn::SetTouched"},
    {NST_GlobalFunction, "vorn::TransferCSpace"},
    {NST_GlobalFunction, "vorn::CSpaceStack_Pop"},
    {NST_GlobalFunction, "vorn::CSpaceStack_Push"},
    {NST_GlobalFunction, "vorn::CloseCSpaceStack"},
    {NST_GlobalFunction, "vorn::OpenCSpaceStack"},
    {NST_Class, "vorn::GCRoots"},
    {NST_Enum, "vorn::ENavNamespaceResult"},
    {NST_Interface, "vorn::INsNode"},
    {NST_GlobalFunction, "vorn::BindPathDownwards"},
    {NST_GlobalFunction, "vorn::FindChildNsNodeWithLinearScan"},
    {NST_Class, "vorn::AnyConstInterface"},
    {NST_Class, "vorn::AnyInterface"},
    {NST_Typedef, "vorn::ConstString16Z"},
    {NST_Typedef, "vorn::ConstString8Z"},
    {NST_Typedef, "vorn::ConstStringZ"},
    {NST_Enum, "vorn::ENameSpaceError"},
    {NST_Enum, "vorn::EReflectedClassBits"},
    {NST_Interface, "vorn::IBiDirIterator"},
    {NST_Interface, "vorn::IKeyType"},
    {NST_Interface, "vorn::IObject"},
    {NST_Interface, "vorn::IXMap"},
    {NST_Interface, "vorn::IXSet"},
    {NST_Class, "vorn::ObjSysState"},
    {NST_Typedef, "vorn::RSN"},
    {NST_Class, "vorn::ReflectedArg"},
    {NST_Class, "vorn::ReflectedAttribute"},
    {NST_Class, "vorn::ReflectedClass"},
    {NST_Class, "vorn::ReflectedClassMethod"},
    {NST_Class, "vorn::ReflectedEnum"},
    {NST_Class, "vorn::ReflectedField"},
    {NST_Class, "vorn::ReflectedFunction"},
    {NST_Class, "vorn::ReflectedFunctor"},
    {NST_Class, "vorn::ReflectedGlobalFunction"},
    {NST_Class, "vorn::ReflectedGlobalVariable"},
    {NST_Class, "vorn::ReflectedInterface"},
    {NST_Class, "vorn::ReflectedInterfaceMethod"},
    {NST_Class, "vorn::ReflectedModelField"},
    {NST_Class, "vorn::ReflectedReturnType"},
    {NST_Class, "vorn::ReflectedTypedef"},
    {NST_Class, "vorn::ReflectedVariant"},
    {NST_Typedef, "vorn::TIN"},
    {NST_Typedef, "vorn::ssize_t"},
    {NST_Typedef, "vorn::xchar"},
    {NST_Typedef, "vorn::xstring"},
    {NST_Class, "vorn::Guid"},
    {NST_Functor, "vorn::ThreadTaskFunctor"},
    {NST_Class, "vorn::IObjectVisitor"},
    {NST_Typedef, "vorn::SubString"},
    {NST_Class, "vorn::SubString16"},
    {NST_Class, "vorn::SubString8"},
    {NST_Enum, "vorn::ENSType"},
    {NST_Class, "vorn::NameSpaceElement"},
    {NST_Class, "vorn::ChildNameSpaceIterator"},
    {NST_GlobalFunction, "vorn::GetTheRootNameSpace"},
    {NST_Class, "vorn::NameSpace"},
    {NST_Class, "vorn::NameSpaceElementIterator"},
    {NST_Class, "vorn::IOperationCallBacks"},
    {NST_GlobalFunction, "vorn::GetThreadIOperationCallBacks"},
    {NST_GlobalFunction, "vorn::SetThreadIOperationCallBacks"},
    {NST_Typedef, "vorn::FieldAddress"},
    {NST_Interface, "vorn::IVectorFieldNotifications"},
    {NST_Class, "vorn::HPTime"},
    {NST_Enum, "vorn::EByteCodeQualifier"},
    {NST_GlobalFunction, "vorn::GetClassMethodArgByteCode"},
    {NST_GlobalFunction, "vorn::GetClassMethodReturnTypeByteCode"},
    {NST_GlobalFunction, "vorn::GetFieldByteCode"},
    {NST_GlobalFunction, "vorn::GetFunctorArgByteCode"},
    {NST_GlobalFunction, "vorn::GetFunctorReturnTypeByteCode"},
    {NST_GlobalFunction, "vorn::GetGlobalFunctionArgByteCode"},
    {NST_GlobalFunction, "vorn::GetGlobalFunctionReturnTypeByteCode"},
    {NST_GlobalFunction, "vorn::GetGlobalVariableByteCode"},
    {NST_GlobalFunction, "vorn::GetInterfaceAttributeByteCode"},
    {NST_GlobalFunction, "vorn::GetInterfaceMethodArgByteCode"},
    {NST_GlobalFunction, "vorn::GetInterfaceMethodReturnTypeByteCode"},
    {NST_GlobalFunction, "vorn::GetModelFieldByteCode"},
    {NST_GlobalFunction, "vorn::GetTypeDefByteCode"},
    {NST_GlobalFunction, "vorn::GetVariantFieldByteCode"},
    {NST_Class, "vorn::MetaData"},
    {NST_Class, "vorn::QualifiedByteCode"},
    {NST_Class, "vorn::ReadMetaData"},
    {NST_Class, "vorn::ReflectionByteCode"},
    {NST_Enum, "vorn::ETypeByteCode"},
    {NST_GlobalFunction, "vorn::GetMetaData"},
    {NST_Class, "vorn::ReflectionByteCodeValue"},
    {NST_Class, "vorn::Date"},
    {NST_Class, "vorn::dsTarget"},
    {NST_Class, "vorn::XTarget"},
    {NST_GlobalFunction, "vorn::AddGcRoot"},
    {NST_GlobalFunction, "vorn::GetEvictionThreshold"},
    {NST_GlobalFunction, "vorn::GetMilliSecsPerGc"},
    {NST_GlobalFunction, "vorn::GetThreadCSpace"},
    {NST_GlobalFunction, "vorn::ObjectInThreadCSpace"},
    {NST_GlobalFunction, "vorn::RegisterGcObject"},
    {NST_GlobalFunction, "vorn::RegisterNonGcObject"},
    {NST_GlobalFunction, "vorn::RemoveGcRoot"},
    {NST_GlobalFunction, "vorn::SetEvictionThreshold"},
    {NST_GlobalFunction, "vorn::SetMilliSecsPerGc"},
    {NST_GlobalFunction, "vorn::SetThreadCSpace"},
    {NST_GlobalFunction, "vorn::StartGc"},
    {NST_GlobalFunction, "vorn::StopGc"},
    {NST_GlobalFunction, "vorn::SynchronousGc"},
};
static_assert(std::size(kCoreItems) == 110);

TEST(CoreModuleItems, EveryItemIsInItsKindsListInRegistrationOrder)
{
    XTarget& module = CreateProgramModule(kTarget);
    RegisterObjectSpaceModule(module);

    // The core registration comes first in the program's module, so each kind's list
    // opens with the core items of that kind.
    int32_t next[NST_GlobalVariable + 1] = {};
    for (const CoreItem& item : kCoreItems) {
        SCOPED_TRACE(item.m_name);
        const int32_t i = next[item.m_kind]++;
        ASSERT_LT(i, module.GetNumRegistered(item.m_kind));
        const void* record = module.GetRegistered(item.m_kind, i);
        EXPECT_STREQ(GetReflectedRecordName(item.m_kind, record), item.m_name);
        EXPECT_EQ(FindReflectedItem(item.m_name, GetReflectedItemRegistry(item.m_kind)), record);
    }
    EXPECT_EQ(next[NST_Interface], 7);
    EXPECT_EQ(next[NST_Functor], 2);
    EXPECT_EQ(next[NST_Typedef], 10);
    EXPECT_EQ(next[NST_Enum], 7);
}

} // namespace
