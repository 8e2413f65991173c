#include "vnReflection/ByteCode.h"
#include "vnReflection/ByteCodeScan.h"
#include "vnReflection/MetaData.h"
#include "vnReflection/Registry.h"
#include "TestModule.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace vorn;

namespace {

std::string Text(const xstring& s) { return std::string(s.data(), size_t(s.size())); }

constexpr const char* kNames[] = {
    "vorn::TilvexNode",         // 0
    "vorn::ReflectedClass",     // 1
    "vorn::ReflectedInterface", // 2
    "vorn::INsNode",            // 3
    "vnByteCodeTest::Color",    // 4
    "vnByteCodeTest::Func",     // 5
    "vnByteCodeTest::ConstInt", // 6
    "vnByteCodeTest::Str",      // 7
    "vnByteCodeTest::Missing",  // 8
    "vorn::Guid",               // 9
    "vnByteCodeTest::Variant",  // 10
    "vnByteCodeTest::Callback", // 11
    "vnByteCodeTest::Hidden",   // 12
    "vnByteCodeTest::Alias",    // 13
    "count",                    // 14
};

std::string Print(std::vector<uint8_t> bc, int32_t options = PBC_NONE)
{
    return Text(ByteCodeTypeToString(ReflectionByteCode(bc.data(), kNames), options));
}

// Typedefs used below, registered once in the typedef registry.
constexpr uint8_t bcConstInt32[] = {FT_CONST, FT_INT32};
constexpr uint8_t bcString8[] = {FT_STRING8};
constexpr uint8_t bcAliasOfConstInt[] = {FT_TYPEDEF, VORN_BC_INDEX(6)};
constexpr ReflectedTypedef kConstIntTypedef{"vnByteCodeTest::ConstInt", bcConstInt32, nullptr};
constexpr ReflectedTypedef kStrTypedef{"vnByteCodeTest::Str", bcString8, nullptr};
constexpr ReflectedTypedef kAliasTypedef{"vnByteCodeTest::Alias", bcAliasOfConstInt, kNames};
constexpr ReflectedVariant kVariant{"vnByteCodeTest::Variant", 24, nullptr, nullptr, 0, nullptr, TypeOps{}};

void RegisterTestTypes()
{
    test::TestModule();
    RegisterReflectedItem(kConstIntTypedef.m_name, GetReflectedTypedefRegistry(), &kConstIntTypedef);
    RegisterReflectedItem(kStrTypedef.m_name, GetReflectedTypedefRegistry(), &kStrTypedef);
    RegisterReflectedItem(kAliasTypedef.m_name, GetReflectedTypedefRegistry(), &kAliasTypedef);
    RegisterReflectedItem(kVariant.m_name, GetReflectedVariantRegistry(), &kVariant);
}

ReflectionByteCode BC(const std::vector<uint8_t>& v) { return ReflectionByteCode(v.data(), kNames); }

} // namespace

// ---- printing ------------------------------------------------------------------

