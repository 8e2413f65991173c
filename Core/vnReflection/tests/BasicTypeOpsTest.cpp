#include "vnReflection/BasicTypeOps.h"
#include "vnReflection/Registry.h"
#include "TestModule.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/Streams.h"
#include "vnUtils/TextWriter.h"
#include <gtest/gtest.h>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

using namespace vorn;

namespace {

std::string Text(const xstring& s) { return std::string(s.data(), size_t(s.size())); }

const TypeOps* OpsOf(std::vector<uint8_t> bc, StringTable table = nullptr)
{
    return GetBasicTypeOps(ReflectionByteCode(bc.data(), table));
}

std::string PrintWith(const TypeOps& ops, const void* v)
{
    StringTextWriter w;
    ops.m_print(w, v);
    return Text(w.TakeText());
}

template <class T>
std::vector<uint8_t> Serialise(const TypeOps& ops, const T* values, ssize_t count, ssize_t stride = sizeof(T))
{
    VectorOutputStream s;
    {
        Archive ar(&s);
        ops.m_serialiseN(ar, values, stride, count);
    }
    return s.m_bytes;
}

// Checks one scalar table: order, bounds, the stored form and its round trip, printing.
template <class T>
void CheckScalar(EBasicTypeOps which, T low, T high, std::vector<uint8_t> highBytes, const char* highText)
{
    const TypeOps& ops = GetFixedTypeOps(which);
    EXPECT_EQ(ops.m_size, int32_t(sizeof(T)));
    EXPECT_TRUE(ops.m_less(&low, &high));
    EXPECT_FALSE(ops.m_less(&high, &low));
    EXPECT_FALSE(ops.m_less(&low, &low));
    EXPECT_TRUE(ops.m_equal(&high, &high));
    EXPECT_FALSE(ops.m_equal(&low, &high));

    const T sorted[] = {low, high, high, high};
    EXPECT_EQ(ops.m_lowerBound(sorted, sizeof(T), 4, &high), 1);
    EXPECT_EQ(ops.m_upperBound(sorted, sizeof(T), 4, &high), 4);
    EXPECT_EQ(ops.m_lowerBound(sorted, sizeof(T), 4, &low), 0);
    EXPECT_EQ(ops.m_upperBound(sorted, sizeof(T), 4, &low), 1);
    EXPECT_EQ(ops.m_lowerBound(sorted, sizeof(T), 0, &low), 0);

    if (ops.m_serialiseN) {
        const T pair[] = {high, low};
        std::vector<uint8_t> bytes = Serialise(ops, pair, 1);
        EXPECT_EQ(bytes, highBytes);
        bytes = Serialise(ops, pair, 2);
        ASSERT_EQ(bytes.size(), 2 * sizeof(T));
        T back[2] = {};
        const InputArchive end = ops.m_deserialiseN(InputArchive(bytes.data(), bytes.size()), back, sizeof(T), 2);
        EXPECT_TRUE(end.AtEnd());
        EXPECT_TRUE(ops.m_equal(&back[0], &high));
        EXPECT_TRUE(ops.m_equal(&back[1], &low));
        EXPECT_THROW(ops.m_deserialiseN(InputArchive(bytes.data(), bytes.size() - 1), back, sizeof(T), 2),
                     DeserialisationException);
    }
    EXPECT_EQ(PrintWith(ops, &high), highText);

    // Construct stores zeros, copies and assignments take the bytes, at any stride.
    struct Padded {
        T value;
        uint8_t tail[5];
    };
    Padded padded[3];
    std::memset(padded, 0xAB, sizeof(padded));
    ops.m_constructN(&padded[0].value, sizeof(Padded), 3);
    for (const Padded& p : padded) {
        T zero;
        std::memset(&zero, 0, sizeof(T));
        EXPECT_EQ(std::memcmp(&p.value, &zero, sizeof(T)), 0);
        EXPECT_EQ(p.tail[0], 0xAB);
    }
    ops.m_copyConstructN(&padded[1].value, sizeof(Padded), &sorted[1], sizeof(T), 2);
    EXPECT_TRUE(ops.m_equal(&padded[2].value, &high));
    ops.m_assignN(&padded[0].value, sizeof(Padded), &sorted[0], sizeof(T), 1);
    EXPECT_TRUE(ops.m_equal(&padded[0].value, &low));
    ops.m_constructN(nullptr, sizeof(T), 3);
    ops.m_copyConstructN(nullptr, sizeof(T), sorted, sizeof(T), 3);
    ops.m_destructN(padded, sizeof(Padded), 3);
    ASSERT_NE(ops.m_visit1, nullptr);
    ASSERT_NE(ops.m_visit2, nullptr);
    ops.m_visit1(nullptr, padded, sizeof(Padded), 3);
    ops.m_visit2(nullptr, padded, sizeof(Padded), 3);
}

} // namespace

