// Exception texts and the byte-exact stored forms: OIDs, object records, the class-id
// map and the type-operations table.
#include "PersistTestUtil.h"
#include <gtest/gtest.h>
#include "vnPersistStore/OidSpaceMap.h"
#include "vnPersistStore/PersistExceptions.h"
#include "vnReflection/BasicTypeOps.h"
#include "vnUtils/TextWriter.h"

namespace vorn::test {
namespace {

using Bytes = std::vector<uint8_t>;

std::string Text(const IException& e)
{
    const xstring s = e.Describe();
    return std::string(s.data(), size_t(s.size()));
}

TEST(PersistExceptions, TextsAreExact)
{
    EXPECT_EQ(Text(DerefDanglingOidException(OID(0x01010203, 0x01010101))),
              "Dereferenced dangling OID = 01010101.01010203");
    EXPECT_EQ(Text(DerefDanglingOidException(OID(0xabcdef12, 0xfedcba98))), "Dereferenced dangling OID = fedcba98.abcdef12");
    EXPECT_EQ(Text(TypeMismatchException(&PNode::s_class, &kIPersistableInterface)),
              "Type mismatch during deserialisation : class vorn::test::PNode doesn't support interface vorn::IPersistable");
    EXPECT_EQ(Text(OpenPSpaceException("P", OM_CREATE_NEW)),
              "Could not create new PSpace \"P\", a PSpace with that name already exists");
    EXPECT_EQ(Text(OpenPSpaceException("Q", OM_OPEN_EXISTING)),
              "Could not open existing PSpace \"Q\", a PSpace with that name does not exist");
    EXPECT_EQ(Text(OpenPSpaceException("", OM_DELETE_EXISTING)),
              "Could not delete existing PSpace \"\", a PSpace with that name does not exist");
    EXPECT_EQ(Text(OpenPSpaceException("P", OM_OPEN_ALWAYS)), "");
    EXPECT_EQ(Text(OpenPSpaceException("P", OM_CREATE_ALWAYS)), "");
    EXPECT_EQ(Text(RepeatedClassNameInCidMapException("vorn::X")), "Repeated class name vorn::X");
    EXPECT_EQ(Text(DerefNullPrefException()), "Attempt to dereference null pref<T>");
    EXPECT_EQ(Text(BadTypeOpsIdException(-3)), "Bad TypeOpsId : -3");
    EXPECT_EQ(Text(BadCidException(7)), "Bad CID : 7");

    const uint8_t int32Code[] = {FT_INT32};
    ReflectionByteCodeValue v(ReflectionByteCode(int32Code, nullptr));
    StringTextWriter printed;
    v.Print(printed);
    const xstring type = printed.TakeText();
    EXPECT_FALSE(type.empty());
    EXPECT_EQ(Text(TypeOpsNotFoundException(v)), "TypeOps not found for " + std::string(type.data(), size_t(type.size())));
}

Bytes OidBytes(OID oid)
{
    return ArchiveBytes([&](Archive& ar) { WriteOid(ar, oid); });
}

OID ReadBack(const Bytes& b, size_t* consumed = nullptr)
{
    OID oid;
    const InputArchive end = ReadOid(InputOf(b), oid);
    if (consumed) *consumed = size_t(end.Ptr() - b.data());
    return oid;
}

TEST(OidForm, ByteExactAndRoundTrip)
{
    EXPECT_EQ(OidBytes(OID()), Bytes{0x00});
    EXPECT_EQ(OidBytes(OID(0x01010101, 0x01010101)), (Bytes{0x01, 0x01}));
    EXPECT_EQ(OidBytes(OID(0x01010180, 0x01010101)), (Bytes{0x80, 0x80, 0x01}));
    EXPECT_EQ(OidBytes(OID(0x01010101, 0)), (Bytes{0x01, 0x00}));
    EXPECT_EQ(ReadBack(Bytes{0x01, 0x00}), OID(0x01010101, 0));

    // A low word of 0 ends the identifier: the next byte is not read.
    size_t consumed = 0;
    EXPECT_EQ(ReadBack(Bytes{0x00, 0x05}, &consumed), OID());
    EXPECT_EQ(consumed, 1u);

    for (OID oid : {OID(0x01010101, 0x01010101), OID(0xFFFFFFFF, 0x7FFFFFFF), OID(0x02030405, 0x01010102),
                    OID(0x01FF0101, 0x01010101), OID(0x12345678, 0x11223344)}) {
        EXPECT_EQ(ReadBack(OidBytes(oid), &consumed), oid);
        EXPECT_EQ(consumed, OidBytes(oid).size());
    }
}

TEST(OidForm, DamagedFormsThrow)
{
    // Truncated: a low word without its high word, a cut compressed integer.
    EXPECT_THROW(ReadBack(Bytes{0x01}), DeserialisationException);
    EXPECT_THROW(ReadBack(Bytes{0x80}), DeserialisationException);
    // A word with a zero byte (0x01010100 + 0xFF = 0x010101FF is fine; + 0x100 gives 0x01010200).
    EXPECT_THROW(ReadBack(Bytes{0x81, 0x00, 0x01}), DeserialisationException);
    // A word beyond 32 bits once the bias is added back.
    EXPECT_THROW(ReadBack(Bytes{0xF0, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}), DeserialisationException);
}

// Writes the high word as a raw 4-byte value; reads it back the same way.
struct RawHighHooks final : IOidRemapHook, IOidReadRemapHook {
    int m_writes = 0;
    int m_reads = 0;
    void WriteOidHigh(Archive& ar, uint32_t high) override
    {
        ++m_writes;
        ar.Write4(high ^ 0xFFFF0000u);
    }
    InputArchive ReadOidHigh(InputArchive in, uint32_t& high) override
    {
        ++m_reads;
        in = Read4FromBuffer(in, high);
        high ^= 0xFFFF0000u;
        return in;
    }
};

TEST(OidForm, RemapHooksReplaceTheHighWord)
{
    RawHighHooks hooks;
    const Bytes b = ArchiveBytes([&](Archive& ar) {
        ar.SetOidRemapHook(&hooks);
        WriteOid(ar, OID(0x01010102, 0x01020304));
        WriteOid(ar, OID()); // no high word: the hook is not asked
    });
    EXPECT_EQ(hooks.m_writes, 1);
    EXPECT_EQ(b, (Bytes{0x02, 0x04, 0x03, 0xFD, 0xFE, 0x00}));

    SetThreadOidReadRemapHook(&hooks);
    OID a, z;
    InputArchive in = ReadOid(InputOf(b), a);
    in = ReadOid(in, z);
    SetThreadOidReadRemapHook(nullptr);
    EXPECT_EQ(a, OID(0x01010102, 0x01020304));
    EXPECT_TRUE(z.IsNull());
    EXPECT_EQ(hooks.m_reads, 1);
    EXPECT_TRUE(in.AtEnd());
}

TEST(ClassIdMap, IdsRecordAndLookups)
{
    RegisterTestClasses();
    ClassIdMap map;
    EXPECT_EQ(map.GetCid(&PNode::s_class).m_cid, 1);
    EXPECT_TRUE(map.GetCid(&PLeaf::s_class).m_added);
    const ClassIdMap::CidResult again = map.GetCid(&PNode::s_class);
    EXPECT_EQ(again.m_cid, 1);
    EXPECT_FALSE(again.m_added);
    EXPECT_EQ(map.GetClass(2), &PLeaf::s_class);
    EXPECT_THROW(map.GetClass(0), BadCidException);
    EXPECT_THROW(map.GetClass(3), BadCidException);
    EXPECT_THROW(map.GetClass(-1), BadCidException);

    const Bytes b = ArchiveBytes([&](Archive& ar) { map.Write(ar); });
    Bytes expected{0x01, 0x02};
    for (const char* name : {"vorn::test::PNode", "vorn::test::PLeaf"}) {
        expected.push_back(17);
        expected.insert(expected.end(), name, name + 17);
    }
    EXPECT_EQ(b, expected);

    // Read back, with a translation that renames the second class in place.
    const Bytes renamed = [] {
        ClassIdMap m;
        m.GetCid(&PNode::s_class);
        m.GetCid(&kAbstractClass);
        return ArchiveBytes([&](Archive& ar) { m.Write(ar); });
    }();
    const ClassNameTranslation tr[] = {{"vorn::test::PAbstract", "vorn::test::PLeaf"}};
    const ClassNameTranslationTable table{tr, 1};
    ClassIdMap read;
    bool dirty = false;
    EXPECT_TRUE(read.Read(InputOf(renamed), &table, dirty).AtEnd());
    EXPECT_TRUE(dirty);
    EXPECT_EQ(read.GetClass(2), &PLeaf::s_class);
    EXPECT_EQ(read.GetCid(&PLeaf::s_class).m_cid, 2);
}

TEST(ClassIdMap, DamagedAndUnknownNames)
{
    RegisterTestClasses();
    ClassIdMap map;
    bool dirty = false;
    // One name twice.
    const Bytes twice{0x01, 0x02, 0x01, 'A', 0x01, 'A'};
    EXPECT_THROW(map.Read(InputOf(twice), nullptr, dirty), RepeatedClassNameInCidMapException);
    // Counts and lengths beyond the record, another schema.
    EXPECT_THROW(map.Read(InputOf(Bytes{0x01, 0xF0, 0x7F, 0xFF, 0xFF, 0xFF}), nullptr, dirty), DeserialisationException);
    EXPECT_THROW(map.Read(InputOf(Bytes{0x01, 0x01, 0x7F, 'A'}), nullptr, dirty), DeserialisationException);
    EXPECT_THROW(map.Read(InputOf(Bytes{0x02, 0x00}), nullptr, dirty), DeserialisationException);
    EXPECT_EQ(map.GetCount(), 0);

    // A name no registry knows: its id is valid, its class is not found.
    EXPECT_TRUE(map.Read(InputOf(Bytes{0x01, 0x01, 0x03, 'Z', 'z', 'z'}), nullptr, dirty).AtEnd());
    try {
        map.GetClass(1);
        ADD_FAILURE() << "no exception";
    } catch (const ReflectedClassNotFoundException& e) {
        EXPECT_EQ(std::string(e.GetName().data(), size_t(e.GetName().size())), "Zzz");
    }
}

TEST(TypeOpsTable, IdsRecordAndResolution)
{
    const uint8_t int32Code[] = {FT_INT32};
    const uint8_t prefCode[] = {FT_PREF, FT_CLASS, 0, 0};
    const char* const names[] = {"vorn::test::PNode"};
    const ReflectionByteCodeValue i32(ReflectionByteCode(int32Code, nullptr));
    TypeOpsTable table;
    EXPECT_EQ(table.GetTypeOpsId(i32).m_id, 1);
    EXPECT_FALSE(table.GetTypeOpsId(i32).m_added);
    EXPECT_EQ(table.GetTypeOps(1).m_ops, GetBasicTypeOps(ReflectionByteCode(int32Code, nullptr)));
    EXPECT_THROW(table.GetTypeOps(0), BadTypeOpsIdException);
    EXPECT_THROW(table.GetTypeOps(2), BadTypeOpsIdException);

    const ReflectionByteCodeValue pr(ReflectionByteCode(prefCode, names));
    EXPECT_EQ(table.GetTypeOpsId(pr).m_id, 2);

    // Each entry: its names, then its byte code.
    const Bytes b = ArchiveBytes([&](Archive& ar) { table.Write(ar); });
    Bytes expected{0x01, 0x02, 0x00, 0x01, FT_INT32};
    const xvector<uint8_t>& prNames = pr.GetStringBytes();
    expected.push_back(uint8_t(prNames.size()));
    expected.insert(expected.end(), prNames.begin(), prNames.end());
    expected.push_back(4);
    expected.insert(expected.end(), prefCode, prefCode + 4);
    EXPECT_EQ(b, expected);

    TypeOpsTable read;
    EXPECT_TRUE(read.Read(InputOf(b)).AtEnd());
    EXPECT_EQ(read.GetTypeOpsId(pr).m_id, 2);
    EXPECT_EQ(read.GetTypeOps(2).m_ops, &GetPrefTypeOpsTable());

    EXPECT_THROW(read.Read(InputOf(Bytes{0x01, 0x7F, 0x00})), DeserialisationException);
    EXPECT_EQ(read.GetCount(), 2);
}

TEST(TypeOpsTable, UnknownTypeIsNotFound)
{
    const uint8_t code[] = {FT_CLASS, 0, 0};
    const char* const names[] = {"vorn::test::NoSuchValueType"};
    TypeOpsTable table;
    table.GetTypeOpsId(ReflectionByteCodeValue(ReflectionByteCode(code, names)));
    EXPECT_THROW(table.GetTypeOps(1), TypeOpsNotFoundException);
}

TEST(PrefForm, SerialisedAsItsOidFilledFromTheObject)
{
    PLeaf leaf;
    leaf.m_pos.m_oid = OID(0x01010105, 0x01010101);
    pref p(leaf.AsPersistable());
    EXPECT_EQ(ArchiveBytes([&](Archive& ar) { SerialisePref(ar, p); }), (Bytes{0x05, 0x01}));
    EXPECT_EQ(p.m_oid, leaf.m_pos.m_oid);
    pref q;
    EXPECT_TRUE(DeserialisePref(InputOf(Bytes{0x05, 0x01}), q).AtEnd());
    EXPECT_EQ(q.m_oid, leaf.m_pos.m_oid);
    EXPECT_EQ(q.m_cached.m_object, nullptr);

    // The reflection's table of prefs is this one; arrays go through it.
    const TypeOps& ops = GetPrefTypeOpsTable();
    EXPECT_EQ(GetPrefTypeOps(), &ops);
    pref arr[2] = {pref(OID(0x01010102, 0x01010101)), pref()};
    const Bytes b = ArchiveBytes([&](Archive& ar) { ops.m_serialiseN(ar, arr, sizeof(pref), 2); });
    EXPECT_EQ(b, (Bytes{0x02, 0x01, 0x00}));
    pref back[2];
    EXPECT_TRUE(ops.m_deserialiseN(InputOf(b), back, sizeof(pref), 2).AtEnd());
    EXPECT_TRUE(ops.m_equal(&back[0], &arr[0]));
    EXPECT_TRUE(back[1].IsNull());
}

} // namespace
} // namespace vorn::test