TEST(ByteCodePrint, DeclarationForms)
{
    struct Case {
        std::vector<uint8_t> bc;
        const char* text;
    };
    const Case cases[] = {
        {{FT_VOID}, "void"},
        {{FT_BOOL}, "bool"},
        {{FT_INT8}, "int8"},
        {{FT_INT128}, "int128"},
        {{FT_UINT64}, "uint64"},
        {{FT_FLOAT32}, "float32"},
        {{FT_CHAR16}, "char16"},
        {{FT_STRING8}, "string8"},
        {{FT_STRING16}, "string16"},
        {{FT_CLASS, VORN_BC_INDEX(1)}, "vorn::ReflectedClass"},
        {{FT_ENUM, VORN_BC_INDEX(4)}, "vnByteCodeTest::Color"},
        {{FT_NOT_REFLECTED, VORN_BC_INDEX(12)}, "vnByteCodeTest::Hidden"},
        {{FT_VECTOR, FT_PREF, FT_CLASS, VORN_BC_INDEX(0)}, "xvector<pref<vorn::TilvexNode> >"},
        {{FT_PREF, FT_CLASS, VORN_BC_INDEX(0)}, "pref<vorn::TilvexNode>"},
        {{FT_MAP, FT_INT32, FT_STRING8}, "map<int32,string8>"},
        {{FT_ARRAY, 8, 0, 0, 0, FT_INT8}, "int8[8]"},
        {{FT_POINTER, FT_CONST, FT_CLASS, VORN_BC_INDEX(1)}, "vorn::ReflectedClass const*"},
        {{FT_REFERENCE, FT_CONST, FT_CLASS, VORN_BC_INDEX(2)}, "vorn::ReflectedInterface const&"},
        {{FT_REFERENCE, FT_CLASS, VORN_BC_INDEX(2)}, "vorn::ReflectedInterface&"},
        {{FT_POINTER, FT_POINTER, FT_CHAR8}, "char8**"},
        {{FT_VOLATILE, FT_INT32}, "int32 volatile"},
        {{FT_ASSIGNABLE, FT_MOVABLE, FT_OFFSETTABLE, FT_INT16}, "int16"},
        {{FT_INTERFACE_POINTER, FT_INTERFACE, VORN_BC_INDEX(3)}, "ptr<vorn::INsNode>"},
        {{FT_REFERENCE, FT_INTERFACE_POINTER, FT_INTERFACE, VORN_BC_INDEX(3)}, "ptr<vorn::INsNode>&"},
        {{FT_OPEN_VARIANT, FT_CLASS, VORN_BC_INDEX(1)}, "openvariant<vorn::ReflectedClass>"},
        {{FT_CREF, FT_CLASS, VORN_BC_INDEX(0)}, "cref<vorn::TilvexNode>"},
        {{FT_DEQUE, FT_INT32}, "xdeque<int32>"},
        {{FT_LIST, FT_INT32}, "xlist<int32>"},
        {{FT_SET, FT_STRING8}, "xset<string8>"},
        {{FT_BAG, FT_UINT8}, "xbag<uint8>"},
        {{FT_DYNARRAY, FT_FLOAT64}, "DynArray<float64>"},
        {{FT_VECTOR, FT_VECTOR, FT_INT32}, "xvector<xvector<int32> >"},
        {{FT_VECTOR, FT_MAP, FT_INT32, FT_INT32}, "xvector<map<int32,int32>>"},
        {{FT_VECTOR, MDT_BOOL, 1, FT_PREF, FT_CLASS, VORN_BC_INDEX(0)}, "xvector<pref<vorn::TilvexNode> >"},
        {{FT_MAP, FT_STRING8, FT_VECTOR, FT_INT32}, "map<string8,xvector<int32>>"},
        {{FT_ARRAY, 3, 0, 0, 0, FT_ARRAY, 2, 0, 0, 0, FT_INT32}, "int32[2][3]"},
        {{MDT_INT32, 7, 0, 0, 0, FT_INT32}, "int32"},
        {{FT_TYPEDEF, VORN_BC_INDEX(6)}, "vnByteCodeTest::ConstInt"},
        {{FT_FUNCTION_PTR, VORN_BC_INDEX(11)}, "vnByteCodeTest::Callback"},
    };
    for (const Case& c : cases) EXPECT_EQ(Print(c.bc), c.text);
}

