#include "vnWindows/WindowModule.h"
#include "vnImage/Jpeg.h"
#include "vnImage/ResDIB.h"
#include "vnObject/ObjectModule.h"
#include "vnReflection/CoreModule.h"
#include "vnReflection/GeneratedTypeOps.h"
#include "vnWindows/OpenGLWndForView.h"
#include <cstddef>
#include <iterator>

namespace vorn {

namespace {

// ---- byte code ---------------------------------------------------------------------

constexpr const char* kNames[] = {"vorn::Point2i",  "vorn::EMouseEventType", "vorn::EWindowsKeyEvent",
                                  "vorn::ESizeCaps", "vorn::MouseEvent",      "vorn::WindowsKeyEvent"};
constexpr uint8_t bcBool[] = {FT_BOOL};
constexpr uint8_t bcInt32[] = {FT_INT32};
constexpr uint8_t bcUInt32[] = {FT_UINT32};
constexpr uint8_t bcResult[] = {FT_INT64};
constexpr uint8_t bcPoint2i[] = {FT_CLASS, VORN_BC_INDEX(0)};
constexpr uint8_t bcPointRef[] = {FT_REFERENCE, FT_CONST, FT_CLASS, VORN_BC_INDEX(0)};
constexpr uint8_t bcMouseType[] = {FT_ENUM, VORN_BC_INDEX(1)};
constexpr uint8_t bcKeyEventType[] = {FT_ENUM, VORN_BC_INDEX(2)};
constexpr uint8_t bcSizeCaps[] = {FT_ENUM, VORN_BC_INDEX(3)};
constexpr uint8_t bcMouseEventRef[] = {FT_REFERENCE, FT_CLASS, VORN_BC_INDEX(4)};
constexpr uint8_t bcKeyEventRef[] = {FT_REFERENCE, FT_CONST, FT_CLASS, VORN_BC_INDEX(5)};
constexpr uint8_t bcTimerId[] = {FT_UINT64};

// ---- enums -------------------------------------------------------------------------

constexpr const char* kMouseTypeNames[] = {
    "UNINITIALISED",     "LBUTTON_DOWN",      "MBUTTON_DOWN", "RBUTTON_DOWN", "LBUTTON_UP",
    "MBUTTON_UP",        "RBUTTON_UP",        "LBUTTON_DBL_CLICK", "MBUTTON_DBL_CLICK", "RBUTTON_DBL_CLICK",
    "MOVE",              "WHEEL",             "LOSE_CAPTURE", "GAIN",         "LOSE"};
constexpr ReflectedEnum kEMouseEventType{"vorn::EMouseEventType", nullptr, nullptr, 15, kMouseTypeNames, nullptr, nullptr};
constexpr const char* kKeyEventNames[] = {"WND_KEY_DOWN",     "WND_KEY_UP",     "WND_KEY_CHAR",
                                          "WND_SYS_KEY_DOWN", "WND_SYS_KEY_UP", "WND_SYS_KEY_CHAR"};
constexpr ReflectedEnum kEWindowsKeyEvent{"vorn::EWindowsKeyEvent", nullptr, nullptr, 6, kKeyEventNames, nullptr, nullptr};
constexpr const char* kSizeCapsNames[] = {"SC_FIXED_WIDTH_FIXED_HEIGHT", "SC_FIXED_WIDTH_VARIABLE_HEIGHT",
                                          "SC_VARIABLE_WIDTH_VARIABLE_HEIGHT", "SC_VARIABLE_WIDTH_FIXED_HEIGHT",
                                          "SC_RELATED_WIDTH_AND_HEIGHT"};
constexpr ReflectedEnum kESizeCaps{"vorn::ESizeCaps", nullptr, nullptr, 5, kSizeCapsNames, nullptr, nullptr};

// ---- records -------------------------------------------------------------------------

template <class T>
constexpr ReflectedClass ClassRecord(const char* name, int32_t flags, TypeOps ops, const ReflectedField* fields = nullptr,
                                     int32_t numFields = 0)
{
    return MakeClassRecord<T>(name, flags, ops, kNames, fields, numFields);
}

void PrintMouseEvent(TextWriter& w, const void* v) { w << *static_cast<const MouseEvent*>(v); }

constexpr ReflectedField kMouseEventFields[] = {
    {"pos", int32_t(offsetof(MouseEvent, pos)), bcPoint2i},
    {"prevPos", int32_t(offsetof(MouseEvent, prevPos)), bcPoint2i},
    {"zDelta", int32_t(offsetof(MouseEvent, zDelta)), bcInt32},
    {"flags", int32_t(offsetof(MouseEvent, flags)), bcUInt32},
    {"type", int32_t(offsetof(MouseEvent, type)), bcMouseType},
};
constexpr ReflectedClass kMouseEvent = ClassRecord<MouseEvent>(
    "vorn::MouseEvent", RcfBit(RCF_CLASS), ValueTypeOps<MouseEvent>(&PrintMouseEvent), kMouseEventFields, 5);

constexpr ReflectedField kKeyEventFields[] = {
    {"keyEvent", int32_t(offsetof(WindowsKeyEvent, keyEvent)), bcKeyEventType},
    {"vkeyOrChar", int32_t(offsetof(WindowsKeyEvent, vkeyOrChar)), bcUInt32},
    {"cRepeat", int32_t(offsetof(WindowsKeyEvent, cRepeat)), bcInt32},
    {"nFlags", int32_t(offsetof(WindowsKeyEvent, nFlags)), bcUInt32},
};
constexpr ReflectedClass kWindowsKeyEvent = ClassRecord<WindowsKeyEvent>(
    "vorn::WindowsKeyEvent", RcfBit(RCF_CLASS), ValueTypeOps<WindowsKeyEvent>(), kKeyEventFields, 4);

// JpegImage and GdiPlusRasterImage values are stored in their own forms.
template <class T>
struct StoredValueOps {
    static void SerialiseN(Archive& ar, const void* first, ssize_t stride, ssize_t count)
    {
        for (ssize_t i = 0; i < count; ++i) reinterpret_cast<const T*>(GeneratedOps<T>::At(first, stride, i))->Serialise(ar);
    }
    static InputArchive DeserialiseN(InputArchive in, void* first, ssize_t stride, ssize_t count)
    {
        for (ssize_t i = 0; i < count; ++i) in = reinterpret_cast<T*>(GeneratedOps<T>::At(first, stride, i))->Deserialise(in);
        return in;
    }
    static constexpr TypeOps Ops()
    {
        TypeOps ops = ValueTypeOps<T>();
        ops.m_serialiseN = &SerialiseN;
        ops.m_deserialiseN = &DeserialiseN;
        return ops;
    }
};

bool JpegImageEqual(const void* a, const void* b) { return *static_cast<const JpegImage*>(a) == *static_cast<const JpegImage*>(b); }

constexpr TypeOps JpegImageOps()
{
    TypeOps ops = StoredValueOps<JpegImage>::Ops();
    ops.m_equal = &JpegImageEqual;
    return ops;
}

constexpr ReflectedClass kJpegImage = ClassRecord<JpegImage>("vorn::JpegImage", RcfBit(RCF_CLASS), JpegImageOps());
constexpr ReflectedClass kResDIB = ClassRecord<ResDIB>("vorn::ResDIB", RcfBit(RCF_CLASS), ValueTypeOps<ResDIB>());
constexpr ReflectedClass kDib32 = ClassRecord<Dib32>("vorn::Dib32", RcfBit(RCF_ADT), ConstructibleAdtTypeOps<Dib32>());
constexpr ReflectedClass kGdiPlusRasterImage =
    ClassRecord<GdiPlusRasterImage>("vorn::GdiPlusRasterImage", RcfBit(RCF_CLASS), StoredValueOps<GdiPlusRasterImage>::Ops());
constexpr ReflectedClass kOpenGLWnd = ClassRecord<OpenGLWnd>("vorn::OpenGLWnd", RcfBit(RCF_ADT), AdtTypeOps<OpenGLWnd>());

// ---- interfaces --------------------------------------------------------------------

constexpr const char* kIObjectBase[] = {"vorn::IObject"};
constexpr ReflectedArg kHitTestArgs[] = {{"point", bcPointRef}};
constexpr ReflectedArg kMouseArgs[] = {{"evt", bcMouseEventRef}};
constexpr ReflectedArg kKeyArgs[] = {{"evt", bcKeyEventRef}};
constexpr ReflectedInterfaceMethod kViewMethods[] = {
    {"OnCreateView", nullptr, nullptr, 0, nullptr, false},
    {"OnDestroyView", nullptr, nullptr, 0, nullptr, false},
    {"Draw", nullptr, nullptr, 0, nullptr, false},
    {"HitTest", bcBool, kHitTestArgs, 1, nullptr, false},
    {"OnMouseEvent", bcResult, kMouseArgs, 1, nullptr, false},
    {"OnKey", bcResult, kKeyArgs, 1, nullptr, false},
    {"GetSuggestedWidth", bcInt32, nullptr, 0, nullptr, false},
    {"GetSuggestedHeight", bcInt32, nullptr, 0, nullptr, false},
    {"GetMinWidth", bcInt32, nullptr, 0, nullptr, false},
    {"GetMaxWidth", bcInt32, nullptr, 0, nullptr, false},
    {"GetMinHeight", bcInt32, nullptr, 0, nullptr, false},
    {"GetMaxHeight", bcInt32, nullptr, 0, nullptr, false},
    {"GetSizeCaps", bcSizeCaps, nullptr, 0, nullptr, false},
};
constexpr ReflectedArg kTimerArgs[] = {{"id", bcTimerId}};
constexpr ReflectedInterfaceMethod kTimerMethods[] = {{"OnTimer", bcResult, kTimerArgs, 1, nullptr, false}};
constexpr ReflectedInterfaceMethod kFocusMethods[] = {{"OnLoseFocus", nullptr, nullptr, 0, nullptr, false}};
constexpr ReflectedArg kWidthArgs[] = {{"width", bcInt32}};
constexpr ReflectedArg kHeightArgs[] = {{"height", bcInt32}};
constexpr ReflectedInterfaceMethod kAspectMethods[] = {
    {"GetHeightGivenWidth", bcInt32, kWidthArgs, 1, nullptr, false},
    {"GetWidthGivenHeight", bcInt32, kHeightArgs, 1, nullptr, false},
};

constexpr ReflectedInterface InterfaceRecord(const char* name, const ReflectedInterfaceMethod* methods, int32_t count)
{
    return ReflectedInterface{name, nullptr, kIObjectBase, 1, kNumIObjectMethods, methods, count, nullptr, 0, kNames};
}

// ---- OpenGLWndForView --------------------------------------------------------------

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
constexpr uint8_t bcBoolField[] = {FT_BOOL};
const ReflectedModelField kWindowModelFields[] = {
    {"HasFocus", int32_t(offsetof(OpenGLWndForView, HasFocus)), bcBoolField, 1, -1, 0},
    {"SizeX", int32_t(offsetof(OpenGLWndForView, SizeX)), bcInt32, 1, -1, 0},
    {"SizeY", int32_t(offsetof(OpenGLWndForView, SizeY)), bcInt32, 1, -1, 0},
};
#pragma GCC diagnostic pop

struct WindowOps {
    using W = OpenGLWndForView;
    static const W& At(const void* first, ssize_t stride, ssize_t i)
    {
        return *reinterpret_cast<const W*>(static_cast<const char*>(first) + stride * i);
    }
    static bool LessW(const W& a, const W& b)
    {
        if (a.HasFocus != b.HasFocus) return b.HasFocus;
        if (a.SizeX != b.SizeX) return a.SizeX < b.SizeX;
        return a.SizeY < b.SizeY;
    }
    static bool Equal(const void* a, const void* b)
    {
        const W& x = *static_cast<const W*>(a);
        const W& y = *static_cast<const W*>(b);
        return x.HasFocus == y.HasFocus && x.SizeX == y.SizeX && x.SizeY == y.SizeY;
    }
    static bool Less(const void* a, const void* b) { return LessW(*static_cast<const W*>(a), *static_cast<const W*>(b)); }
    static void Print(TextWriter& w, const void* v)
    {
        const W& x = *static_cast<const W*>(v);
        w << "OpenGLWndForView(" << x.HasFocus << "," << x.SizeX << "," << x.SizeY << ")";
    }
    static void SerialiseN(Archive& ar, const void* first, ssize_t stride, ssize_t count)
    {
        for (ssize_t i = 0; i < count; ++i) SerialiseOpenGLWndForViewModel(ar, At(first, stride, i));
    }
    static InputArchive DeserialiseN(InputArchive in, void* first, ssize_t stride, ssize_t count)
    {
        for (ssize_t i = 0; i < count; ++i) in = DeserialiseOpenGLWndForViewModel(in, const_cast<W&>(At(first, stride, i)));
        return in;
    }
};

constexpr TypeOps WindowTypeOps()
{
    TypeOps ops = ValueTypeOps<OpenGLWndForView>(&WindowOps::Print);
    ops.m_equal = &WindowOps::Equal;
    ops.m_less = &WindowOps::Less;
    ops.m_serialiseN = &WindowOps::SerialiseN;
    ops.m_deserialiseN = &WindowOps::DeserialiseN;
    using Search = OrderedSearch<OpenGLWndForView, &WindowOps::LessW>;
    ops.m_lowerBound = &Search::LowerBound;
    ops.m_upperBound = &Search::UpperBound;
    return ops;
}

const ReflectedClass kOpenGLWndForView = [] {
    ReflectedClass rc = ClassRecord<OpenGLWndForView>("vorn::OpenGLWndForView", RcfBit(RCF_MODEL), WindowTypeOps());
    rc.m_modelFields = kWindowModelFields;
    rc.m_numModelFields = 3;
    rc.m_factory = &NewObjectFactory<OpenGLWndForView>;
    return rc;
}();

// ---- tables --------------------------------------------------------------------------

constexpr ReflectedItemEntry kImageItems[] = {
    {NST_Class, &kJpegImage, nullptr},
    {NST_Class, &kResDIB, nullptr},
};

const ReflectedItemEntry kUtilsItems[] = {
    {NST_Enum, &kEWindowsKeyEvent, nullptr},
    {NST_Class, &kWindowsKeyEvent, nullptr},
    {NST_Enum, &kESizeCaps, nullptr},
    {NST_Interface, &kIControledAspectInterface, nullptr},
    {NST_Interface, &kIKeyboardFocusInterface, nullptr},
    {NST_Interface, &kITimerInterface, nullptr},
    {NST_Interface, &kIViewInterface, nullptr},
    {NST_Interface, &kIViewVisitorInterface, nullptr},
    {NST_Enum, &kEMouseEventType, nullptr},
    {NST_Class, &kMouseEvent, nullptr},
    {NST_Class, &kDib32, nullptr},
    {NST_Class, &kGdiPlusRasterImage, nullptr},
    {NST_Class, &kOpenGLWnd, nullptr},
    {NST_Class, &kOpenGLWndForView, nullptr},
};

RegistrationOnce g_imageOnce;
RegistrationOnce g_utilsOnce;

} // namespace

const ReflectedInterface kIViewInterface = InterfaceRecord("vorn::IView", kViewMethods, 13);
const ReflectedInterface kITimerInterface = InterfaceRecord("vorn::ITimer", kTimerMethods, 1);
const ReflectedInterface kIKeyboardFocusInterface = InterfaceRecord("vorn::IKeyboardFocus", kFocusMethods, 1);
const ReflectedInterface kIControledAspectInterface = InterfaceRecord("vorn::IControledAspect", kAspectMethods, 2);
const ReflectedInterface kIViewVisitorInterface = InterfaceRecord("vorn::IViewVisitor", nullptr, 0);

const ReflectedClass* OpenGLWndForView::GetClassRecord() { return &kOpenGLWndForView; }

ReflectedItemTable GetImageModuleItems() { return ReflectedItemTable{kImageItems, int32_t(std::size(kImageItems))}; }
ReflectedItemTable GetUtilsModuleItems() { return ReflectedItemTable{kUtilsItems, int32_t(std::size(kUtilsItems))}; }

void RegisterReflectedItemsOnce(XTarget& module, const ReflectedItemTable& table)
{
    for (int32_t i = 0; i < table.m_count; ++i) {
        const ReflectedItemEntry& e = table.m_items[i];
        const void* record = e.GetRecord();
        const char* name = GetReflectedRecordName(e.m_kind, record);
        if (FindReflectedItem(SubString8(name), GetReflectedItemRegistry(e.m_kind)) != nullptr) continue;
        module.RegisterItem(e.m_kind, record);
    }
}

void InitImageModuleReflection(XTarget& module)
{
    if (!g_imageOnce.Begin()) return;
    RegisterObjectSpaceModule(module);
    RegisterGeometryReflection(module);
    RegisterReflectedItemsOnce(module, GetImageModuleItems());
}

void InitUtilsModuleReflection(XTarget& module)
{
    if (!g_utilsOnce.Begin()) return;
    RegisterObjectSpaceModule(module);
    RegisterGeometryReflection(module);
    InitImageModuleReflection(module);
    RegisterAmbientResourceReflection(module);
    RegisterReflectedItemsOnce(module, GetUtilsModuleItems());
    const ReflectedItemEntry coord = CoordTypedefEntry();
    RegisterReflectedItemsOnce(module, ReflectedItemTable{&coord, 1});
}

} // namespace vorn
