#include "Tilvex/Model/TilvexModule.h"
#include "Tilvex/Model/TilvexCalculator.h"
#include "vnPersistStore/PersistModule.h"
#include "vnPersistStore/Persistable.h"
#include "vnReflection/GeneratedTypeOps.h"
#include "vnReflection/Invoke.h"
#include "vnWindows/WindowModule.h"
#include <cstddef>
#include <iterator>

namespace vorn {

namespace {

constexpr const char* kNames[] = {"vorn::Rect2d",       "vorn::Archive",    "vorn::OID",
                                  "vorn::PSpace",       "vorn::ITilvexViewer", "vorn::Rect2i",
                                  "vorn::ResDIB",       "vorn::Tilvex",     "vorn::IImageTileCalculator",
                                  "vorn::TilvexCalculatorSettings", "vorn::TilvexCalculator",
                                  "vorn::TilvexCalculatorProgress", "vorn::HPTime", "vorn::IObject"};
constexpr uint8_t bcBool[] = {FT_BOOL};
constexpr uint8_t bcInt32[] = {FT_INT32};
constexpr uint8_t bcInt64[] = {FT_INT64};
constexpr uint8_t bcRect2dRef[] = {FT_REFERENCE, FT_CONST, FT_CLASS, VORN_BC_INDEX(0)};
constexpr uint8_t bcArchiveRef[] = {FT_REFERENCE, FT_NOT_REFLECTED, VORN_BC_INDEX(1)};
constexpr uint8_t bcOid[] = {FT_CLASS, VORN_BC_INDEX(2)};
constexpr uint8_t bcPSpacePtr[] = {FT_POINTER, FT_CLASS, VORN_BC_INDEX(3)};
constexpr uint8_t bcTilvexPtr[] = {FT_POINTER, FT_CLASS, VORN_BC_INDEX(7)};
constexpr uint8_t bcCalcItf[] = {FT_INTERFACE_POINTER, FT_INTERFACE, VORN_BC_INDEX(8)};
constexpr uint8_t bcRect2dPtr[] = {FT_POINTER, FT_CONST, FT_CLASS, VORN_BC_INDEX(0)};
constexpr uint8_t bcSettingsRef[] = {FT_REFERENCE, FT_CONST, FT_CLASS, VORN_BC_INDEX(9)};
constexpr uint8_t bcCalcPtr[] = {FT_POINTER, FT_CLASS, VORN_BC_INDEX(10)};
constexpr uint8_t bcProgress[] = {FT_CLASS, VORN_BC_INDEX(11)};
constexpr uint8_t bcHPTime[] = {FT_CLASS, VORN_BC_INDEX(12)};
constexpr uint8_t bcIObject[] = {FT_INTERFACE_POINTER, FT_INTERFACE, VORN_BC_INDEX(13)};
constexpr uint8_t bcViewerItf[] = {FT_INTERFACE_POINTER, FT_INTERFACE, VORN_BC_INDEX(4)};
constexpr uint8_t bcRect2iRef[] = {FT_REFERENCE, FT_CONST, FT_CLASS, VORN_BC_INDEX(5)};
constexpr uint8_t bcResDIBRef[] = {FT_REFERENCE, FT_CONST, FT_CLASS, VORN_BC_INDEX(6)};

constexpr const char* kIObjectBase[] = {"vorn::IObject"};

// ---- interfaces --------------------------------------------------------------------

constexpr ReflectedArg kBindArgs[] = {{"tile", bcOid}};
constexpr ReflectedInterfaceMethod kViewerMethods[] = {
    {"ShowTileOutlines", bcBool, nullptr, 0, nullptr, false},
    {"LinearMagFilter", bcBool, nullptr, 0, nullptr, false},
    {"LinearMinFilter", bcBool, nullptr, 0, nullptr, false},
    {"BindTexture", bcBool, kBindArgs, 1, nullptr, false},
};
constexpr ReflectedArg kWriteArgs[] = {{"rect", bcRect2dRef}, {"ar", bcArchiveRef}};
constexpr ReflectedInterfaceMethod kCalculatorMethods[] = {{"WriteJpegImage", bcBool, kWriteArgs, 2, nullptr, false}};

// ---- structs -----------------------------------------------------------------------

template <class T>
constexpr ReflectedClass Record(const char* name, int32_t flags, TypeOps ops, const ReflectedField* fields = nullptr,
                                int32_t numFields = 0, const ReflectedClassMethod* methods = nullptr, int32_t numMethods = 0,
                                ClassFactory factory = nullptr)
{
    return MakeClassRecord<T>(name, flags, ops, kNames, fields, numFields, methods, numMethods, factory);
}

constexpr ReflectedField kSettingsFields[] = {{"height", int32_t(offsetof(TilvexCalculatorSettings, m_height)), bcInt32}};
constexpr ReflectedField kProgressFields[] = {
    {"totalTiles", int32_t(offsetof(TilvexCalculatorProgress, m_totalTiles)), bcInt64},
    {"tilesWithContent", int32_t(offsetof(TilvexCalculatorProgress, m_tilesWithContent)), bcInt64},
    {"tilesDone", int32_t(offsetof(TilvexCalculatorProgress, m_tilesDone)), bcInt64},
    {"jpegBytes", int32_t(offsetof(TilvexCalculatorProgress, m_jpegBytes)), bcInt64},
    {"startTime", int32_t(offsetof(TilvexCalculatorProgress, m_startTime)), bcHPTime},
    {"finished", int32_t(offsetof(TilvexCalculatorProgress, m_finished)), bcBool},
};

// ---- classes -----------------------------------------------------------------------

constexpr ReflectedArg kHeightArgs[] = {{"height", bcInt32}};
constexpr ReflectedArg kRowColArgs[] = {{"row", bcInt32}, {"col", bcInt32}};
constexpr ReflectedArg kGLDrawArgs[] = {{"view", bcViewerItf}, {"bdRect", bcRect2iRef}, {"updateRect", bcRect2iRef}};
constexpr ReflectedArg kSetImage2Args[] = {{"srcImg", bcResDIBRef}};
constexpr ReflectedArg kSetImageArgs[] = {{"srcImg", bcResDIBRef}, {"bdRect", bcRect2iRef}, {"updateRect", bcRect2iRef}};
constexpr ReflectedClassMethod kTilvexMethods[] = {
    {"GetPSpace", bcPSpacePtr, nullptr, 0, nullptr, false, VORN_METHOD(&Tilvex::GetPSpace)},
    {"SetHeight", nullptr, kHeightArgs, 1, nullptr, false, VORN_METHOD(&Tilvex::SetHeight)},
    {"GetHeight", bcInt32, nullptr, 0, nullptr, true, VORN_METHOD(&Tilvex::GetHeight)},
    {"GLDraw", nullptr, kGLDrawArgs, 3, nullptr, true, VORN_METHOD(&Tilvex::GLDraw)},
    {"SetImage2", nullptr, kSetImage2Args, 1, nullptr, false, VORN_METHOD(&Tilvex::SetImage2)},
    {"SetImage", nullptr, kSetImageArgs, 3, nullptr, false, VORN_METHOD(&Tilvex::SetImage)},
    {"IncreaseHeight", nullptr, kRowColArgs, 2, nullptr, false, VORN_METHOD(&Tilvex::IncreaseHeight)},
};

constexpr ReflectedClassMethod kCalculatorClassMethods[] = {
    {"AsIObject", bcIObject, nullptr, 0, nullptr, false, VORN_METHOD(&TilvexCalculator::AsIObject)},
    {"SignalAbort", nullptr, nullptr, 0, nullptr, false, VORN_METHOD(&TilvexCalculator::SignalAbort)},
    {"Execute", nullptr, nullptr, 0, nullptr, false, VORN_METHOD(&TilvexCalculator::Execute)},
    {"GetProgress", bcProgress, nullptr, 0, nullptr, false, VORN_METHOD(&TilvexCalculator::GetProgress)},
};

constexpr ReflectedArg kCreateArgs[] = {
    {"img", bcTilvexPtr}, {"imageTileCalculator", bcCalcItf}, {"rect", bcRect2dPtr}, {"settings", bcSettingsRef}};


RegistrationOnce g_tilvexOnce;

} // namespace

const ReflectedInterface kITilvexViewerInterface{
    "vorn::ITilvexViewer", nullptr, kIObjectBase, 1, kNumIObjectMethods, kViewerMethods, 4, nullptr, 0, kNames};
const ReflectedInterface kIImageTileCalculatorInterface{
    "vorn::IImageTileCalculator", nullptr, kIObjectBase, 1, kNumIObjectMethods, kCalculatorMethods, 1, nullptr, 0, kNames};

namespace {

const ReflectedClass kSettings = Record<TilvexCalculatorSettings>(
    "vorn::TilvexCalculatorSettings", RcfBit(RCF_CLASS), ValueTypeOps<TilvexCalculatorSettings>(), kSettingsFields, 1);
const ReflectedClass kProgress = Record<TilvexCalculatorProgress>(
    "vorn::TilvexCalculatorProgress", RcfBit(RCF_CLASS), ValueTypeOps<TilvexCalculatorProgress>(), kProgressFields, 6);
const ReflectedClass kTilvexClass = Record<Tilvex>("vorn::Tilvex", RcfBit(RCF_ADT), ValueTypeOps<Tilvex>(), nullptr, 0,
                                                   kTilvexMethods, int32_t(std::size(kTilvexMethods)),
                                                   &NewPersistableFactory<Tilvex>);
const ReflectedClass kTilvexNodeClass = Record<TilvexNode>("vorn::TilvexNode", RcfBit(RCF_ADT),
                                                           ConstructibleAdtTypeOps<TilvexNode>(), nullptr, 0, nullptr, 0,
                                                           &NewPersistableFactory<TilvexNode>);
const ReflectedClass kCalculatorClass = Record<TilvexCalculator>("vorn::TilvexCalculator", RcfBit(RCF_ADT),
                                                                 AdtTypeOps<TilvexCalculator>(), nullptr, 0,
                                                                 kCalculatorClassMethods, 4);
const ReflectedGlobalFunction kCreateTilvexCalculator{"vorn::CreateTilvexCalculator", bcCalcPtr, kCreateArgs, 4,
                                                      nullptr, kNames, VORN_FUNCTION(&CreateTilvexCalculator)};

const ReflectedItemEntry kItems[] = {
    {NST_Interface, &kIImageTileCalculatorInterface, nullptr},
    {NST_Interface, &kITilvexViewerInterface, nullptr},
    {NST_Class, &kProgress, nullptr},
    {NST_Class, &kSettings, nullptr},
    {NST_Class, &kTilvexClass, nullptr},
    {NST_Class, &kCalculatorClass, nullptr},
    {NST_GlobalFunction, &kCreateTilvexCalculator, nullptr},
    {NST_Class, &kTilvexNodeClass, nullptr},
};

} // namespace

const ReflectedClass* Tilvex::GetClassRecord() { return &kTilvexClass; }
const ReflectedClass* TilvexNode::GetClassRecord() { return &kTilvexNodeClass; }
const ReflectedClass* TilvexCalculator::GetClassRecord() { return &kCalculatorClass; }

ReflectedItemTable GetTilvexModuleItems() { return ReflectedItemTable{kItems, int32_t(std::size(kItems))}; }

void InitTilvexModule(XTarget& module)
{
    if (!g_tilvexOnce.Begin()) return;
    RegisterPersistModule(module);
    InitImageModuleReflection(module);
    InitUtilsModuleReflection(module);
    RegisterReflectedItemsOnce(module, GetTilvexModuleItems());
}

} // namespace vorn