TEST(ByteCodePrint, KindKeywordsAndMetadata)
{
    EXPECT_EQ(Print({FT_CLASS, VORN_BC_INDEX(1)}, PBC_SHOW_KIND), "class vorn::ReflectedClass");
    EXPECT_EQ(Print({FT_INTERFACE_POINTER, FT_INTERFACE, VORN_BC_INDEX(3)}, PBC_SHOW_KIND), "ptr<interface vorn::INsNode>");
    EXPECT_EQ(Print({FT_TYPEDEF, VORN_BC_INDEX(6)}, PBC_SHOW_KIND), "typedef vnByteCodeTest::ConstInt");
    EXPECT_EQ(Print({FT_ENUM, VORN_BC_INDEX(4)}, PBC_SHOW_KIND), "enum vnByteCodeTest::Color");
    EXPECT_EQ(Print({FT_FUNCTOR, VORN_BC_INDEX(5)}, PBC_SHOW_KIND), "functor vnByteCodeTest::Func");
    EXPECT_EQ(Print({FT_VARIANT, VORN_BC_INDEX(10)}, PBC_SHOW_KIND), "variant vnByteCodeTest::Variant");
    EXPECT_EQ(Print({FT_FUNCTION_PTR, VORN_BC_INDEX(11)}, PBC_SHOW_KIND), "function vnByteCodeTest::Callback");
    EXPECT_EQ(Print({FT_NOT_REFLECTED, VORN_BC_INDEX(12)}, PBC_SHOW_KIND), "vnByteCodeTest::Hidden");

    // A list holding count(7), then a flag item, ahead of an int32.
    const std::vector<uint8_t> meta = {MDT_LIST_2, MDT_FUNCTOR_1, VORN_BC_INDEX(14), MDT_INT32, 7, 0, 0, 0,
                                       MDT_STRING, VORN_BC_INDEX(7), FT_INT32};
    EXPECT_EQ(Print(meta), "int32");
    EXPECT_EQ(Print(meta, PBC_SHOW_METADATA), "int32 : [count(7),\"vnByteCodeTest::Str\"]");
    EXPECT_EQ(Print({MDT_BOOL, 0, MDT_FLAGS, 3, 0, 0, 0, FT_BOOL}, PBC_SHOW_METADATA), "bool : 0 : 3");
}

// ---- reading and scanning ------------------------------------------------------

TEST(ByteCode, ReadsUnalignedLittleEndianValues)
{
    std::vector<uint8_t> raw = {0xAA, 0x34, 0x12, 0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F, 1, 7, 0};
    ReflectionByteCode bc(raw.data() + 1, kNames);
    EXPECT_EQ(bc.ReadInt16(), 0x1234);
    EXPECT_EQ(bc.ReadInt32(), 0x12345678);
    EXPECT_EQ(bc.ReadFloat64(), 1.0);
    EXPECT_TRUE(bc.ReadBool());
    EXPECT_STREQ(bc.ReadString(), "vnByteCodeTest::Str");
    EXPECT_EQ(bc.m_cursor, raw.data() + raw.size());
}

TEST(ByteCode, ScanTypeStopsAfterTheLastByte)
{
    struct Case {
        std::vector<uint8_t> bc;
        uint8_t last;
    };
    const Case cases[] = {
        {{FT_MAP, FT_INT32, FT_VECTOR, FT_STRING8}, FT_STRING8},
        {{MDT_INT32, 1, 2, 3, 4, FT_BOOL}, FT_BOOL},
        {{MDT_LIST_2, MDT_FUNCTOR_1, VORN_BC_INDEX(14), MDT_FLOAT64, 0, 0, 0, 0, 0, 0, 0, 0, MDT_END_LIST, FT_INT8}, FT_INT8},
        {{FT_POINTER, FT_CONST, FT_CLASS, VORN_BC_INDEX(1)}, FT_CLASS},
        {{FT_ARRAY, 8, 0, 0, 0, FT_INT8}, FT_INT8},
        {{FT_MAP, FT_MAP, FT_INT8, FT_INT16, FT_ENUM, VORN_BC_INDEX(4)}, FT_ENUM},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = c.bc;
        bytes.push_back(0xEE); // what follows the type
        ReflectionByteCode bc = BC(bytes);
        EXPECT_EQ(bc.ScanType(), c.last);
        EXPECT_EQ(bc.m_cursor, bytes.data() + c.bc.size());
    }
}

