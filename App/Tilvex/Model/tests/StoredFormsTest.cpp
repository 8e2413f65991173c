// The stored forms of vorn::Tilvex and vorn::TilvexNode, byte by byte, and what
// reading them back leaves in memory; damaged forms are refused.
#include "ModelTestSupport.h"
#include "vnPersistStore/Oid.h"

namespace vorn::test {
namespace {

std::vector<uint8_t> OidBytes(OID oid)
{
    return Serialised([&](Archive& ar) { WriteOid(ar, oid); });
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> r;
    for (const auto& p : parts) r.insert(r.end(), p.begin(), p.end());
    return r;
}

TEST(TilvexStoredForm, NewAndFilledObjectsAndTheirReadBack)
{
    Tilvex t;
    EXPECT_EQ(Serialised([&](Archive& ar) { t.Serialise(ar); }), (std::vector<uint8_t>{1, 0, 0}));

    const OID root(0x01020304u, 0x01010105u);
    t.m_root = pref(root);
    t.m_height = 30;
    const std::vector<uint8_t> form = Serialised([&](Archive& ar) { t.Serialise(ar); });
    EXPECT_EQ(form, Concat({{1}, OidBytes(root), {30}}));

    Tilvex back;
    const InputArchive end = back.Deserialise(InputOf(form));
    EXPECT_EQ(end.Remaining(), 0u);
    EXPECT_EQ(back.m_root.m_oid, root);
    EXPECT_EQ(back.m_root.m_cached.m_object, nullptr);
    EXPECT_EQ(back.GetHeight(), 30);

    // Another schema, and a height no pyramid can have, are refused.
    std::vector<uint8_t> bad = form;
    bad[0] = 2;
    try {
        back.Deserialise(InputOf(bad));
        ADD_FAILURE();
    } catch (const DeserialisationException& e) {
        EXPECT_EQ(e.Describe(), "Bad schema (2) - should be 1");
    }
    bad = form;
    bad.back() = 31;
    EXPECT_THROW(back.Deserialise(InputOf(bad)), DeserialisationException);
    bad = form;
    bad.pop_back();
    EXPECT_THROW(back.Deserialise(InputOf(bad)), DeserialisationException);
}

TEST(TilvexNodeStoredForm, WithAndWithoutAnImageAndTheDecodeStateAfterReading)
{
    TilvexNode empty;
    const std::vector<uint8_t> emptyForm = Serialised([&](Archive& ar) { empty.Serialise(ar); });
    EXPECT_EQ(emptyForm, (std::vector<uint8_t>{1, 1, 0, 0, 0, 0, 0}));

    TilvexNode node;
    xvector<uint8_t> bytes = JpegOfColour(kTileSize, kTileSize, 10, 20, 200);
    const std::vector<uint8_t> jpeg(bytes.data(), bytes.data() + bytes.size());
    node.m_jpeg.m_bytes = bytes;
    node.m_jpeg.m_valid = true;
    const OID c1(0x01010201u, 0x01010101u), c2(0x01010301u, 0x01010101u);
    node.m_children[1] = pref(c1);
    node.m_children[2] = pref(c2);
    ASSERT_TRUE(IsTileBitmap(node.GetDib()));
    ASSERT_EQ(node.GetDecodeState(), TDS_DECODED);
    const std::vector<uint8_t> form = Serialised([&](Archive& ar) { node.Serialise(ar); });
    const std::vector<uint8_t> count = Serialised([&](Archive& ar) { ar.WriteCompressedUInt32(uint32_t(jpeg.size())); });
    // The decoded tile is never part of the form.
    EXPECT_EQ(form, Concat({{1, 1, 1}, count, jpeg, {0}, OidBytes(c1), OidBytes(c2), {0}}));

    // Read back over a node that held a decoded tile: stale, the tile freed.
    const InputArchive end = node.Deserialise(InputOf(form));
    EXPECT_EQ(end.Remaining(), 0u);
    EXPECT_EQ(node.GetDecodeState(), TDS_STALE);
    EXPECT_TRUE(node.m_dib.IsEmpty());
    EXPECT_EQ(node.m_children[1].m_oid, c1);
    EXPECT_TRUE(node.m_children[0].IsNull());
    EXPECT_TRUE(node.HasChildren());

    node.Deserialise(InputOf(emptyForm));
    EXPECT_EQ(node.GetDecodeState(), TDS_NO_IMAGE);
    EXPECT_FALSE(node.HasImage());
    EXPECT_FALSE(node.HasChildren());

    std::vector<uint8_t> bad = form;
    bad[1] = 2; // the JPEG image's own schema
    EXPECT_THROW(node.Deserialise(InputOf(bad)), DeserialisationException);
    bad = form;
    bad.resize(form.size() - 3);
    EXPECT_THROW(node.Deserialise(InputOf(bad)), DeserialisationException);
}

TEST(TilvexNodeTile, OnlyA256By256TwentyFourBitTileIsEverDecoded)
{
    struct Case {
        const char* what;
        xvector<uint8_t> bytes;
        bool tile;
    };
    xvector<uint8_t> garbage;
    for (int i = 0; i < 64; ++i) garbage.push_back(uint8_t(i * 37));
    xvector<uint8_t> cut = JpegOfColour(kTileSize, kTileSize, 1, 2, 3);
    cut.resize(cut.size() / 3);
    Case cases[] = {
        {"a tile", JpegOfColour(kTileSize, kTileSize, 0, 0, 255), true},
        {"too small", JpegOfColour(16, 16, 0, 0, 255), false},
        {"too wide", JpegOfColour(512, 256, 0, 0, 255), false},
        {"not JPEG", garbage, false},
        {"cut short", cut, false},
    };
    for (Case& c : cases) {
        TilvexNode node;
        node.m_jpeg.m_bytes = c.bytes;
        node.m_jpeg.m_valid = true;
        ResDIB& dib = node.GetDib();
        EXPECT_EQ(IsTileBitmap(dib), c.tile) << c.what;
        EXPECT_EQ(dib.IsEmpty(), !c.tile) << c.what;
        EXPECT_EQ(node.GetDecodeState(), c.tile ? TDS_DECODED : TDS_NO_IMAGE) << c.what;
    }
    TilvexNode none;
    EXPECT_TRUE(none.GetDib().IsEmpty());
    EXPECT_EQ(none.GetDecodeState(), TDS_NO_IMAGE);
}

} // namespace
} // namespace vorn::test