TEST(BasicTypeOps, ScalarTables)
{
    CheckScalar<uint8_t>(BTO_BOOL, 0, 1, {1}, "1");
    CheckScalar<int8_t>(BTO_INT8, -1, 'A', {0x41}, "A");
    CheckScalar<uint8_t>(BTO_UINT8, 0, 'z', {'z'}, "z");
    CheckScalar<uint8_t>(BTO_UINT8, 0, 255, {0xFF}, "\xFF");
    CheckScalar<int8_t>(BTO_INT8, -128, -1, {0xFF}, "\xFF");
    CheckScalar<int16_t>(BTO_INT16, -300, 0x1234, {0x34, 0x12}, "4660");
    CheckScalar<int16_t>(BTO_INT16, -300, -2, {0xFE, 0xFF}, "-2");
    CheckScalar<uint16_t>(BTO_UINT16, 1, 0xFFFE, {0xFE, 0xFF}, "65534");
    CheckScalar<uint16_t>(BTO_CHAR16, u'A', 0x20AC, {0xAC, 0x20}, "8364");
    CheckScalar<int32_t>(BTO_INT32, -5, 0x01020304, {4, 3, 2, 1}, "16909060");
    CheckScalar<int32_t>(BTO_INT32, INT32_MIN, -7, {0xF9, 0xFF, 0xFF, 0xFF}, "-7");
    CheckScalar<uint32_t>(BTO_UINT32, 7, 0xFFFFFFF0u, {0xF0, 0xFF, 0xFF, 0xFF}, "4294967280");
    CheckScalar<int64_t>(BTO_INT64, INT64_MIN, 0x0102030405060708, {8, 7, 6, 5, 4, 3, 2, 1}, "72623859790382856");
    CheckScalar<int64_t>(BTO_INT64, -(int64_t(1) << 40), -1, std::vector<uint8_t>(8, 0xFF), "-1");
    CheckScalar<uint64_t>(BTO_UINT64, 1, UINT64_MAX, std::vector<uint8_t>(8, 0xFF), "18446744073709551615");
    CheckScalar<float>(BTO_FLOAT32, -1.0f, 2.5f, {0, 0, 0x20, 0x40}, "2.5");
    CheckScalar<double>(BTO_FLOAT64, -0.5, 1.0, {0, 0, 0, 0, 0, 0, 0xF0, 0x3F}, "1");
}

