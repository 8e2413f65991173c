#include "vnReflection/ByteCodeValue.h"
#include "vnReflection/GeneratedTypeOps.h"
#include "vnReflection/MetaData.h"
#include "vnReflection/Registry.h"
#include "TestModule.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/Guid.h"
#include "vnUtils/Streams.h"
#include "vnUtils/TextWriter.h"
#include "vnUtils/Time.h"
#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include <vector>

using namespace vorn;

namespace {

std::string Text(const xstring& s) { return std::string(s.data(), size_t(s.size())); }

// One letter per filled slot, in slot order: equal, less, print, construct, copy,
// assign, destruct, serialise, deserialise, visit 1, visit 2, lower, upper bound.
std::string Slots(const TypeOps& ops)
{
    std::string s;
    s += ops.m_equal ? 'E' : '-';
    s += ops.m_less ? 'L' : '-';
    s += ops.m_print ? 'P' : '-';
    s += ops.m_constructN ? 'C' : '-';
    s += ops.m_copyConstructN ? 'K' : '-';
    s += ops.m_assignN ? 'A' : '-';
    s += ops.m_destructN ? 'D' : '-';
    s += ops.m_serialiseN ? 'S' : '-';
    s += ops.m_deserialiseN ? 'R' : '-';
    s += ops.m_visit1 ? 'V' : '-';
    s += ops.m_visit2 ? 'W' : '-';
    s += ops.m_lowerBound ? 'B' : '-';
    s += ops.m_upperBound ? 'U' : '-';
    return s;
}

const TypeOps& OpsOf(const char* name)
{
    test::TestModule();
    const ReflectedClass* rc = FindReflectedClass(name);
    if (!rc) throw ProgrammingErrorException(xstring("not registered: ") + name);
    return rc->m_typeOps;
}

} // namespace

TEST(GeneratedTypeOps, FrameworkStructsFillExactlyTheirSlots)
{
    constexpr const char* kValue = "---CKAD------";
    constexpr const char* kPrintable = "--PCKAD------";
    constexpr const char* kStored = "--PCKADSR----";
    constexpr const char* kDestructOnly = "------D------";
    struct Case {
        const char* name;
        const char* slots;
    };
    const Case cases[] = {
        {"vorn::ReflectedArg", kValue},
        {"vorn::ReflectedAttribute", kValue},
        {"vorn::QualifiedByteCode", kValue},
        {"vorn::AnyInterface", kValue},
        {"vorn::AnyConstInterface", kValue},
        {"vorn::NameSpaceElement", kValue},
        {"vorn::ObjSysState", kValue},
        {"vorn::SubString8", kPrintable},
        {"vorn::SubString16", kPrintable},
        {"vorn::HPTime", kStored},
        {"vorn::Date", kValue},
        {"vorn::ReflectedReturnType", kValue},
        {"vorn::ReflectedField", kValue},
        {"vorn::ReflectedTypedef", kValue},
        {"vorn::MetaData", kValue},
        {"vorn::ReadMetaData", kValue},
        {"vorn::ReflectionByteCode", kPrintable},
        {"vorn::Guid", kStored},
        {"vorn::ReflectedGlobalVariable", kValue},
        {"vorn::dsTarget", kValue},
        {"vorn::ReflectedFunction", kValue},
        {"vorn::ReflectedFunctor", kValue},
        {"vorn::ReflectedInterfaceMethod", kValue},
        {"vorn::ReflectedModelField", kValue},
        {"vorn::ReflectedClassMethod", kValue},
        {"vorn::ReflectedEnum", kValue},
        {"vorn::ReflectedGlobalFunction", kValue},
        {"vorn::ReflectedInterface", kValue},
        {"vorn::ReflectedVariant", kValue},
        {"vorn::ReflectedClass", kValue},
        {"vorn::XTarget", kDestructOnly},
        {"vorn::NameSpace", "---C--D------"},
        {"vorn::ReflectionByteCodeValue", kStored},
        {"vorn::IOperationCallBacks", kDestructOnly},
        {"vorn::IObjectVisitor", kDestructOnly},
        {"vorn::ChildNameSpaceIterator", kDestructOnly},
        {"vorn::NameSpaceElementIterator", kDestructOnly},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TypeOps& ops = OpsOf(c.name);
        EXPECT_EQ(Slots(ops), c.slots);
        EXPECT_EQ(ops.m_size, FindReflectedClass(c.name)->m_size);
    }
    EXPECT_EQ(OpsOf("vorn::ReflectionByteCode").m_size, int32_t(sizeof(ReflectionByteCode)));
    EXPECT_EQ(OpsOf("vorn::ReflectionByteCodeValue").m_size, int32_t(sizeof(ReflectionByteCodeValue)));
    EXPECT_EQ(OpsOf("vorn::Date").m_size, 4);
    EXPECT_EQ(OpsOf("vorn::Guid").m_size, 16);
    EXPECT_EQ(OpsOf("vorn::HPTime").m_size, 8);
}

