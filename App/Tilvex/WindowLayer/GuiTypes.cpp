#include "Tilvex/WindowLayer/GuiTypes.h"
#include "vnObject/ObjectModule.h"
#include "vnWindows/WindowModule.h"
#include "vnReflection/GeneratedTypeOps.h"
#include "vnReflection/IObject.h"
#include "vnReflection/OrderedSearch.h"
#include <iterator>

namespace vorn {

namespace {

// ---- type operations of MButton -------------------------------------------------

bool MButtonLess(const MButton& a, const MButton& b)
{
    if (a.Captured != b.Captured) return b.Captured;
    return !a.MouseOver && b.MouseOver;
}

struct MButtonOps {
    static const MButton& At(const void* first, ssize_t stride, ssize_t i)
    {
        return *reinterpret_cast<const MButton*>(static_cast<const char*>(first) + stride * i);
    }
    static bool Equal(const void* a, const void* b)
    {
        const auto& x = *static_cast<const MButton*>(a);
        const auto& y = *static_cast<const MButton*>(b);
        return x.Captured == y.Captured && x.MouseOver == y.MouseOver;
    }
    static bool Less(const void* a, const void* b)
    {
        return MButtonLess(*static_cast<const MButton*>(a), *static_cast<const MButton*>(b));
    }
    static void Print(TextWriter& w, const void* v)
    {
        const auto& b = *static_cast<const MButton*>(v);
        w << "MButton(" << b.Captured << "," << b.MouseOver << ")";
    }
    static void SerialiseN(Archive& ar, const void* first, ssize_t stride, ssize_t count)
    {
        for (ssize_t i = 0; i < count; ++i) {
            ar.WriteByte(At(first, stride, i).Captured ? 1 : 0);
            ar.WriteByte(At(first, stride, i).MouseOver ? 1 : 0);
        }
    }
    static InputArchive DeserialiseN(InputArchive in, void* first, ssize_t stride, ssize_t count)
    {
        for (ssize_t i = 0; i < count; ++i) {
            uint8_t bytes[2];
            in = ReadBytesFromBuffer(in, bytes, 2);
            auto& b = *reinterpret_cast<MButton*>(static_cast<char*>(first) + stride * i);
            b.Captured = bytes[0] != 0;
            b.MouseOver = bytes[1] != 0;
        }
        return in;
    }
};

constexpr TypeOps MButtonTypeOps()
{
    TypeOps ops = ValueTypeOps<MButton>(&MButtonOps::Print);
    ops.m_equal = &MButtonOps::Equal;
    ops.m_less = &MButtonOps::Less;
    ops.m_serialiseN = &MButtonOps::SerialiseN;
    ops.m_deserialiseN = &MButtonOps::DeserialiseN;
    ops.m_lowerBound = &OrderedSearch<MButton, &MButtonLess>::LowerBound;
    ops.m_upperBound = &OrderedSearch<MButton, &MButtonLess>::UpperBound;
    return ops;
}

// ---- records ----------------------------------------------------------------------

template <class T>
constexpr ReflectedClass StructRecord(const char* name, const ReflectedField* fields, int32_t numFields, TypeOps ops,
                                      int32_t flags = RcfBit(RCF_CLASS))
{
    return MakeClassRecord<T>(name, flags, ops, nullptr, fields, numFields);
}

constexpr const char* kBorderStyleNames[] = {"BCS_RAISED", "BCS_LOWERED", "BCS_FLAT"};
constexpr ReflectedEnum kEBorderCtrlStyle{"vorn::EBorderCtrlStyle", nullptr, nullptr, 3, kBorderStyleNames, nullptr,
                                          nullptr};
constexpr const char* kButtonEventNames[] = {"BeginPressed", "EndPressed", "AbortPressed", "MouseEnter", "MouseLeave"};
constexpr ReflectedEnum kEButtonEvent{"vorn::EButtonEvent", nullptr, nullptr, 5, kButtonEventNames, nullptr, nullptr};

// The names the interfaces' byte code refers to.
constexpr const char* kNames[] = {"vorn::EBorderCtrlStyle", "vorn::coord_t", "vorn::SliderParams", "Gdiplus::Brush",
                                  "Gdiplus::Font", "Gdiplus::Pen"};
constexpr uint8_t bcBorderStyle[] = {FT_ENUM, VORN_BC_INDEX(0)};
constexpr uint8_t bcCoord[] = {FT_TYPEDEF, VORN_BC_INDEX(1)};
constexpr uint8_t bcSliderParams[] = {FT_CLASS, VORN_BC_INDEX(2)};
constexpr uint8_t bcBrushPtr[] = {FT_POINTER, FT_NOT_REFLECTED, VORN_BC_INDEX(3)};
constexpr uint8_t bcFontPtr[] = {FT_POINTER, FT_NOT_REFLECTED, VORN_BC_INDEX(4)};
constexpr uint8_t bcPenPtr[] = {FT_POINTER, FT_NOT_REFLECTED, VORN_BC_INDEX(5)};
constexpr uint8_t bcBool[] = {FT_BOOL};

constexpr const char* kIObjectBase[] = {"vorn::IObject"};

constexpr ReflectedInterfaceMethod kBorderMethods[] = {
    {"GetBorderStyle", bcBorderStyle, nullptr, 0, nullptr, false},
    {"GetLeftMargin", bcCoord, nullptr, 0, nullptr, false},
    {"GetRightMargin", bcCoord, nullptr, 0, nullptr, false},
    {"GetTopMargin", bcCoord, nullptr, 0, nullptr, false},
    {"GetBottomMargin", bcCoord, nullptr, 0, nullptr, false},
};
constexpr ReflectedAttribute kBorderAttributes[] = {
    {"BorderStyle", bcBorderStyle}, {"LeftMargin", bcCoord},     {"RightMargin", bcCoord},
    {"TopMargin", bcCoord},         {"BottomMargin", bcCoord},
};
constexpr ReflectedInterface kIBorderCtrlModel{"vorn::IBorderCtrlModel", nullptr, kIObjectBase, 1, kNumIObjectMethods,
                                               kBorderMethods, 5, kBorderAttributes, 5, kNames};

constexpr ReflectedInterface ProviderInterface(const char* name, const ReflectedInterfaceMethod* method)
{
    return ReflectedInterface{name, nullptr, kIObjectBase, 1, kNumIObjectMethods, method, 1, nullptr, 0, kNames};
}
constexpr ReflectedInterfaceMethod kSliderMethod[] = {{"GetSliderParams", bcSliderParams, nullptr, 0, nullptr, false}};
constexpr ReflectedInterfaceMethod kBrushMethod[] = {{"GetBrush", bcBrushPtr, nullptr, 0, nullptr, false}};
constexpr ReflectedInterfaceMethod kFontMethod[] = {{"GetFont", bcFontPtr, nullptr, 0, nullptr, false}};
constexpr ReflectedInterfaceMethod kPenMethod[] = {{"GetPen", bcPenPtr, nullptr, 0, nullptr, false}};
constexpr ReflectedInterface kISliderParamsProvider = ProviderInterface("vorn::ISliderParamsProvider", kSliderMethod);
constexpr ReflectedInterface kIBrushProvider = ProviderInterface("vorn::IBrushProvider", kBrushMethod);
constexpr ReflectedInterface kIFontProvider = ProviderInterface("vorn::IFontProvider", kFontMethod);
constexpr ReflectedInterface kIPenProvider = ProviderInterface("vorn::IPenProvider", kPenMethod);

constexpr ReflectedField kMButtonFields[] = {
    {"Captured", int32_t(offsetof(MButton, Captured)), bcBool},
    {"MouseOver", int32_t(offsetof(MButton, MouseOver)), bcBool},
};
constexpr ReflectedClass kMButton = StructRecord<MButton>("vorn::MButton", kMButtonFields, 2, MButtonTypeOps());
constexpr ReflectedClass kWordWrapLayout =
    StructRecord<WordWrapLayout>("vorn::WordWrapLayout", nullptr, 0, ValueTypeOps<WordWrapLayout>());
constexpr ReflectedClass kGridWithFixedRowHeight =
    StructRecord<GridWithFixedRowHeight>("vorn::GridWithFixedRowHeight", nullptr, 0, ValueTypeOps<GridWithFixedRowHeight>());
constexpr ReflectedClass kIrregularGrid =
    StructRecord<IrregularGrid>("vorn::IrregularGrid", nullptr, 0, ValueTypeOps<IrregularGrid>());
constexpr ReflectedClass kSliderParams =
    StructRecord<SliderParams>("vorn::SliderParams", nullptr, 0, ValueTypeOps<SliderParams>());
constexpr ReflectedClass kPaletteChannelCalculator = StructRecord<PaletteChannelCalculator>(
    "PaletteChannelCalculator", nullptr, 0, AdtTypeOps<PaletteChannelCalculator>(), RcfBit(RCF_ADT));

constexpr ReflectedItemEntry kGuiItems[] = {
    {NST_Enum, &kEBorderCtrlStyle, nullptr},
    {NST_Interface, &kIBorderCtrlModel, nullptr},
    {NST_Enum, &kEButtonEvent, nullptr},
    {NST_Class, &kMButton, nullptr},
    {NST_Class, &kWordWrapLayout, nullptr},
    {NST_Class, &kGridWithFixedRowHeight, nullptr},
    {NST_Class, &kIrregularGrid, nullptr},
    {NST_Interface, &kISliderParamsProvider, nullptr},
    {NST_Class, &kSliderParams, nullptr},
    {NST_Interface, &kIBrushProvider, nullptr},
    {NST_Interface, &kIFontProvider, nullptr},
    {NST_Interface, &kIPenProvider, nullptr},
};

RegistrationOnce g_guiOnce;

} // namespace

ReflectedItemTable GetGuiModuleItems() { return ReflectedItemTable{kGuiItems, int32_t(std::size(kGuiItems))}; }

ReflectedItemEntry PaletteChannelCalculatorEntry()
{
    return ReflectedItemEntry{NST_Class, &kPaletteChannelCalculator, nullptr};
}

void RegisterGuiModuleReflection(XTarget& module)
{
    if (!g_guiOnce.Begin()) return;
    // The core module; the utility-and-window module registers the image module and
    // vorn::coord_t, which the margins are.
    RegisterObjectSpaceModule(module);
    InitUtilsModuleReflection(module);
    InitImageModuleReflection(module);
    RegisterReflectedItemsOnce(module, GetGuiModuleItems());
}

} // namespace vorn