// The cursor's lenient scan and the checked walk are one walk: on valid byte code they
// end at the same place; they part only on what is outside the grammar or cut short.
TEST(ByteCode, LenientAndCheckedWalksPartOnlyOnBrokenCode)
{
    const std::vector<std::vector<uint8_t>> valid = {
        {FT_MAP, FT_INT32, FT_VECTOR, FT_STRING8},
        {MDT_LIST_2, MDT_FUNCTOR_1, VORN_BC_INDEX(14), MDT_STRING, VORN_BC_INDEX(7), MDT_BOOL, 1, FT_INT8},
        {FT_ARRAY, 8, 0, 0, 0, FT_POINTER, FT_CLASS, VORN_BC_INDEX(1)},
    };
    for (const auto& bytes : valid) {
        const uint8_t* end = bytes.data() + bytes.size();
        EXPECT_EQ(detail::SkipType(bytes.data(), end), end);
        ReflectionByteCode bc(bytes.data(), kNames);
        bc.ScanType();
        EXPECT_EQ(bc.m_cursor, end);
    }

    // A code outside the grammar: the scan steps over it as one byte, the check refuses.
    const std::vector<uint8_t> odd = {FT_CONST, 0x5A, FT_INT8};
    ReflectionByteCode bc(odd.data(), kNames);
    EXPECT_EQ(bc.ScanType(), 0x5A);
    EXPECT_EQ(bc.m_cursor, odd.data() + 2);
    EXPECT_EQ(detail::SkipType(odd.data(), odd.data() + odd.size()), nullptr);
    const std::vector<uint8_t> oddItem = {0x9F, FT_INT8};
    EXPECT_EQ(detail::SkipMetaDataItem(oddItem.data(), oddItem.data() + 2), nullptr);

    // Cut short anywhere, and nested too deep: refused.
    const auto& whole = valid[1];
    for (size_t n = 0; n < whole.size(); ++n)
        EXPECT_EQ(detail::SkipType(whole.data(), whole.data() + n), nullptr) << n;
    std::vector<uint8_t> deep(detail::kMaxByteCodeDepth + 2, FT_MAP);
    deep.push_back(FT_INT8);
    EXPECT_EQ(detail::SkipType(deep.data(), deep.data() + deep.size()), nullptr);
}

TEST(ByteCode, UnderlyingTypeSkipsMetadataQualifiersAndTypedefs)
{
    RegisterTestTypes();
    const std::vector<uint8_t> alias = {MDT_BOOL, 1, FT_VOLATILE, FT_TYPEDEF, VORN_BC_INDEX(13)};
    ReflectionByteCode bc = BC(alias);
    EXPECT_EQ(bc.GetUnderlyingType(), FT_INT32);
    EXPECT_EQ(bc.m_cursor, alias.data()); // on a copy
    EXPECT_EQ(bc.AdvanceToUnderlyingType2(), BCQ_VOLATILE | BCQ_CONST);
    EXPECT_EQ(bc.m_cursor, bcConstInt32 + 1);
    EXPECT_EQ(bc.m_stringTable, nullptr); // the typedef's own table

    const std::vector<uint8_t> quals = {FT_ASSIGNABLE, FT_MOVABLE, FT_OFFSETTABLE, FT_CONST, FT_POINTER, FT_INT8};
    ReflectionByteCode q = BC(quals);
    EXPECT_EQ(q.AdvanceToUnderlyingType2(), BCQ_ASSIGNABLE | BCQ_MOVABLE | BCQ_OFFSETTABLE | BCQ_CONST);
    EXPECT_EQ(q.Peek(), FT_POINTER);

    // An unregistered typedef stops the walk on its code.
    const std::vector<uint8_t> missing = {FT_CONST, FT_TYPEDEF, VORN_BC_INDEX(8)};
    ReflectionByteCode m = BC(missing);
    EXPECT_EQ(m.AdvanceToUnderlyingType(), FT_TYPEDEF);
    EXPECT_EQ(m.m_cursor, missing.data() + 1);
}