TEST(GeneratedTypeOps, ByteOperationsAtAStride)
{
    struct Holder {
        ReflectedArg arg;
        uint8_t gap[8];
    };
    const TypeOps& ops = OpsOf("vorn::ReflectedArg");
    Holder h[3];
    std::memset(h, 0x5A, sizeof(h));
    ops.m_constructN(nullptr, sizeof(Holder), 3); // writes nothing, does not fail
    ops.m_constructN(&h[0].arg, sizeof(Holder), 3);
    for (const Holder& x : h) {
        EXPECT_EQ(x.arg.m_name, nullptr);
        EXPECT_EQ(x.arg.m_type, nullptr);
        for (uint8_t g : x.gap) EXPECT_EQ(g, 0x5A); // the bytes between elements stay
    }
    const ReflectedArg src[2] = {{"a", nullptr}, {"b", reinterpret_cast<ByteCode>(8)}};
    ops.m_copyConstructN(&h[1].arg, sizeof(Holder), src, sizeof(ReflectedArg), 2);
    EXPECT_STREQ(h[2].arg.m_name, "b");
    EXPECT_EQ(h[2].arg.m_type, src[1].m_type);
    ops.m_copyConstructN(nullptr, sizeof(Holder), src, sizeof(ReflectedArg), 2);
    ops.m_assignN(&h[0].arg, sizeof(Holder), &src[1], sizeof(ReflectedArg), 1);
    EXPECT_STREQ(h[0].arg.m_name, "b");
    EXPECT_EQ(h[1].gap[7], 0x5A);

    // Constructing byte-code views clears every word, the third one too.
    ReflectionByteCode views[2] = {{reinterpret_cast<ByteCode>(1), nullptr, 77}, {reinterpret_cast<ByteCode>(2), nullptr, 78}};
    OpsOf("vorn::ReflectionByteCode").m_constructN(views, sizeof(ReflectionByteCode), 2);
    EXPECT_TRUE(views[1].IsNull());
    EXPECT_EQ(views[0].m_extra, 0);
    EXPECT_EQ(views[1].m_extra, 0);
    MetaData md{reinterpret_cast<ByteCode>(1), reinterpret_cast<StringTable>(2), 3};
    OpsOf("vorn::MetaData").m_constructN(&md, sizeof(MetaData), 1);
    EXPECT_EQ(md.m_cursor, nullptr);
    EXPECT_EQ(md.m_stringTable, nullptr);
    EXPECT_EQ(md.m_extra, 0);
    ReadMetaData rmd{reinterpret_cast<ByteCode>(1), reinterpret_cast<StringTable>(2), 3};
    OpsOf("vorn::ReadMetaData").m_constructN(&rmd, sizeof(ReadMetaData), 1);
    EXPECT_EQ(rmd.m_extra, 0);
}