TEST(BasicTypeOps, BoolAndFloatDetails)
{
    const TypeOps& b = GetFixedTypeOps(BTO_BOOL);
    const uint8_t one = 1, two = 2;
    EXPECT_FALSE(b.m_equal(&one, &two)); // byte equality
    EXPECT_EQ(PrintWith(b, &two), "1");
    const uint8_t zero = 0;
    EXPECT_EQ(PrintWith(b, &zero), "0");

    const TypeOps& f = GetFixedTypeOps(BTO_FLOAT64);
    const double nan = std::numeric_limits<double>::quiet_NaN(), pz = 0.0, nz = -0.0;
    EXPECT_FALSE(f.m_equal(&nan, &nan));
    EXPECT_TRUE(f.m_equal(&pz, &nz));
    EXPECT_FALSE(f.m_less(&nz, &pz));

    // Bounds of 5 in 1, 5, 5, 9.
    const int32_t a[] = {1, 5, 5, 9};
    const int32_t key = 5, big = 10, small = 0;
    const TypeOps& i = GetFixedTypeOps(BTO_INT32);
    EXPECT_EQ(i.m_lowerBound(a, 4, 4, &key), 1);
    EXPECT_EQ(i.m_upperBound(a, 4, 4, &key), 3);
    EXPECT_EQ(i.m_lowerBound(a, 4, 4, &big), 4);
    EXPECT_EQ(i.m_upperBound(a, 4, 4, &small), 0);
    // The same array spread out at a stride of 12.
    int32_t spread[12] = {1, -1, -1, 5, -1, -1, 5, -1, -1, 9, -1, -1};
    EXPECT_EQ(i.m_lowerBound(spread, 12, 4, &key), 1);
    EXPECT_EQ(i.m_upperBound(spread, 12, 4, &key), 3);
}

TEST(BasicTypeOps, String8Table)
{
    const TypeOps& ops = GetFixedTypeOps(BTO_STRING8);
    EXPECT_EQ(ops.m_size, int32_t(sizeof(xstring)));
    xstring ab("ab"), abc("abc"), b("b"), high("\xC3");
    EXPECT_TRUE(ops.m_less(&ab, &abc)); // a proper prefix first
    EXPECT_TRUE(ops.m_less(&abc, &b));
    EXPECT_TRUE(ops.m_less(&b, &high)); // unsigned bytes
    EXPECT_FALSE(ops.m_less(&ab, &ab));
    EXPECT_TRUE(ops.m_equal(&ab, &ab));
    EXPECT_FALSE(ops.m_equal(&ab, &abc));
    EXPECT_EQ(PrintWith(ops, &ab), "ab");

    EXPECT_EQ(Serialise(ops, &ab, 1), (std::vector<uint8_t>{2, 'a', 'b'}));
    xstring longText;
    for (int k = 0; k < 200; ++k) longText += 'x';
    const std::vector<uint8_t> longBytes = Serialise(ops, &longText, 1);
    ASSERT_EQ(longBytes.size(), 202u);
    EXPECT_EQ(longBytes[0], 0x80);
    EXPECT_EQ(longBytes[1], 200);

    // Construct, copy, assign and destroy with storage of each string's own.
    alignas(xstring) unsigned char storage[3 * sizeof(xstring)];
    xstring* s = reinterpret_cast<xstring*>(storage);
    ops.m_constructN(s, sizeof(xstring), 3);
    EXPECT_TRUE(s[2].empty());
    const xstring src[2] = {xstring("one"), xstring("two")};
    ops.m_assignN(s, sizeof(xstring), src, sizeof(xstring), 2);
    EXPECT_EQ(Text(s[1]), "two");
    EXPECT_NE(s[1].data(), src[1].data());
    ops.m_visit2(nullptr, s, sizeof(xstring), 3);
    EXPECT_EQ(Text(s[0]), "one");

    const xstring pair[2] = {xstring("hi"), xstring("")};
    const std::vector<uint8_t> bytes = Serialise(ops, pair, 2);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{2, 'h', 'i', 0}));
    const InputArchive end = ops.m_deserialiseN(InputArchive(bytes.data(), bytes.size()), s, sizeof(xstring), 2);
    EXPECT_TRUE(end.AtEnd());
    EXPECT_EQ(Text(s[0]), "hi");
    EXPECT_TRUE(s[1].empty());
    const std::vector<uint8_t> overlong = {5, 'a', 'b'};
    EXPECT_THROW(ops.m_deserialiseN(InputArchive(overlong.data(), overlong.size()), s, sizeof(xstring), 1),
                 DeserialisationException);
    ops.m_destructN(s, sizeof(xstring), 3);

    alignas(xstring) unsigned char copies[2 * sizeof(xstring)];
    xstring* c = reinterpret_cast<xstring*>(copies);
    ops.m_copyConstructN(c, sizeof(xstring), src, sizeof(xstring), 2);
    EXPECT_EQ(Text(c[0]), "one");
    ops.m_destructN(c, sizeof(xstring), 2);
    ops.m_constructN(nullptr, sizeof(xstring), 2);
}

