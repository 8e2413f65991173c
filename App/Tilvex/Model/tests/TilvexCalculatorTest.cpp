// The tile calculator over a small region: which tiles it asks for, the pruning under
// tiles without content, progress, abort, and that the background writer only ever
// sees whole tiles (the source is asked outside any transaction; under
// ThreadSanitizer the writer runs concurrently).
#include "ModelTestSupport.h"
#include "Tilvex/Model/TilvexCalculator.h"
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace vorn::test {
namespace {

// An image source whose content is the rectangle m_content (y upwards) of the region.
struct TestSource {
    ObjSysState m_sys{};
    Rect2d m_content;
    xvector<uint8_t> m_tile = JpegOfColour(kTileSize, kTileSize, 40, 80, 120);
    std::vector<Rect2d> m_asked;
    Tilvex* m_tilvex = nullptr;
    TilvexCalculator* m_calculator = nullptr;
    size_t m_abortAt = SIZE_MAX;
    size_t m_failAt = SIZE_MAX;
    int32_t m_halfFilled = 0;

    AnyInterface QueryInterface(const ReflectedInterface&) { return AnyInterface{nullptr, nullptr}; }
    AnyInterface BindInterface(const ReflectedInterface& ri) { return QueryInterface(ri); }
    const ReflectedClass* GetReflectedClass() const { return nullptr; }
    void VisitObjects(IObjectVisitor&) {}
    void OnGarbageCollect() {}
    void DestroyObject() {}
    ObjSysState& GetSysState() { return m_sys; }

    // Serialises every node of the tree, as the background writer does, and counts
    // the tiles that are not whole (an image without bytes, or bytes without one).
    void SerialiseTree(TilvexNode* node)
    {
        if (node == nullptr) return;
        if (node->HasImage() == node->m_jpeg.m_bytes.empty()) ++m_halfFilled;
        Serialised([&](Archive& ar) { node->Serialise(ar); });
        for (pref& c : node->m_children) SerialiseTree(TilvexNode::FromPersistable(c.Get()));
    }

    // While the calculator goes on with the bytes just written, another thread keeps
    // serialising the tree in transactions of its own for a few milliseconds.
    void StartWriterLikeReader()
    {
        JoinReader();
        PSpace* space = GetThreadPSpace();
        m_reader = std::thread([this, space] {
            RestoreThreadPSpace p(space);
            RestoreThreadCSpace c(space->GetCSpace());
            const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(3);
            while (std::chrono::steady_clock::now() < end) {
                ModelTransaction txn;
                SerialiseTree(m_tilvex->GetRootNode());
            }
        });
    }
    void JoinReader()
    {
        if (m_reader.joinable()) m_reader.join();
    }

    bool Write(const Rect2d& rect, Archive& ar)
    {
        m_asked.push_back(rect);
        if (m_asked.size() == m_abortAt) m_calculator->SignalAbort();
        if (m_asked.size() == m_failAt) throw FileException(uint32_t(EIO), xstring("source"));
        StartWriterLikeReader();
        if (!rect.Intersects(m_content)) return false;
        ar.WriteBytes(m_tile.data(), m_tile.size());
        return true;
    }
    std::thread m_reader;
};

const IImageTileCalculatorTable kSourceTable = {
    MakeIObjectTable<TestSource>(),
    [](void* s, const Rect2d& rect, Archive& ar) { return static_cast<TestSource*>(s)->Write(rect, ar); },
};

class Calculator : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = FreshFolder();
        m_session = std::make_unique<StoreSession>((m_dir / "calc.tvx").string(), OM_CREATE_ALWAYS);
        m_tilvex = m_session->Root();
        m_source.m_tilvex = m_tilvex;
    }
    void TearDown() override
    {
        m_source.JoinReader();
        m_session.reset();
        std::filesystem::remove_all(m_dir);
    }
    TilvexCalculator* Create(int32_t height)
    {
        ModelTransaction txn;
        TilvexCalculator* c =
            CreateTilvexCalculator(m_tilvex, IImageTileCalculatorPtr{&m_source, &kSourceTable}, &m_region,
                                   TilvexCalculatorSettings{height});
        AddGcRoot(c->AsIObject());
        m_source.m_calculator = c;
        return c;
    }
    void Drop(TilvexCalculator* c)
    {
        ModelTransaction txn;
        RemoveGcRoot(c->AsIObject());
    }

    std::filesystem::path m_dir;
    std::unique_ptr<StoreSession> m_session;
    Tilvex* m_tilvex = nullptr;
    TestSource m_source;
    Rect2d m_region{0.0, 0.0, 1.0, 1.0};
};