TEST(ByteCode, IsPODAndIsConst)
{
    RegisterTestTypes();
    for (uint8_t c = FT_BOOL; c <= FT_CHAR16; ++c) EXPECT_TRUE(BC({c}).IsPOD()) << int(c);
    EXPECT_TRUE(BC({FT_ENUM, VORN_BC_INDEX(4)}).IsPOD());
    EXPECT_TRUE(BC({FT_POINTER, FT_CLASS, VORN_BC_INDEX(1)}).IsPOD());
    EXPECT_TRUE(BC({FT_REFERENCE, FT_STRING8}).IsPOD());
    EXPECT_TRUE(BC({FT_FUNCTION_PTR, VORN_BC_INDEX(11)}).IsPOD());
    EXPECT_TRUE(BC({FT_TYPEDEF, VORN_BC_INDEX(6)}).IsPOD());
    EXPECT_FALSE(BC({FT_VOID}).IsPOD());
    EXPECT_FALSE(BC({FT_STRING8}).IsPOD());
    EXPECT_FALSE(BC({FT_STRING16}).IsPOD());
    EXPECT_FALSE(BC({FT_CLASS, VORN_BC_INDEX(9)}).IsPOD());
    EXPECT_FALSE(BC({FT_TYPEDEF, VORN_BC_INDEX(7)}).IsPOD());
    EXPECT_FALSE(BC({FT_VECTOR, FT_INT32}).IsPOD());
    EXPECT_FALSE(BC({FT_TYPEDEF, VORN_BC_INDEX(8)}).IsPOD());

    EXPECT_TRUE(BC({FT_CONST, FT_INT32}).IsConst());
    EXPECT_TRUE(BC({FT_TYPEDEF, VORN_BC_INDEX(6)}).IsConst());  // const behind a typedef
    EXPECT_TRUE(BC({FT_TYPEDEF, VORN_BC_INDEX(13)}).IsConst()); // ... behind two
    EXPECT_FALSE(BC({FT_TYPEDEF, VORN_BC_INDEX(7)}).IsConst());
    EXPECT_FALSE(BC({FT_POINTER, FT_CONST, FT_INT32}).IsConst()); // a pointer to const
    EXPECT_FALSE(BC({FT_VOLATILE, FT_INT32}).IsConst());
}

