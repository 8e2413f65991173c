#include "Tilvex/Model/TilvexCalculator.h"
#include "Tilvex/Model/ModelTransaction.h"
#include "Tilvex/Model/TileGeometry.h"
#include "vnObject/CSpace.h"
#include "vnUtils/PagedBuffer.h"
#include "vnUtils/Streams.h"
#include <cstring>

namespace vorn {

TilvexCalculator::TilvexCalculator(Tilvex* img, IImageTileCalculatorPtr calculator, const Rect2d* region, int32_t height)
    : m_tilvex(img), m_calculator(calculator), m_region(region), m_height(height)
{
}

TilvexCalculator::~TilvexCalculator() { m_work.Clear(); }

void TilvexCalculator::VisitObjects(IObjectVisitor& v)
{
    if (m_tilvex) v.VisitStrong(m_tilvex->AsObject());
    for (int32_t i = 0; i < m_work.Size(); ++i) v.VisitStrong(m_work.At(i));
}

TilvexCalculatorProgress TilvexCalculator::GetProgress()
{
    CSpace* space = LoadOwner(m_sys);
    if (space == nullptr) return m_progress;
    CSpaceLock lock(space);
    return m_progress;
}

void TilvexCalculator::Execute()
{
    // A failure leaves the calculator as it was: its progress, and no node of the path
    // left on the work deque.
    TilvexCalculatorProgress before;
    int32_t depth;
    {
        ModelTransaction txn;
        before = m_progress;
        depth = m_work.Size();
        m_progress.m_startTime = GetHPTime();
        m_progress.m_totalTiles = TotalTilesOfPyramid(m_height);
    }
    try {
        for (int32_t p = 0; p < m_height; ++p) {
            CalcNode(nullptr, 0, 0, p, *m_region, p < m_height - 1);
            if (Aborted()) return;
        }
        ModelTransaction txn;
        m_progress.m_finished = true;
        m_tilvex->SetHeight(m_height);
    } catch (...) {
        ModelTransaction txn;
        while (m_work.Size() > depth) m_work.PopBack();
        m_progress = before;
        throw;
    }
}

void TilvexCalculator::CalcNode(TilvexNode* parent, int32_t row, int32_t col, int32_t n, const Rect2d& region,
                                bool createChildren)
{
    if (Aborted()) return;
    if (n > 0) {
        TilvexNode* node = nullptr;
        {
            ModelTransaction txn;
            node = parent ? parent->GetChild(col, row) : m_tilvex->GetDecodedRootNode();
            if (node == nullptr || !node->HasImage()) {
                m_progress.m_tilesDone += NodesAtDepth(n);
                return;
            }
            m_work.PushBack(node->AsObject());
        }
        for (int32_t r = 0; r < 2; ++r)
            for (int32_t c = 0; c < 2; ++c) CalcNode(node, r, c, n - 1, UpwardQuadrant(region, c, r), createChildren);
        ModelTransaction txn;
        m_work.PopBack();
        return;
    }

    TilvexNode* node = nullptr;
    {
        ModelTransaction txn;
        if (parent) {
            node = parent->GetChild(col, row);
            if (node == nullptr) {
                node = NewTilvexNode();
                parent->SetChild(col, row, node);
            }
        } else {
            node = NewTilvexNode();
            m_tilvex->SetRootNode(node);
        }
        m_work.PushBack(node->AsObject());
    }
    // The source writes into a private buffer, outside any transaction.
    PagedBuffer buffer;
    PagedBufferToOutputStreamAdapter stream(&buffer);
    bool content = false;
    {
        Archive ar(&stream);
        content = m_calculator.m_table->WriteJpegImage(m_calculator.m_object, region, ar);
        ar.Flush();
    }
    xvector<uint8_t> bytes;
    if (content) buffer.CopyTo(bytes);
    buffer.Clear();

    ModelTransaction txn;
    m_progress.m_tilesDone += 1;
    if (content) {
        const int64_t count = bytes.size();
        node->TakeJpegBytes(bytes);
        m_progress.m_jpegBytes += count;
        m_progress.m_tilesWithContent += 1;
        if (createChildren) node->CreateChildren();
    } else {
        node->ClearImage();
    }
    m_work.PopBack();
}

TilvexCalculator* CreateTilvexCalculator(Tilvex* img, IImageTileCalculatorPtr imageTileCalculator, const Rect2d* rect,
                                         const TilvexCalculatorSettings& settings)
{
    CheckPyramidHeight(settings.m_height);
    if (img == nullptr || imageTileCalculator.IsNull() || rect == nullptr)
        throw ProgrammingErrorException(xstring("a tile calculator needs a Tilvex, an image source and a region"));
    CSpace* space = GetThreadCSpace();
    if (space == nullptr) throw ProgrammingErrorException(xstring("a tile calculator needs a thread space"));
    auto* calc = new TilvexCalculator(img, imageTileCalculator, rect, settings.m_height);
    space->RegisterGcObject(calc->AsIObject());
    return calc;
}

} // namespace vorn