TEST(BasicTypeOps, String16Table)
{
    const TypeOps& ops = GetFixedTypeOps(BTO_STRING16);
    string16 a = string16::FromUtf8("AB"), b = string16::FromUtf8("A\xE2\x82\xAC"), empty;
    EXPECT_TRUE(ops.m_less(&a, &b));
    EXPECT_TRUE(ops.m_less(&empty, &a));
    EXPECT_FALSE(ops.m_equal(&a, &b));
    EXPECT_EQ(PrintWith(ops, &b), "[65,8364]");
    EXPECT_EQ(PrintWith(ops, &empty), "[]");
    EXPECT_EQ(Serialise(ops, &b, 1), (std::vector<uint8_t>{2, 0x41, 0, 0xAC, 0x20}));

    const std::vector<uint8_t> bytes = Serialise(ops, &b, 1);
    string16 back = string16::FromUtf8("old");
    const InputArchive end = ops.m_deserialiseN(InputArchive(bytes.data(), bytes.size()), &back, sizeof(string16), 1);
    EXPECT_TRUE(end.AtEnd());
    EXPECT_TRUE(ops.m_equal(&back, &b));
    const std::vector<uint8_t> odd = {2, 0x41, 0, 0xAC};
    EXPECT_THROW(ops.m_deserialiseN(InputArchive(odd.data(), odd.size()), &back, sizeof(string16), 1),
                 DeserialisationException);
}

TEST(BasicTypeOps, PointerFunctorAndInterfaceTables)
{
    const TypeOps& p = GetFixedTypeOps(BTO_POINTER);
    EXPECT_EQ(p.m_size, int32_t(sizeof(void*)));
    EXPECT_EQ(p.m_serialiseN, nullptr);
    EXPECT_EQ(p.m_deserialiseN, nullptr);
    const void* ptrs[] = {reinterpret_cast<void*>(0x10), reinterpret_cast<void*>(0xABCDEF12)};
    EXPECT_TRUE(p.m_less(&ptrs[0], &ptrs[1]));
    EXPECT_EQ(PrintWith(p, &ptrs[1]), "00000000ABCDEF12");

    const TypeOps& f = GetFixedTypeOps(BTO_PSEUDO_FUNCTOR);
    EXPECT_EQ(f.m_size, kPseudoFunctorSize);
    EXPECT_EQ(f.m_serialiseN, nullptr);
    const PseudoFunctor f1{1, 9}, f2{2, 0}, f3{2, 1};
    EXPECT_TRUE(f.m_less(&f1, &f2));
    EXPECT_TRUE(f.m_less(&f2, &f3));
    EXPECT_FALSE(f.m_equal(&f2, &f3));
    EXPECT_EQ(PrintWith(f, &f3), "PseudoFunctor(0000000000000002,0000000000000001)");
    const PseudoFunctor fs[] = {f1, f2, f3};
    EXPECT_EQ(f.m_lowerBound(fs, sizeof(PseudoFunctor), 3, &f2), 1);

    const TypeOps& i = GetFixedTypeOps(BTO_INTERFACE_POINTER);
    EXPECT_EQ(i.m_size, int32_t(sizeof(AnyInterface)));
    int x = 0, y = 0;
    const AnyInterface ix{&x, reinterpret_cast<void*>(1)}, ix2{&x, reinterpret_cast<void*>(2)}, iy{&y, nullptr};
    EXPECT_TRUE(i.m_equal(&ix, &ix2)); // by the object pointer alone
    EXPECT_EQ(i.m_less(&ix, &iy), &x < &y);
    StringTextWriter w;
    w << static_cast<const void*>(&x);
    EXPECT_EQ(PrintWith(i, &ix), Text(w.TakeText()));
    EXPECT_EQ(i.m_serialiseN, nullptr);
}