TEST(ByteCode, TypeSizes)
{
    RegisterTestTypes();
    const int32_t ptr = int32_t(sizeof(void*));
    struct Case {
        std::vector<uint8_t> bc;
        int32_t size;
    };
    const Case cases[] = {
        {{FT_BOOL}, 1},
        {{FT_INT8}, 1},
        {{FT_UINT8}, 1},
        {{FT_CHAR8}, 1},
        {{FT_INT16}, 2},
        {{FT_UINT16}, 2},
        {{FT_CHAR16}, 2},
        {{FT_INT32}, 4},
        {{FT_UINT32}, 4},
        {{FT_FLOAT32}, 4},
        {{FT_ENUM, VORN_BC_INDEX(4)}, 4},
        {{FT_INT64}, 8},
        {{FT_UINT64}, 8},
        {{FT_FLOAT64}, 8},
        {{FT_INT128}, 16},
        {{FT_UINT128}, 16},
        {{FT_FUNCTION_PTR, VORN_BC_INDEX(11)}, ptr},
        {{FT_POINTER, FT_VOID}, ptr},
        {{FT_REFERENCE, FT_CLASS, VORN_BC_INDEX(8)}, ptr},
        {{FT_FUNCTOR, VORN_BC_INDEX(5)}, kPseudoFunctorSize},
        {{FT_INTERFACE_POINTER, FT_INTERFACE, VORN_BC_INDEX(3)}, int32_t(sizeof(AnyInterface))},
        {{FT_OPEN_VARIANT, FT_CLASS, VORN_BC_INDEX(1)}, int32_t(sizeof(AnyInterface))},
        {{FT_STRING8}, int32_t(sizeof(xstring))},
        {{FT_STRING16}, int32_t(sizeof(string16))},
        {{FT_VECTOR, FT_INT8}, int32_t(sizeof(xvector<int8_t>))},
        {{FT_DYNARRAY, FT_INT8}, kVectorSize},
        {{FT_PREF, FT_CLASS, VORN_BC_INDEX(0)}, kPrefSize},
        {{FT_CREF, FT_CLASS, VORN_BC_INDEX(0)}, kPrefSize},
        {{FT_SET, FT_INT32}, kOrderedContainerSize},
        {{FT_MAP, FT_INT32, FT_INT32}, kOrderedContainerSize},
        {{FT_ARRAY, 8, 0, 0, 0, FT_INT8}, 8},
        {{FT_ARRAY, 3, 0, 0, 0, FT_CLASS, VORN_BC_INDEX(9)}, 48},
        {{FT_ARRAY, 0, 0, 0, 0, FT_INT64}, 0},
        {{FT_CONST, FT_INT32}, 4},
        {{MDT_INT32, 1, 0, 0, 0, FT_INT16}, 2},
        {{FT_TYPEDEF, VORN_BC_INDEX(7)}, int32_t(sizeof(xstring))},
        {{FT_TYPEDEF, VORN_BC_INDEX(13)}, 4},
        {{FT_CLASS, VORN_BC_INDEX(9)}, 16},
        {{FT_VARIANT, VORN_BC_INDEX(10)}, 24},
        {{FT_VOID}, -1},
        {{FT_INTERFACE, VORN_BC_INDEX(3)}, -1},
        {{FT_NOT_REFLECTED, VORN_BC_INDEX(12)}, -1},
        {{FT_DEQUE, FT_INT8}, -1},
        {{FT_LIST, FT_INT8}, -1},
        {{FT_BAG, FT_INT8}, -1},
        {{FT_PARAM_0}, -1},
        // Unregistered records and typedefs have no size; nothing is dereferenced.
        {{FT_CLASS, VORN_BC_INDEX(8)}, -1},
        {{FT_VARIANT, VORN_BC_INDEX(8)}, -1},
        {{FT_TYPEDEF, VORN_BC_INDEX(8)}, -1},
        // Arrays of unsized elements, negative counts and oversized products.
        {{FT_ARRAY, 4, 0, 0, 0, FT_VOID}, -1},
        {{FT_ARRAY, 4, 0, 0, 0, FT_CLASS, VORN_BC_INDEX(8)}, -1},
        {{FT_ARRAY, 0xFF, 0xFF, 0xFF, 0xFF, FT_INT8}, -1},
        {{FT_ARRAY, 0, 0, 0, 0x40, FT_INT64}, -1},
        {{FT_ARRAY, 0, 0, 0, 0x40, FT_ARRAY, 0, 0, 0, 0x40, FT_INT8}, -1},
    };
    for (const Case& c : cases) EXPECT_EQ(BC(c.bc).GetTypeSize(), c.size) << Print(c.bc);
}