namespace vorn::test {
namespace {

TEST(OidSpaceMap, ByteExactAndBothDirectionsAfterReading)
{
    Guid g1, g2;
    ASSERT_TRUE(ParseGuid("{7C3E52A0-58B1-12C4-A4E7-00C0F03D81B6}", g1));
    ASSERT_TRUE(ParseGuid("{00000001-0002-0003-0405-060708090A0B}", g2));
    OidSpaceMap map;
    map.Set(0x01010102, g2);
    map.Set(0x01010101, g1);
    const std::vector<uint8_t> b = ArchiveBytes([&](Archive& ar) { map.Serialise(ar); });
    std::vector<uint8_t> expected{0x01, 0x02, 0x01, 0x01, 0x01, 0x01};
    expected.insert(expected.end(), reinterpret_cast<const uint8_t*>(&g1), reinterpret_cast<const uint8_t*>(&g1) + 16);
    expected.insert(expected.end(), {0x02, 0x01, 0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x03, 0x00, 0x04, 0x05,
                                     0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B});
    EXPECT_EQ(b, expected);

    auto* read = static_cast<OidSpaceMap*>(OidSpaceMap::s_class.m_factory().m_object);
    EXPECT_TRUE(read->Deserialise(InputOf(b)).AtEnd());
    EXPECT_EQ(read->GetForward(), map.GetForward());
    EXPECT_EQ(read->GetReverse(), map.GetReverse());
    OidHigh high = 0;
    EXPECT_TRUE(read->FindOidHigh(g2, high));
    EXPECT_EQ(high, 0x01010102u);
    // Another schema, a count beyond the record: unchanged.
    EXPECT_THROW(read->Deserialise(InputOf(std::vector<uint8_t>{0x02, 0x00})), DeserialisationException);
    EXPECT_THROW(read->Deserialise(InputOf(std::vector<uint8_t>{0x01, 0x02, 1, 1, 1, 1})), DeserialisationException);
    EXPECT_EQ(read->GetForward().size(), 2u);
    EXPECT_FALSE(QueryPersistable(AnyInterface{read, &kPersistableTableOf<OidSpaceMap>}).IsNull());
    read->DestroyObject();
}

} // namespace
} // namespace vorn::test
