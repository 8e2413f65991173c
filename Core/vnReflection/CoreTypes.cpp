// The reflection records of the foundation's value types: the 2-D points and
// rectangles, vorn::coord_t, and the ambient-resource items.
#include "vnReflection/CoreModule.h"
#include "vnReflection/GeneratedTypeOps.h"
#include "vnReflection/Invoke.h"
#include "vnUtils/AmbientResources.h"
#include "vnUtils/Geometry.h"
#include <cstddef>

namespace vorn {

namespace {

constexpr const char* kNames[] = {"vorn::AmbientResourceTable"};
constexpr uint8_t bcInt32[] = {FT_INT32};
constexpr uint8_t bcFloat32[] = {FT_FLOAT32};
constexpr uint8_t bcFloat64[] = {FT_FLOAT64};
constexpr uint8_t bcString8[] = {FT_STRING8};
constexpr uint8_t bcTablePtr[] = {FT_POINTER, FT_CLASS, VORN_BC_INDEX(0)};

template <class T>
constexpr ReflectedClass GeometryRecord(const char* name, const ReflectedField* fields, int32_t numFields)
{
    return MakeClassRecord<T>(name, RcfBit(RCF_CLASS), ValueTypeOps<T>(&GeneratedOps<T>::Print), nullptr, fields, numFields);
}

#define VORN_POINT_FIELDS(T, bc) {{"x", int32_t(offsetof(T, x)), bc}, {"y", int32_t(offsetof(T, y)), bc}}
#define VORN_RECT_FIELDS(T, bc)                                                                        \
    {{"x1", int32_t(offsetof(T, x1)), bc}, {"y1", int32_t(offsetof(T, y1)), bc},                     \
     {"x2", int32_t(offsetof(T, x2)), bc}, {"y2", int32_t(offsetof(T, y2)), bc}}

constexpr ReflectedField kPoint2dFields[] = VORN_POINT_FIELDS(Point2d, bcFloat64);
constexpr ReflectedField kPoint2fFields[] = VORN_POINT_FIELDS(Point2f, bcFloat32);
constexpr ReflectedField kPoint2iFields[] = VORN_POINT_FIELDS(Point2i, bcInt32);
constexpr ReflectedField kRect2dFields[] = VORN_RECT_FIELDS(Rect2d, bcFloat64);
constexpr ReflectedField kRect2fFields[] = VORN_RECT_FIELDS(Rect2f, bcFloat32);
constexpr ReflectedField kRect2iFields[] = VORN_RECT_FIELDS(Rect2i, bcInt32);
#undef VORN_POINT_FIELDS
#undef VORN_RECT_FIELDS

constexpr ReflectedClass kPoint2d = GeometryRecord<Point2d>("vorn::Point2d", kPoint2dFields, 2);
constexpr ReflectedClass kPoint2f = GeometryRecord<Point2f>("vorn::Point2f", kPoint2fFields, 2);
constexpr ReflectedClass kPoint2i = GeometryRecord<Point2i>("vorn::Point2i", kPoint2iFields, 2);
constexpr ReflectedClass kRect2d = GeometryRecord<Rect2d>("vorn::Rect2d", kRect2dFields, 4);
constexpr ReflectedClass kRect2f = GeometryRecord<Rect2f>("vorn::Rect2f", kRect2fFields, 4);
constexpr ReflectedClass kRect2i = GeometryRecord<Rect2i>("vorn::Rect2i", kRect2iFields, 4);

constexpr ReflectedItemEntry kGeometryItems[] = {
    {NST_Class, &kPoint2d, nullptr}, {NST_Class, &kPoint2f, nullptr}, {NST_Class, &kPoint2i, nullptr},
    {NST_Class, &kRect2d, nullptr},  {NST_Class, &kRect2f, nullptr},  {NST_Class, &kRect2i, nullptr},
};

constexpr ReflectedTypedef kCoord{"vorn::coord_t", bcInt32, nullptr};
constexpr ReflectedTypedef kARN{"vorn::ARN", bcString8, nullptr};

// A class with no reflected fields; arrays of it are constructed as empty maps, copied
// map by map and released on destruction.
constexpr ReflectedClass kAmbientResourceTable = MakeClassRecord<AmbientResourceTable>(
    "vorn::AmbientResourceTable", RcfBit(RCF_CLASS), ValueTypeOps<AmbientResourceTable>());

constexpr ReflectedGlobalFunction kGetThreadAmbientResourceTable{
    "vorn::GetThreadAmbientResourceTable", bcTablePtr, nullptr, 0, nullptr, kNames,
    VORN_FUNCTION(&GetThreadAmbientResourceTable)};
constexpr ReflectedArg kArgsSetTable[] = {{"table", bcTablePtr}};
constexpr ReflectedGlobalFunction kSetThreadAmbientResourceTable{
    "vorn::SetThreadAmbientResourceTable", nullptr, kArgsSetTable, 1, nullptr, kNames,
    VORN_FUNCTION(&SetThreadAmbientResourceTable)};

constexpr ReflectedItemEntry kAmbientItems[] = {
    {NST_Typedef, &kARN, nullptr},
    {NST_Class, &kAmbientResourceTable, nullptr},
    {NST_GlobalFunction, &kGetThreadAmbientResourceTable, nullptr},
    {NST_GlobalFunction, &kSetThreadAmbientResourceTable, nullptr},
};

RegistrationOnce g_geometryOnce;
RegistrationOnce g_ambientOnce;

} // namespace

ReflectedItemTable GetGeometryItems() { return ReflectedItemTable{kGeometryItems, int32_t(std::size(kGeometryItems))}; }
ReflectedItemTable GetAmbientResourceItems() { return ReflectedItemTable{kAmbientItems, int32_t(std::size(kAmbientItems))}; }
ReflectedItemEntry CoordTypedefEntry() { return ReflectedItemEntry{NST_Typedef, &kCoord, nullptr}; }

void RegisterGeometryReflection(XTarget& module)
{
    if (!g_geometryOnce.Begin()) return;
    RegisterCoreModuleReflection(module);
    RegisterReflectedItems(module, GetGeometryItems());
}

void RegisterAmbientResourceReflection(XTarget& module)
{
    if (!g_ambientOnce.Begin()) return;
    RegisterCoreModuleReflection(module);
    RegisterReflectedItems(module, GetAmbientResourceItems());
}

} // namespace vorn
