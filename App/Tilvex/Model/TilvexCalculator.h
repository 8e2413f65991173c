// vorn::TilvexCalculator fills a pyramid from the top down by asking an image source
// (vorn::IImageTileCalculator) for the JPEG bytes of each tile's region. Pass p
// computes the tiles at depth p, walking from the root through nodes that have
// content only: a tile without content prunes its subtree. Each model change is made
// in a transaction of its own; the source is asked outside any, and the bytes it
// writes are collected privately and swapped into the node inside the transaction, so
// that the background writer never sees a half-filled tile.
//
// The calculator is a collected object of the thread's CSpace (CreateTilvexCalculator
// registers it): the caller keeps it reachable (a root or the object stack) and keeps
// the region alive until Execute returns. SignalAbort may come from any thread and
// stops the run before its next tile.
#pragma once
#include "Tilvex/Model/Tilvex.h"
#include "Tilvex/Model/TilvexInterfaces.h"
#include "vnUtils/PagedDeque.h"
#include "vnUtils/Time.h"
#include <atomic>

namespace vorn {

struct TilvexCalculatorSettings {
    int32_t m_height = 3; // levels of the pyramid to fill, 1..30
};

// Counts are 64-bit: a pyramid of height 30 has more tiles than 32 bits hold.
struct TilvexCalculatorProgress {
    int64_t m_totalTiles = 0;       // (4^height - 1) / 3
    int64_t m_tilesWithContent = 0;
    int64_t m_tilesDone = 0;        // including subtrees skipped under a tile without content
    int64_t m_jpegBytes = 0;
    HPTime m_startTime;
    bool m_finished = false;
};

class TilvexCalculator : public IObjectBaseMixin<TilvexCalculator> {
public:
    TilvexCalculator(Tilvex* img, IImageTileCalculatorPtr calculator, const Rect2d* region, int32_t height);
    ~TilvexCalculator();
    TilvexCalculator(const TilvexCalculator&) = delete;
    TilvexCalculator& operator=(const TilvexCalculator&) = delete;

    static const ReflectedClass* GetClassRecord();

    // IObject (the rest from IObjectBaseMixin): the Tilvex and the nodes on the current
    // path are strong references.
    const ReflectedClass* GetReflectedClass() const { return GetClassRecord(); }
    void VisitObjects(IObjectVisitor& v);

    AnyInterface AsIObject() { return AsObject(); }
    void SignalAbort() { m_abort.store(true); }
    // Runs the passes; when none was aborted, sets the Tilvex's height and finished.
    void Execute();
    // A copy taken under the space lock.
    TilvexCalculatorProgress GetProgress();

private:
    void CalcNode(TilvexNode* parent, int32_t row, int32_t col, int32_t n, const Rect2d& region, bool createChildren);
    bool Aborted() const { return m_abort.load(); }

    std::atomic<bool> m_abort{false};
    PagedDeque<AnyInterface> m_work;
    Tilvex* m_tilvex;
    IImageTileCalculatorPtr m_calculator;
    const Rect2d* m_region;
    int32_t m_height;
    TilvexCalculatorProgress m_progress;
};

// A new calculator for img, registered with the thread's CSpace. Throws
// PyramidHeightException for a settings height outside 1..30 and
// ProgrammingErrorException for a null Tilvex, calculator or region.
TilvexCalculator* CreateTilvexCalculator(Tilvex* img, IImageTileCalculatorPtr imageTileCalculator, const Rect2d* rect,
                                         const TilvexCalculatorSettings& settings);

} // namespace vorn
