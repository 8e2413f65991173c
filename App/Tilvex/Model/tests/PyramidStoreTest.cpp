// A small pyramid built through the model's own operations inside transactions, with
// the store's writer running meanwhile, then closed, reopened and read back node by
// node; a stored tile that is not a tile is never used as one.
#include "ModelTestSupport.h"
#include "vnLss/LssInterfaces.h"
#include "vnPersistStore/PersistExceptions.h"

namespace vorn::test {
namespace {

class PyramidStore : public ::testing::Test {
protected:
    void SetUp() override { m_dir = FreshFolder(); }
    void TearDown() override { std::filesystem::remove_all(m_dir); }
    std::string Path() const { return (m_dir / "pyramid.tvx").string(); }
    std::filesystem::path m_dir;
};

void GiveImage(TilvexNode* node, uint8_t b, uint8_t g, uint8_t r)
{
    xvector<uint8_t> bytes = JpegOfColour(kTileSize, kTileSize, b, g, r);
    node->TakeJpegBytes(bytes);
}

TEST_F(PyramidStore, BuiltInTransactionsClosedReopenedAndReadBackNodeByNode)
{
    OID tilvexOid;
    {
        StoreSession s(Path(), OM_CREATE_ALWAYS);
        Tilvex* t = s.Root();
        {
            ModelTransaction txn;
            EXPECT_EQ(t->GetPSpace(), s.m_space);
            t->IncreaseHeight(1, 0); // no root node yet: nothing happens
            EXPECT_TRUE(t->m_root.IsNull());
            TilvexNode* root = NewTilvexNode();
            t->SetRootNode(root);
            EXPECT_FALSE(GetOid(root->AsObject()).IsNull()); // persistent through its parent
            GiveImage(root, 0, 0, 200);
            root->CreateChildren();
            t->SetHeight(2);
        }
        {
            ModelTransaction txn;
            TilvexNode* root = t->GetRootNode();
            GiveImage(root->GetChild(0, 0), 200, 0, 0);
            GiveImage(root->GetChild(1, 1), 0, 200, 0);
            EXPECT_EQ(root->GetChild(1, 0)->GetDecodeState(), TDS_NO_IMAGE);
        }
        {
            ModelTransaction txn;
            TilvexNode* oldRoot = t->GetRootNode();
            t->IncreaseHeight(1, 0);
            EXPECT_EQ(t->GetHeight(), 2); // the caller sets it
            TilvexNode* top = t->GetRootNode();
            EXPECT_NE(top, oldRoot);
            EXPECT_EQ(top->GetChild(0, 1), oldRoot);
            GiveImage(top, 100, 100, 100);
            t->SetHeight(3);
            tilvexOid = GetOid(t->AsObject());
        }
        s.Close();
    }

    StoreSession s(Path(), OM_OPEN_EXISTING);
    Tilvex* t = s.Root();
    ModelTransaction txn;
    EXPECT_EQ(GetOid(t->AsObject()), tilvexOid);
    EXPECT_EQ(t->GetHeight(), 3);
    TilvexNode* top = t->GetDecodedRootNode();
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(top->GetDecodeState(), TDS_DECODED);
    EXPECT_TRUE(Near(CentreColour(top->m_dib), 0x646464));
    for (int32_t i = 0; i < 4; ++i) EXPECT_EQ(top->m_children[i].IsNull(), i != 2) << i;
    TilvexNode* mid = top->GetChild(0, 1);
    ASSERT_NE(mid, nullptr);
    EXPECT_EQ(mid->GetDecodeState(), TDS_STALE);
    EXPECT_TRUE(mid->m_dib.IsEmpty());
    EXPECT_TRUE(Near(CentreColour(mid->GetDib()), 0xC80000));
    const uint32_t expected[4] = {0x0000C8, 0, 0, 0x00C800};
    for (int32_t row = 0; row < 2; ++row)
        for (int32_t col = 0; col < 2; ++col) {
            TilvexNode* leaf = mid->GetChild(col, row);
            ASSERT_NE(leaf, nullptr);
            EXPECT_FALSE(leaf->HasChildren());
            const uint32_t want = expected[col + 2 * row];
            EXPECT_EQ(leaf->HasImage(), want != 0) << col << row;
            EXPECT_EQ(leaf->GetDecodeState(), want != 0 ? TDS_STALE : TDS_NO_IMAGE);
            if (want != 0) {
                EXPECT_TRUE(Near(CentreColour(leaf->GetDib()), want)) << std::hex << CentreColour(leaf->m_dib);
            }
        }

    // The stored element of the root object is its class id and then its own form.
    std::vector<uint8_t> form = Serialised([&](Archive& ar) { t->Serialise(ar); });
    IContiguousSerialElement* element = s.m_store->GetLss()->GetContiguousSerialElement(tilvexOid.AsSeid());
    ASSERT_NE(element, nullptr);
    int64_t length = 0;
    const uint8_t* bytes = element->GetBuffer(length);
    std::vector<uint8_t> stored(bytes, bytes + length);
    element->Release();
    ASSERT_EQ(stored.size(), form.size() + 1);
    EXPECT_EQ(std::vector<uint8_t>(stored.begin() + 1, stored.end()), form);
}

TEST_F(PyramidStore, StoredTilesOfTheWrongShapeAreNeverUsedAsTiles)
{
    {
        StoreSession s(Path(), OM_CREATE_ALWAYS);
        Tilvex* t = s.Root();
        ModelTransaction txn;
        TilvexNode* root = NewTilvexNode();
        t->SetRootNode(root);
        xvector<uint8_t> small = JpegOfColour(32, 16, 1, 2, 3);
        root->TakeJpegBytes(small);
        root->CreateChildren();
        xvector<uint8_t> wide = JpegOfColour(256, 257, 1, 2, 3);
        root->GetChild(1, 0)->TakeJpegBytes(wide);
        t->SetHeight(2);
    }
    StoreSession s(Path(), OM_OPEN_EXISTING);
    Tilvex* t = s.Root();
    ModelTransaction txn;
    TilvexNode* root = t->GetDecodedRootNode();
    ASSERT_NE(root, nullptr);
    EXPECT_TRUE(root->HasImage());
    EXPECT_TRUE(root->m_dib.IsEmpty());
    EXPECT_EQ(root->GetDecodeState(), TDS_NO_IMAGE);
    TilvexNode* child = root->GetChild(1, 0);
    EXPECT_TRUE(child->GetDib().IsEmpty());
    EXPECT_EQ(child->GetDecodeState(), TDS_NO_IMAGE);
}

TEST_F(PyramidStore, AReferenceToAnObjectOfAnotherClassIsRefused)
{
    StoreSession s(Path(), OM_CREATE_ALWAYS);
    Tilvex* t = s.Root();
    ModelTransaction txn;
    Tilvex* other = NewTilvex();
    t->m_root = pref(other->AsPersistable());
    EXPECT_THROW(t->GetRootNode(), DeserialisationException);
    t->m_root = pref();
}

} // namespace
} // namespace vorn::test
