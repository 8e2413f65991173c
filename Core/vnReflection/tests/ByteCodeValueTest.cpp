#include "vnReflection/ByteCodeValue.h"
#include "vnReflection/MetaData.h"
#include "vnReflection/Registry.h"
#include "TestModule.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/Streams.h"
#include "vnUtils/TextWriter.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace vorn;

namespace {

std::string Text(const xstring& s) { return std::string(s.data(), size_t(s.size())); }
std::vector<uint8_t> Bytes(const xvector<uint8_t>& v) { return std::vector<uint8_t>(v.begin(), v.end()); }
std::vector<uint8_t> Bytes(const char* s, size_t n) { return std::vector<uint8_t>(s, s + n); }
xvector<uint8_t> XV(const std::vector<uint8_t>& v) { return xvector<uint8_t>(v.data(), v.data() + v.size()); }

constexpr const char* kNames[] = {"n0", "n1", "vorn::B", "vorn::A", "text", "tag"};

ReflectionByteCodeValue Build(const std::vector<uint8_t>& bc)
{
    return ReflectionByteCodeValue(ReflectionByteCode(bc.data(), kNames));
}

std::string PrintValue(const ReflectionByteCodeValue& v)
{
    StringTextWriter w;
    v.Print(w);
    return Text(w.TakeText());
}

} // namespace

TEST(ReflectionByteCodeValue, BuildCopiesOneTypeAndRenumbersItsNames)
{
    constexpr const char* table[] = {"a", "b", "c", "d", "e", "vorn::Thing"};
    const uint8_t vec[] = {FT_VECTOR, FT_CLASS, VORN_BC_INDEX(5), FT_INT32 /* not part of the type */};
    const ReflectionByteCodeValue v(ReflectionByteCode(vec, table));
    EXPECT_EQ(Bytes(v.GetByteCodeBytes()), (std::vector<uint8_t>{FT_VECTOR, FT_CLASS, 0, 0}));
    EXPECT_EQ(Bytes(v.GetStringBytes()), Bytes("vorn::Thing", 12));
    EXPECT_EQ(v.GetNumNames(), 1);

    // Metadata strings, functor names, typedefs and repeated names each take the next
    // index, in order of reference.
    const std::vector<uint8_t> rich = {MDT_LIST_2, MDT_STRING, VORN_BC_INDEX(4), MDT_FUNCTOR_1, VORN_BC_INDEX(5),
                                       MDT_INT32, 9, 0, 0, 0,
                                       FT_CONST, FT_MAP, FT_TYPEDEF, VORN_BC_INDEX(3),
                                       FT_ARRAY, 2, 0, 0, 0, FT_CLASS, VORN_BC_INDEX(3)};
    ReflectionByteCodeValue r = Build(rich);
    EXPECT_EQ(Bytes(r.GetByteCodeBytes()),
              (std::vector<uint8_t>{MDT_LIST_2, MDT_STRING, 0, 0, MDT_FUNCTOR_1, 1, 0, MDT_INT32, 9, 0, 0, 0,
                                    FT_CONST, FT_MAP, FT_TYPEDEF, 2, 0, FT_ARRAY, 2, 0, 0, 0, FT_CLASS, 3, 0}));
    EXPECT_EQ(Bytes(r.GetStringBytes()), Bytes("text\0tag\0vorn::A\0vorn::A", 25));
    const char* const* names = r.GetStringPointers();
    EXPECT_STREQ(names[0], "text");
    EXPECT_STREQ(names[1], "tag");
    EXPECT_STREQ(names[3], "vorn::A");
    EXPECT_EQ(PrintValue(r), "map<vorn::A,vorn::A[2]> const");
    const MetaData md{r.GetByteCode().m_cursor, r.GetStringPointers(), 0};
    xstring error;
    int32_t tag = 0;
    EXPECT_TRUE(md.GetInt("tag", tag, error)); // the functor's name came along
    EXPECT_EQ(tag, 9);
}

