// Background decoding of observed tiles, whoever observes them: queued once, kept alive
// by the pending list through collections until the decode ends, and all finished
// before decoding stops and the space closes.
#include "ViewerTestSupport.h"

namespace vorn::test {
namespace {

using TileDecoding = StoreTest;

TEST_F(TileDecoding, WhateverObservesAStaleTileGetsItsDecodeOnce)
{
    HoldingExecuter held;
    ScopedDecodeExecuter use(&held);
    TileReader reader;
    TilvexNode* stale = nullptr;
    {
        ModelTransaction txn;
        stale = StaleNodeOfColour(0x0000FF);
        AddGcRoot(stale->AsObject());
        TilvexNode* decoded = StaleNodeOfColour(0x00FF00);
        decoded->GetDib();
        TilvexNode* empty = NewTilvexNode();
        reader.m_tiles = {stale, decoded, empty, stale};
        ActivateAgent(reader);
        reader.EvaluateIfNeeded();
        EXPECT_EQ(held.GetNumPendingTasks(), 1); // neither the decoded nor the empty tile
        EXPECT_EQ(stale->GetDecodeState(), TDS_DECODING);
        ASSERT_NE(PendingTaskList::Get(), nullptr);
        EXPECT_TRUE(PendingTaskList::Get()->Contains(stale));
        reader.Invalidate(true);
        reader.EvaluateIfNeeded();
        EXPECT_EQ(held.GetNumPendingTasks(), 1);
        EXPECT_EQ(reader.GetFlags() & DGBaseNode::DG_INVALID, 0u);
    }
    held.Release();
    ModelTransaction txn;
    EXPECT_EQ(stale->GetDecodeState(), TDS_DECODED);
    EXPECT_TRUE(Near(CentreColour(stale->m_dib), 0x0000FF));
    EXPECT_FALSE(PendingTaskList::Get()->Contains(stale));
    EXPECT_NE(reader.GetFlags() & DGBaseNode::DG_INVALID, 0u); // the reader is told
    DeactivateAgent(reader);
    RemoveGcRoot(stale->AsObject());
}

TEST_F(TileDecoding, AQueuedTileThatNothingElseHoldsSurvivesCollectionsUntilItsDecodeEnds)
{
    HoldingExecuter held;
    ScopedDecodeExecuter use(&held);
    TilvexNode* node = nullptr;
    int64_t objects = 0;
    {
        ModelTransaction txn;
        node = StaleNodeOfColour(0xFF0000); // referred to by nothing
        TileReader reader;
        reader.m_tiles = {node};
        ActivateAgent(reader);
        reader.EvaluateIfNeeded();
        DeactivateAgent(reader); // no longer observed: only the pending list holds it
        EXPECT_EQ(node->m_dibIndepNode.GetFlags() & DGBaseNode::DG_OBSERVED, 0u);
        objects = GetThreadCSpace()->GetNumObjects();
    }
    ASSERT_EQ(held.GetNumPendingTasks(), 1);
    SynchronousGc();
    SynchronousGc();
    ASSERT_EQ(GetThreadCSpace()->GetNumObjects(), objects); // (the decode below needs the node)
    EXPECT_TRUE(PendingTaskList::Get()->Contains(node));

    held.Release();
    {
        ModelTransaction txn;
        EXPECT_EQ(node->GetDecodeState(), TDS_DECODED);
        EXPECT_FALSE(PendingTaskList::Get()->Contains(node));
    }
    SynchronousGc();
    SynchronousGc();
    EXPECT_EQ(GetThreadCSpace()->GetNumObjects(), objects - 1); // collected once decoded
}

TEST_F(TileDecoding, StoppingWaitsForEveryQueuedDecodeBeforeTheSpaceCloses)
{
    IThreadPool* pool = CreateThreadPool(1);
    StartTileDecoding(pool->CreateTaskExecuter());
    std::vector<TilvexNode*> nodes;
    {
        ModelTransaction txn;
        TileReader reader;
        for (int i = 0; i < 32; ++i) {
            nodes.push_back(StaleNodeOfColour(0x010101u * uint32_t(i * 8)));
            AddGcRoot(nodes.back()->AsObject());
        }
        reader.m_tiles = nodes;
        ActivateAgent(reader);
        reader.EvaluateIfNeeded(); // 32 decodes queued on one thread
        DeactivateAgent(reader);
    }
    StopTileDecoding();
    EXPECT_EQ(TileDecodeExecuter, nullptr);
    {
        ModelTransaction txn;
        for (TilvexNode* n : nodes) {
            EXPECT_EQ(n->GetDecodeState(), TDS_DECODED);
            EXPECT_TRUE(IsTileBitmap(n->m_dib));
        }
        EXPECT_EQ(PendingTaskList::Get()->Size(), 0u);
        // Nothing is queued any more.
        TilvexNode* later = StaleNodeOfColour(0x808080);
        TileReader reader;
        reader.m_tiles = {later};
        ActivateAgent(reader);
        reader.EvaluateIfNeeded();
        EXPECT_EQ(later->GetDecodeState(), TDS_STALE);
        DeactivateAgent(reader);
    }
    delete pool;
    m_session->Close();
}

} // namespace
} // namespace vorn::test