TEST_F(Calculator, HeightThreeWithContentInTheTopLeftQuarterOnly)
{
    m_source.m_content = Rect2d(0.0, 0.5, 0.5, 1.0); // y grows upwards: the top-left quarter
    TilvexCalculator* calc = Create(3);
    calc->Execute();
    m_source.JoinReader();
    const TilvexCalculatorProgress p = calc->GetProgress();
    EXPECT_TRUE(p.m_finished);
    EXPECT_EQ(p.m_totalTiles, 21);
    EXPECT_EQ(p.m_tilesDone, 21);
    EXPECT_EQ(p.m_tilesWithContent, 1 + 1 + 4);
    EXPECT_EQ(p.m_jpegBytes, 6 * int64_t(m_source.m_tile.size()));
    EXPECT_TRUE(p.m_startTime.IsSet());
    EXPECT_EQ(m_source.m_halfFilled, 0);

    // One root, four children, then only the four grandchildren of the top-left child.
    ASSERT_EQ(m_source.m_asked.size(), 1u + 4u + 4u);
    EXPECT_EQ(m_source.m_asked[0], m_region);
    EXPECT_EQ(m_source.m_asked[1], Rect2d(0.0, 0.5, 0.5, 1.0));
    EXPECT_EQ(m_source.m_asked[4], Rect2d(0.5, 0.0, 1.0, 0.5));
    EXPECT_EQ(m_source.m_asked[5], Rect2d(0.0, 0.75, 0.25, 1.0));
    EXPECT_EQ(m_source.m_asked[8], Rect2d(0.25, 0.5, 0.5, 0.75));
    Drop(calc);

    ModelTransaction txn;
    EXPECT_EQ(m_tilvex->GetHeight(), 3);
    TilvexNode* root = m_tilvex->GetDecodedRootNode();
    ASSERT_NE(root, nullptr);
    EXPECT_TRUE(Near(CentreColour(root->m_dib), 0x785028));
    TilvexNode* topLeft = root->GetChild(0, 0);
    EXPECT_TRUE(topLeft->HasImage());
    EXPECT_EQ(topLeft->GetDecodeState(), TDS_STALE);
    EXPECT_TRUE(topLeft->GetChild(1, 1)->HasImage());
    EXPECT_FALSE(topLeft->GetChild(1, 1)->HasChildren()); // the last level gets no children
    TilvexNode* topRight = root->GetChild(1, 0);
    EXPECT_FALSE(topRight->HasImage());
    EXPECT_FALSE(topRight->HasChildren());
}

TEST_F(Calculator, HeightOneFillsTheRootAlone)
{
    m_source.m_content = m_region;
    TilvexCalculator* calc = Create(1);
    calc->Execute();
    EXPECT_EQ(calc->GetProgress().m_tilesDone, 1);
    EXPECT_EQ(calc->GetProgress().m_totalTiles, 1);
    Drop(calc);
    ModelTransaction txn;
    TilvexNode* root = m_tilvex->GetRootNode();
    ASSERT_NE(root, nullptr);
    EXPECT_TRUE(root->HasImage());
    EXPECT_FALSE(root->HasChildren());
    EXPECT_EQ(m_tilvex->GetHeight(), 1);
}

TEST_F(Calculator, AbortDuringTheLastPassStopsBeforeTheNextTileAndFinishesNothing)
{
    m_source.m_content = m_region;
    m_source.m_abortAt = 1 + 4 + 2; // the second tile of the pass at depth 2
    TilvexCalculator* calc = Create(3);
    calc->Execute();
    EXPECT_EQ(m_source.m_asked.size(), 7u);
    const TilvexCalculatorProgress p = calc->GetProgress();
    EXPECT_FALSE(p.m_finished);
    EXPECT_EQ(p.m_tilesDone, 7);
    Drop(calc);
    ModelTransaction txn;
    EXPECT_EQ(m_tilvex->GetHeight(), 0);
}

// A source that fails in the middle of the last pass, with two nodes on the path: the
// calculator is left as it was, and the next Execute counts every tile once.
TEST_F(Calculator, AFailingSourceLeavesTheCalculatorAsItWas)
{
    m_source.m_content = m_region;
    m_source.m_failAt = 1 + 4 + 2;
    TilvexCalculator* calc = Create(3);
    EXPECT_THROW(calc->Execute(), FileException);
    m_source.JoinReader();
    const TilvexCalculatorProgress failed = calc->GetProgress();
    EXPECT_EQ(failed.m_tilesDone, 0);
    EXPECT_EQ(failed.m_tilesWithContent, 0);
    EXPECT_EQ(failed.m_totalTiles, 0);
    EXPECT_FALSE(failed.m_finished);
    // Nothing of the failed path is left on the work deque: the calculator holds only
    // its Tilvex.
    struct Counter final : IObjectVisitor {
        int32_t strong = 0;
        void VisitStrong(AnyInterface) override { ++strong; }
        void VisitWeak(AnyInterface&) override {}
    } held;
    {
        ModelTransaction txn;
        calc->VisitObjects(held);
    }
    EXPECT_EQ(held.strong, 1);

    m_source.m_failAt = SIZE_MAX;
    calc->Execute();
    const TilvexCalculatorProgress p = calc->GetProgress();
    EXPECT_TRUE(p.m_finished);
    EXPECT_EQ(p.m_tilesDone, 21);
    EXPECT_EQ(p.m_totalTiles, 21);
    Drop(calc);
}

TEST_F(Calculator, ReachedThroughReflectionByName)
{
    const ReflectedGlobalFunction* create = FindReflectedGlobalFunction(SubString8("vorn::CreateTilvexCalculator"));
    ASSERT_NE(create, nullptr);
    ASSERT_EQ(create->GetNumArgs(), 4);
    m_source.m_content = Rect2d();
    Tilvex* img = m_tilvex;
    IImageTileCalculatorPtr source{&m_source, &kSourceTable};
    const Rect2d* region = &m_region;
    TilvexCalculatorSettings settings{2};
    void* args[] = {&img, &source, &region, &settings};
    TilvexCalculator* calc = nullptr;
    {
        ModelTransaction txn;
        create->m_address(&calc, args);
        ASSERT_NE(calc, nullptr);
        AddGcRoot(calc->AsIObject());
    }
    m_source.m_calculator = calc;
    calc->Execute();
    // No content at the root prunes the whole tree below it.
    EXPECT_EQ(calc->GetProgress().m_tilesDone, 5);
    EXPECT_EQ(calc->GetProgress().m_tilesWithContent, 0);
    EXPECT_EQ(m_source.m_asked.size(), 1u);
    Drop(calc);
}

} // namespace
} // namespace vorn::test
