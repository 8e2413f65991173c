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
        EXPECT_FALSE(PendingTaskList::Get()->Contains(node));
    }
    SynchronousGc();
    SynchronousGc();
    EXPECT_EQ(GetThreadCSpace()->GetNumObjects(), objects - 1); // collected once decoded
}

TEST_F(TileDecoding, ADecodeKeepsItsPixelsOnlyForATileStillInView)
{
    HoldingExecuter held;
    ScopedDecodeExecuter use(&held);
    TileReader leaving;
    TileReader staying;
    TilvexNode* left = nullptr;
    TilvexNode* back = nullptr;
    {
        ModelTransaction txn;
        left = StaleNodeOfColour(0xFF0000);
        back = StaleNodeOfColour(0x00FF00);
        AddGcRoot(left->AsObject());
        AddGcRoot(back->AsObject());
        leaving.m_tiles = {left, back};
        ActivateAgent(leaving);
        leaving.EvaluateIfNeeded();
        DeactivateAgent(leaving); // both leave the view while their decodes wait
        staying.m_tiles = {back}; // one comes back before its decode ends
        ActivateAgent(staying);
        staying.EvaluateIfNeeded();
    }
    EXPECT_EQ(held.GetNumPendingTasks(), 2);
    held.Release();
    {
        ModelTransaction txn;
        EXPECT_EQ(left->GetDecodeState(), TDS_STALE);
        EXPECT_TRUE(left->m_dib.IsEmpty());
        EXPECT_FALSE(PendingTaskList::Get()->Contains(left));
        EXPECT_EQ(back->GetDecodeState(), TDS_DECODED);
        EXPECT_TRUE(Near(CentreColour(back->m_dib), 0x00FF00));
        // The dropped tile is decoded again when it is observed again.
        TileReader again;
        again.m_tiles = {left};
        ActivateAgent(again);
        again.EvaluateIfNeeded();
        EXPECT_EQ(left->GetDecodeState(), TDS_DECODING);
        EXPECT_EQ(held.GetNumPendingTasks(), 1);
        DeactivateAgent(again);
        DeactivateAgent(staying);
    }
    held.Release();
    ModelTransaction txn;
    RemoveGcRoot(left->AsObject());
    RemoveGcRoot(back->AsObject());
}

// A queued tile is decoded by the coder of the thread that runs the decode, which keeps
// its library decompressor from tile to tile: the decode makes no coder of its own.
TEST_F(TileDecoding, AQueuedTileIsDecodedByTheRunningThreadsCoder)
{
    HoldingExecuter held;
    ScopedDecodeExecuter use(&held);
    const JpegCoder& coder = GetThreadJpegCoder();
    TileReader reader;
    {
        ModelTransaction txn;
        StaleNodeOfColour(0x102030)->GetDib(); // this thread's coder has its decompressor
        for (uint32_t colour : {0xFF0000u, 0x00FF00u, 0x0000FFu}) {
            TilvexNode* node = StaleNodeOfColour(colour);
            AddGcRoot(node->AsObject());
            reader.m_tiles.push_back(node);
        }
        ActivateAgent(reader);
        reader.EvaluateIfNeeded();
    }
    const int64_t decodes = coder.GetDecodeCount();
    const int64_t decompressors = coder.GetDecompressorsCreated();
    ASSERT_EQ(held.GetNumPendingTasks(), 3);
    held.Release(); // the decodes run here, on this thread
    EXPECT_EQ(coder.GetDecodeCount(), decodes + 3);
    EXPECT_EQ(coder.GetDecompressorsCreated(), decompressors);
    ModelTransaction txn;
    for (TilvexNode* node : reader.m_tiles) {
        EXPECT_EQ(node->GetDecodeState(), TDS_DECODED);
        RemoveGcRoot(node->AsObject());
    }
    DeactivateAgent(reader);
}

TEST_F(TileDecoding, StoppingWaitsForEveryQueuedDecodeBeforeTheSpaceCloses)
{
    IThreadPool* pool = CreateThreadPool(1);
    StartTileDecoding(pool->CreateTaskExecuter());
    std::vector<TilvexNode*> nodes;
    TileReader viewing;
    {
        ModelTransaction txn;
        for (int i = 0; i < 32; ++i) {
            nodes.push_back(StaleNodeOfColour(0x010101u * uint32_t(i * 8)));
            AddGcRoot(nodes.back()->AsObject());
        }
        viewing.m_tiles = nodes;
        ActivateAgent(viewing);
        viewing.EvaluateIfNeeded(); // 32 decodes queued on one thread
    }
    StopTileDecoding();
    EXPECT_EQ(TileDecodeExecuter, nullptr);
    {
        ModelTransaction txn;
        for (TilvexNode* n : nodes) {
            EXPECT_EQ(n->GetDecodeState(), TDS_DECODED);
            EXPECT_TRUE(IsTileBitmap(n->m_dib));
        }
        DeactivateAgent(viewing);
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