TEST(BasicTypeOps, GetBasicTypeOpsMapsTypesToTables)
{
    test::TestModule();
    static constexpr uint8_t bcInt32[] = {FT_INT32};
    static constexpr ReflectedTypedef kInt{"vnBasicOpsTest::Int", bcInt32, nullptr};
    RegisterReflectedItem(kInt.m_name, GetReflectedTypedefRegistry(), &kInt);
    constexpr const char* names[] = {"vnBasicOpsTest::Int", "vorn::Guid", "vnBasicOpsTest::Missing",
                                     "vnBasicOpsTest::Enum", "vorn::xstring"};

    EXPECT_EQ(OpsOf({FT_BOOL}), &GetFixedTypeOps(BTO_BOOL));
    EXPECT_EQ(OpsOf({FT_INT8}), &GetFixedTypeOps(BTO_INT8));
    EXPECT_EQ(OpsOf({FT_CHAR8}), &GetFixedTypeOps(BTO_INT8));
    EXPECT_EQ(OpsOf({FT_UINT8}), &GetFixedTypeOps(BTO_UINT8));
    EXPECT_EQ(OpsOf({FT_INT16}), &GetFixedTypeOps(BTO_INT16));
    EXPECT_EQ(OpsOf({FT_UINT16}), &GetFixedTypeOps(BTO_UINT16));
    EXPECT_EQ(OpsOf({FT_CHAR16}), &GetFixedTypeOps(BTO_CHAR16));
    EXPECT_EQ(OpsOf({FT_UINT32}), &GetFixedTypeOps(BTO_UINT32));
    EXPECT_EQ(OpsOf({FT_INT64}), &GetFixedTypeOps(BTO_INT64));
    EXPECT_EQ(OpsOf({FT_UINT64}), &GetFixedTypeOps(BTO_UINT64));
    EXPECT_EQ(OpsOf({FT_FLOAT32}), &GetFixedTypeOps(BTO_FLOAT32));
    EXPECT_EQ(OpsOf({FT_FLOAT64}), &GetFixedTypeOps(BTO_FLOAT64));
    EXPECT_EQ(OpsOf({FT_STRING8}), &GetFixedTypeOps(BTO_STRING8));
    EXPECT_EQ(OpsOf({FT_STRING16}), &GetFixedTypeOps(BTO_STRING16));
    EXPECT_EQ(OpsOf({FT_CONST, FT_INT32}), &GetFixedTypeOps(BTO_INT32));
    EXPECT_EQ(OpsOf({FT_TYPEDEF, VORN_BC_INDEX(0)}, names), &GetFixedTypeOps(BTO_INT32));
    EXPECT_EQ(OpsOf({FT_ENUM, VORN_BC_INDEX(3)}, names), &GetFixedTypeOps(BTO_INT32));
    EXPECT_EQ(OpsOf({MDT_BOOL, 1, FT_TYPEDEF, VORN_BC_INDEX(4)}, names), &GetFixedTypeOps(BTO_STRING8));
    EXPECT_EQ(OpsOf({FT_FUNCTOR, VORN_BC_INDEX(0)}, names), &GetFixedTypeOps(BTO_PSEUDO_FUNCTOR));
    EXPECT_EQ(OpsOf({FT_POINTER, FT_CLASS, VORN_BC_INDEX(1)}, names), &GetFixedTypeOps(BTO_POINTER));
    EXPECT_EQ(OpsOf({FT_FUNCTION_PTR, VORN_BC_INDEX(0)}, names), &GetFixedTypeOps(BTO_POINTER));
    EXPECT_EQ(OpsOf({FT_INTERFACE_POINTER, FT_INTERFACE, VORN_BC_INDEX(0)}, names), &GetFixedTypeOps(BTO_INTERFACE_POINTER));
    EXPECT_EQ(OpsOf({FT_OPEN_VARIANT, FT_CLASS, VORN_BC_INDEX(1)}, names), &GetFixedTypeOps(BTO_INTERFACE_POINTER));
    const ReflectedClass* guid = FindReflectedClass("vorn::Guid");
    ASSERT_NE(guid, nullptr);
    EXPECT_EQ(OpsOf({FT_CLASS, VORN_BC_INDEX(1)}, names), &guid->m_typeOps);

    // No operations: unknown records and typedefs, 128-bit integers, containers, prefs.
    EXPECT_EQ(OpsOf({FT_CLASS, VORN_BC_INDEX(2)}, names), nullptr);
    EXPECT_EQ(OpsOf({FT_VARIANT, VORN_BC_INDEX(2)}, names), nullptr);
    EXPECT_EQ(OpsOf({FT_TYPEDEF, VORN_BC_INDEX(2)}, names), nullptr);
    EXPECT_EQ(OpsOf({FT_INT128}), nullptr);
    EXPECT_EQ(OpsOf({FT_UINT128}), nullptr);
    EXPECT_EQ(OpsOf({FT_VECTOR, FT_INT32}), nullptr);
    EXPECT_EQ(OpsOf({FT_PREF, FT_CLASS, VORN_BC_INDEX(1)}, names), nullptr);
    EXPECT_EQ(OpsOf({FT_CREF, FT_CLASS, VORN_BC_INDEX(1)}, names), nullptr);
    EXPECT_EQ(OpsOf({FT_VOID}), nullptr);
    EXPECT_EQ(OpsOf({FT_PARAM_2}), nullptr);
    EXPECT_EQ(GetBasicTypeOps(ReflectionByteCode()), nullptr);
}