TEST(GeneratedTypeOps, GuidAndTimeStoredFormsAndText)
{
    const TypeOps& g = OpsOf("vorn::Guid");
    Guid guids[2];
    ASSERT_TRUE(ParseGuid("{01234567-89AB-CDEF-0123-456789ABCDEF}", guids[0]));
    ASSERT_TRUE(ParseGuid("{7C3E52A0-58B1-12C4-A4E7-00C0F03D81B6}", guids[1]));
    VectorOutputStream s;
    {
        Archive ar(&s);
        g.m_serialiseN(ar, guids, sizeof(Guid), 2);
        EXPECT_EQ(ar.GetNumBytesWritten(), 32);
    }
    ASSERT_EQ(s.m_bytes.size(), 32u);
    EXPECT_EQ(std::memcmp(s.m_bytes.data(), guids, 32), 0); // memory order
    EXPECT_EQ(s.m_bytes[0], 0x67);
    Guid back[2] = {};
    const InputArchive end = g.m_deserialiseN(InputArchive(s.m_bytes.data(), s.m_bytes.size()), back, sizeof(Guid), 2);
    EXPECT_TRUE(end.AtEnd());
    EXPECT_TRUE(back[1] == guids[1]);
    EXPECT_THROW(g.m_deserialiseN(InputArchive(s.m_bytes.data(), 31), back, sizeof(Guid), 2), DeserialisationException);
    StringTextWriter w;
    g.m_print(w, &guids[0]);
    EXPECT_EQ(Text(w.TakeText()), "{01234567-89AB-CDEF-0123-456789ABCDEF}");

    const TypeOps& t = OpsOf("vorn::HPTime");
    const HPTime times[2] = {HPTime(0x0102030405060708), HPTime(-2)};
    VectorOutputStream ts;
    {
        Archive ar(&ts);
        t.m_serialiseN(ar, times, sizeof(HPTime), 2);
    }
    EXPECT_EQ(ts.m_bytes, (std::vector<uint8_t>{8, 7, 6, 5, 4, 3, 2, 1, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    HPTime tback[2];
    t.m_deserialiseN(InputArchive(ts.m_bytes.data(), ts.m_bytes.size()), tback, sizeof(HPTime), 2);
    EXPECT_EQ(tback[0], times[0]);
    EXPECT_EQ(tback[1], times[1]);
    const HPTime unset;
    t.m_print(w, &unset);
    EXPECT_EQ(Text(w.TakeText()), "undef");
    const HPTime now = GetHPTime();
    t.m_print(w, &now);
    EXPECT_EQ(Text(w.TakeText()), Text(HPTimeToString(now, 3)));

    // A type printed through its record's table.
    constexpr const char* names[] = {"vorn::TilvexNode"};
    constexpr uint8_t bc[] = {FT_VECTOR, FT_PREF, FT_CLASS, 0, 0};
    const ReflectionByteCode view(bc, names);
    OpsOf("vorn::ReflectionByteCode").m_print(w, &view);
    EXPECT_EQ(Text(w.TakeText()), "xvector<pref<vorn::TilvexNode> >");
}

TEST(GeneratedTypeOps, StructTypeOpsFillsOnlyTheListedSlots)
{
    struct Pair {
        int32_t a, b;
    };
    EXPECT_EQ(Slots(StructTypeOps<Pair>(0)), "-------------");
    EXPECT_EQ(Slots(StructTypeOps<Pair>(SOS_CONSTRUCT)), "---C---------");
    EXPECT_EQ(Slots(StructTypeOps<Pair>(SOS_COPY | SOS_DESTRUCT)), "----KAD------");
    EXPECT_EQ(Slots(StructTypeOps<Pair>(SOS_VALUE | SOS_SERIALISE)), "---CKADSR----");
    const TypeOps ops = StructTypeOps<Pair>(SOS_VALUE | SOS_SERIALISE);
    const Pair p[2] = {{1, 2}, {3, -1}};
    VectorOutputStream s;
    {
        Archive ar(&s);
        ops.m_serialiseN(ar, p, sizeof(Pair), 2);
    }
    EXPECT_EQ(s.m_bytes, (std::vector<uint8_t>{1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
}
