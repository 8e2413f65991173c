#include "Tilvex/Model/TilePainting.h"
#include "Tilvex/Model/ModelTransaction.h"
#include "Tilvex/Model/PyramidComputation.h"
#include "Tilvex/Model/TileGeometry.h"
#include "Tilvex/Model/Tilvex.h"
#include "vnPersistStore/PersistExceptions.h"
#include "vnUtils/Trace.h"

namespace vorn {

namespace {

void Paint(TilvexNode* node, const ResDIB& src, const Rect2i& R, const Rect2i& U, const Point2i& origin,
           ITilePaintSink* sink)
{
    if (int64_t(R.x2) - R.x1 > kTileSize) {
        for (int32_t row = 0; row < 2; ++row) {
            for (int32_t col = 0; col < 2; ++col) {
                const Rect2i Q = Quadrant(R, col, row);
                const Rect2i C = Q.Intersection(U);
                if (C.IsEmpty()) continue;
                TilvexNode* child = node->GetChild(col, row);
                if (!child) {
                    child = NewTilvexNode();
                    node->SetChild(col, row, child);
                }
                Paint(child, src, Q, C, origin, sink);
            }
        }
        return;
    }

    // A tile painted before and not yet encoded holds its pixels only in m_dib; an
    // encoded one is decoded; a new one starts black.
    if (node->m_dib.IsEmpty()) node->GetDib();
    if (node->m_dib.IsEmpty() && !(sink && sink->TakeBlankTile(node->m_dib)))
        node->m_dib.Create(kTileBitsPerPixel, kTileSize, kTileSize);
    node->m_decodeState = TDS_DECODED;
    ResDIB::CopyRect24(Point2i(U.x1 - R.x1, U.y1 - R.y1), node->m_dib, src, U);
    node->RecordDibRead();
    if (sink) {
        sink->OnTilePainted(node, (R.x1 - origin.x) / kTileSize, (R.y1 - origin.y) / kTileSize);
        return;
    }
    node->MarkDirty(); // first: a failure to mark leaves the tile's bytes as they were
    EncodeJpegImage(node->m_dib, node->m_jpeg);
}

} // namespace

// ---- the model's painting methods

void TilvexNode::SetImage(const ResDIB& srcImg, const Rect2i& bdRect, const Rect2i& updateRect, ITilePaintSink* sink)
{
    Paint(this, srcImg, bdRect, updateRect, Point2i(bdRect.x1, bdRect.y1), sink);
}

void Tilvex::SetImage(const ResDIB& srcImg, const Rect2i& bdRect, const Rect2i& updateRect)
{
    TilvexNode* root = GetRootNode();
    if (!root) {
        root = NewTilvexNode();
        SetRootNode(root);
    }
    root->SetImage(srcImg, bdRect, updateRect);
}

void Tilvex::SetImage2(const ResDIB& srcImg)
{
    const int32_t d = TilvexDepthForSize(srcImg.GetWidth(), srcImg.GetHeight());
    {
        TraceStream t;
        t << "h = " << d << "\n";
    }
    CreateFullTree(d);
    const int64_t W = NodeSideInPixels(d, 1);
    {
        TraceStream t;
        t << "w = " << static_cast<long long>(W) << "\n";
    }
    if (W > INT32_MAX) ThrowVornException("The image is too large for 32-bit tile coordinates");
    ModelTransaction txn;
    TilvexNode* root = GetRootNode();
    if (!root) throw DerefNullPrefException();
    root->SetImage(srcImg, Rect2i(0, 0, int32_t(W), int32_t(W)), Rect2i(0, 0, srcImg.GetWidth(), srcImg.GetHeight()));
}

} // namespace vorn