TEST(ReflectionByteCodeValue, MalformedTypesAreRejectedWhole)
{
    const std::vector<uint8_t> bad[] = {
        {FT_VECTOR, 20},
        {FT_MAP, FT_INT32, FT_PARAM_0},
        {FT_CONST, 45},
        {MDT_BOOL, 1, 170, FT_INT32},
        {MDT_LIST_1, FT_INT32, FT_INT32},
        {FT_CLASS, 0xFF, 0xFF}, // a negative index
    };
    for (const auto& bc : bad) {
        ReflectionByteCodeValue v = Build({FT_STRING8});
        EXPECT_FALSE(v.Assign(ReflectionByteCode(bc.data(), kNames)));
        EXPECT_TRUE(v.IsEmpty());
        EXPECT_TRUE(v.GetStringBytes().empty());
        EXPECT_THROW(Build(bc), ProgrammingErrorException);
    }
    const uint8_t named[] = {FT_CLASS, 0, 0};
    ReflectionByteCodeValue v;
    EXPECT_FALSE(v.Assign(ReflectionByteCode(named, nullptr)));
    EXPECT_FALSE(v.Assign(ReflectionByteCode()));
}

TEST(ReflectionByteCodeValue, CopiesHaveTheirOwnBytesAndAnEmptyCache)
{
    ReflectionByteCodeValue a = Build({FT_MAP, FT_CLASS, VORN_BC_INDEX(2), FT_CLASS, VORN_BC_INDEX(3)});
    const char* const* names = a.GetStringPointers();
    ASSERT_NE(names, nullptr);
    ReflectionByteCodeValue b(a);
    EXPECT_TRUE(a == b);
    EXPECT_NE(b.GetStringBytes().data(), a.GetStringBytes().data());
    const char* const* copyNames = b.GetStringPointers();
    EXPECT_EQ(copyNames[0], reinterpret_cast<const char*>(b.GetStringBytes().data()));
    EXPECT_STREQ(copyNames[1], "vorn::A");

    ReflectionByteCodeValue c = Build({FT_INT8});
    c.GetStringPointers();
    c = a;
    EXPECT_EQ(c.GetStringPointers()[0], reinterpret_cast<const char*>(c.GetStringBytes().data()));
    EXPECT_EQ(PrintValue(c), "map<vorn::B,vorn::A>");
}

TEST(ReflectionByteCodeValue, Order)
{
    const ReflectionByteCodeValue classA = Build({FT_CLASS, VORN_BC_INDEX(3)});
    const ReflectionByteCodeValue classB = Build({FT_CLASS, VORN_BC_INDEX(2)});
    // Equal byte codes order by their names.
    EXPECT_TRUE(classA < classB);
    EXPECT_FALSE(classB < classA);
    EXPECT_FALSE(classA < classA);
    // Byte codes compare as unsigned bytes and come first.
    const ReflectionByteCodeValue i8 = Build({FT_INT8});
    const ReflectionByteCodeValue meta = Build({MDT_BOOL, 1, FT_INT8});
    EXPECT_TRUE(i8 < classA);
    EXPECT_TRUE(classA < meta);
    EXPECT_FALSE(meta < i8);
    // Names compare as unsigned bytes.
    constexpr const char* utf8[] = {"vorn::\xC3\xA9", "vorn::z"};
    const uint8_t bc0[] = {FT_CLASS, 0, 0};
    const uint8_t bc1[] = {FT_CLASS, 1, 0};
    const ReflectionByteCodeValue accented(ReflectionByteCode(bc0, utf8));
    const ReflectionByteCodeValue z(ReflectionByteCode(bc1, utf8));
    EXPECT_TRUE(z < accented);
    // The empty value is the smallest.
    EXPECT_TRUE(ReflectionByteCodeValue() < i8);
}