TEST(ByteCode, NamedTypeLookups)
{
    RegisterTestTypes();
    const std::vector<uint8_t> cls = {FT_CLASS, VORN_BC_INDEX(9)};
    EXPECT_EQ(BC(cls).GetReflectedClass(), FindReflectedClass("vorn::Guid"));
    EXPECT_NE(BC(cls).GetReflectedClass(), nullptr);
    EXPECT_EQ(BC({FT_CLASS, VORN_BC_INDEX(8)}).GetReflectedClass(), nullptr);
    EXPECT_EQ(BC({FT_INTERFACE, VORN_BC_INDEX(3)}).GetReflectedInterface(), &GetINsNodeInterfaceRecord());
    EXPECT_EQ(BC({FT_TYPEDEF, VORN_BC_INDEX(6)}).GetReflectedTypedef(), &kConstIntTypedef);
    EXPECT_EQ(BC({FT_VARIANT, VORN_BC_INDEX(10)}).GetReflectedVariant(), &kVariant);
    EXPECT_EQ(BC({FT_ENUM, VORN_BC_INDEX(4)}).GetReflectedEnum(), nullptr);
    EXPECT_EQ(BC({FT_FUNCTOR, VORN_BC_INDEX(5)}).GetReflectedFunctor(), nullptr);
    ReflectionByteCode bc = BC(cls);
    bc.GetReflectedClass();
    EXPECT_EQ(bc.m_cursor, cls.data());
}

TEST(ByteCode, MemberByteCodes)
{
    test::TestModule();
    const ReflectedClass* guid = FindReflectedClass("vorn::Guid");
    ASSERT_NE(guid, nullptr);
    const ReflectionByteCode data4 = GetFieldByteCode(*guid, *guid->GetField(3));
    EXPECT_EQ(Text(ByteCodeTypeToString(data4)), "int8[8]");
    EXPECT_EQ(data4.GetTypeSize(), 8);
    EXPECT_EQ(data4.m_stringTable, guid->m_stringTable);
    EXPECT_EQ(data4.m_extra, 0);

    constexpr uint8_t bcField[] = {FT_ENUM, VORN_BC_INDEX(4)};
    const ReflectedModelField mf{"m_color", 0, bcField, 1, -1, 77};
    ReflectedClass rc{};
    rc.m_stringTable = kNames;
    const ReflectionByteCode model = GetModelFieldByteCode(rc, mf);
    EXPECT_EQ(model.m_cursor, bcField);
    EXPECT_EQ(model.m_stringTable, kNames);
    EXPECT_EQ(model.m_extra, 77);
    const MetaData md = GetMetaData(model);
    EXPECT_EQ(md.m_cursor, bcField);
    EXPECT_EQ(md.m_stringTable, kNames);
    EXPECT_EQ(md.m_extra, 77);

    const ReflectedInterface& ri = GetIObjectInterfaceRecord();
    EXPECT_EQ(Text(ByteCodeTypeToString(GetInterfaceMethodArgByteCode(ri, *ri.GetMethod(0)->GetArg(0)))),
              "vorn::ReflectedInterface const&");
    EXPECT_EQ(Text(ByteCodeTypeToString(GetInterfaceMethodReturnTypeByteCode(ri, *ri.GetMethod(2)))),
              "vorn::ReflectedClass const*");
    EXPECT_TRUE(GetInterfaceMethodReturnTypeByteCode(ri, *ri.GetMethod(3)).IsNull()); // void

    const ReflectedTypedef* xs = FindReflectedTypedef("vorn::xstring");
    ASSERT_NE(xs, nullptr);
    EXPECT_EQ(GetTypeDefByteCode(*xs).GetTypeSize(), int32_t(sizeof(xstring)));

    // Called by name through the reflected global function.
    const ReflectedGlobalFunction* f = FindReflectedGlobalFunction("vorn::GetFieldByteCode");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(f->GetNumArgs(), 2);
    const ReflectedField* field = guid->GetField(3);
    void* args[] = {const_cast<ReflectedClass*>(guid), const_cast<ReflectedField*>(field)};
    ReflectionByteCode result;
    f->m_address(&result, args);
    EXPECT_EQ(result.m_cursor, field->m_type);
    EXPECT_EQ(Text(ByteCodeTypeToString(ReflectionByteCode(f->m_returnType, f->m_stringTable))),
              "vorn::ReflectionByteCode");
}