TEST(BasicTypeOps, RegistryAndPrefTable)
{
    // Composite types are looked up by their byte-code value, qualifiers skipped.
    static const TypeOps kVectorOps{};
    const uint8_t vec[] = {FT_VECTOR, FT_INT16};
    EXPECT_EQ(GetBasicTypeOps(ReflectionByteCode(vec, nullptr)), nullptr);
    EXPECT_TRUE(RegisterTypeOpsForByteCode(ReflectionByteCodeValue(ReflectionByteCode(vec, nullptr)), &kVectorOps));
    EXPECT_FALSE(RegisterTypeOpsForByteCode(ReflectionByteCodeValue(ReflectionByteCode(vec, nullptr)), nullptr));
    const uint8_t constVec[] = {MDT_INT32, 1, 0, 0, 0, FT_CONST, FT_VECTOR, FT_INT16};
    EXPECT_EQ(GetBasicTypeOps(ReflectionByteCode(constVec, nullptr)), &kVectorOps);
    const uint8_t other[] = {FT_VECTOR, FT_INT8};
    EXPECT_EQ(GetBasicTypeOps(ReflectionByteCode(other, nullptr)), nullptr);

    static const TypeOps kPrefOps{};
    const char* names[] = {"vorn::Guid"};
    const uint8_t pref[] = {FT_PREF, FT_CLASS, 0, 0};
    const uint8_t cref[] = {FT_CREF, FT_CLASS, 0, 0};
    SetPrefTypeOps(&kPrefOps);
    EXPECT_EQ(GetBasicTypeOps(ReflectionByteCode(pref, names)), &kPrefOps);
    EXPECT_EQ(GetBasicTypeOps(ReflectionByteCode(cref, names)), &kPrefOps);
    SetPrefTypeOps(nullptr);
    EXPECT_EQ(GetBasicTypeOps(ReflectionByteCode(pref, names)), nullptr);
}