TEST(ReflectionByteCodeValue, StoredFormRoundTrip)
{
    test::TestModule();
    const ReflectedClass* rc = FindReflectedClass("vorn::ReflectionByteCodeValue");
    ASSERT_NE(rc, nullptr);
    const TypeOps& ops = rc->m_typeOps;
    EXPECT_EQ(ops.m_size, int32_t(sizeof(ReflectionByteCodeValue)));
    struct Slot {
        ReflectionByteCodeValue value;
        int64_t guard;
    };
    Slot in[2] = {{Build({FT_VECTOR, FT_CLASS, VORN_BC_INDEX(3)}), 1}, {Build({FT_UINT16}), 2}};
    VectorOutputStream stream;
    {
        Archive ar(&stream);
        ops.m_serialiseN(ar, &in[0].value, sizeof(Slot), 2);
        ar.Flush();
    }
    const std::vector<uint8_t> expected = {4, FT_VECTOR, FT_CLASS, 0, 0, 8, 'v', 'o', 'r', 'n', ':', ':', 'A', 0,
                                           1, FT_UINT16, 0};
    EXPECT_EQ(stream.m_bytes, expected);

    alignas(Slot) unsigned char storage[2 * sizeof(Slot)];
    Slot* out = reinterpret_cast<Slot*>(storage);
    ops.m_constructN(&out[0].value, sizeof(Slot), 2);
    EXPECT_TRUE(out[1].value.IsEmpty());
    const InputArchive end = ops.m_deserialiseN(InputArchive(stream.m_bytes.data(), stream.m_bytes.size()), &out[0].value,
                                                sizeof(Slot), 2);
    EXPECT_TRUE(end.AtEnd());
    EXPECT_TRUE(out[0].value == in[0].value);
    EXPECT_TRUE(out[1].value == in[1].value);
    EXPECT_EQ(PrintValue(out[0].value), "xvector<vorn::A>");
    StringTextWriter w;
    ops.m_print(w, &out[0].value);
    EXPECT_EQ(Text(w.TakeText()), "xvector<vorn::A>");
    ops.m_destructN(&out[0].value, sizeof(Slot), 2);

    // The empty value round-trips too.
    ReflectionByteCodeValue empty;
    VectorOutputStream s2;
    {
        Archive ar(&s2);
        empty.Serialise(ar);
    }
    EXPECT_EQ(s2.m_bytes, (std::vector<uint8_t>{0, 0}));
    ReflectionByteCodeValue back = Build({FT_INT8});
    back.Deserialise(InputArchive(s2.m_bytes.data(), s2.m_bytes.size()));
    EXPECT_TRUE(back.IsEmpty());
}

TEST(ReflectionByteCodeValue, CorruptStoredFormsAreRejected)
{
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"byte code longer than the element", {9, FT_INT32}},
        {"names longer than the element", {1, FT_INT32, 5, 'a', 0}},
        {"missing name vector", {1, FT_INT32}},
        {"invalid type code", {1, 20, 0}},
        {"template parameter", {1, FT_PARAM_1, 0}},
        {"invalid metadata code", {2, 170, FT_INT32, 0}},
        {"type cut short", {2, FT_VECTOR, FT_POINTER, 0}},
        {"index cut short", {2, FT_CLASS, 0, 2, 'a', 0}},
        {"array count cut short", {3, FT_ARRAY, 1, 0, 0}},
        {"metadata payload cut short", {3, MDT_FLOAT64, 0, 0, 0}},
        {"index beyond the names", {3, FT_CLASS, 1, 0, 2, 'a', 0}},
        {"negative index", {3, FT_CLASS, 0xFF, 0xFF, 2, 'a', 0}},
        {"metadata string beyond the names", {4, MDT_STRING, 0, 0, FT_INT8, 0}},
        {"functor name beyond the names", {5, MDT_FUNCTOR_0, 3, 0, FT_INT8, 0, 2, 'a', 0}},
        {"unterminated name", {3, FT_CLASS, 0, 0, 2, 'a', 'b'}},
        {"bytes after the type", {2, FT_INT32, FT_INT32, 0}},
        {"names without byte code", {0, 2, 'a', 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ReflectionByteCodeValue v = Build({FT_STRING16});
        const ReflectionByteCodeValue before = v;
        EXPECT_THROW(v.Deserialise(InputArchive(c.bytes.data(), c.bytes.size())), DeserialisationException);
        EXPECT_TRUE(v == before);
    }

    // Nesting deeper than any registered type is refused rather than followed.
    std::vector<uint8_t> deep(300, FT_MAP);
    deep.push_back(FT_INT8);
    for (int i = 0; i < 300; ++i) deep.push_back(FT_INT8);
    ReflectionByteCodeValue v;
    EXPECT_THROW(v.SetBytes(XV(deep), xvector<uint8_t>()), DeserialisationException);
    EXPECT_FALSE(v.Assign(ReflectionByteCode(deep.data(), kNames)));

    // A well-formed value is accepted through the same check.
    v.SetBytes(XV({FT_MAP, FT_CLASS, 1, 0, FT_CLASS, 0, 0}), XV({'x', 0, 'y', 0}));
    EXPECT_EQ(PrintValue(v), "map<y,x>");
}
