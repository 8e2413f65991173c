// The task that paints the bottom tiles of the pyramid from a laid-out montage; the
// painting workers all run the same task object, each taking entries one at a time
// until none is left. A finished tile (one whose overlapping entries have all been
// handled) is JPEG-encoded once, by the encoder's pool when there is one (while the
// workers go on painting), otherwise by the worker that finished it; its parent is
// computed as soon as its last sibling is finished (with an encoder's pool only), and
// once written it is let go so that the collector can evict it. Each entry reserves
// the memory its photo takes from the workers' shared budget (PhotoMemoryBudget) for as
// long as it is loaded, painted and its finished tiles encoded; a photo that cannot be
// loaded or painted for want of memory, would take more than half the memory the
// process has left (LargestPhotoBytes), or claims more pixels than its file can hold,
// is named ("Image P cannot be decoded : ...") and passed over.
//
// Lock order (a lock is only taken while holding locks above it):
//   1. the space lock, through a transaction (ModelTransaction);
//   2. the pending tiles' lock (PendingTiles) or the finished tiles' lock
//      (WrittenTileRelease), never both;
// and taken alone, outside any transaction and with no other lock held: the photo
// memory budget (waited for before an entry, held through it), the entry lock of the
// task, the encode queue's lock (TileEncodeQueue) and the waiting parents' lock
// (BottomParents).
#pragma once
#include "Tilvex/Model/Tilvex.h"
#include "Tilvex/Model/TilePainting.h"
#include "Tilvex/Tilvexgen/BottomParents.h"
#include "Tilvex/Tilvexgen/PendingTiles.h"
#include "Tilvex/Tilvexgen/PhotoMemoryBudget.h"
#include "Tilvex/Tilvexgen/TileEncodeQueue.h"
#include "Tilvex/Tilvexgen/WrittenTileRelease.h"
#include "vnImage/Jpeg.h"
#include "vnUtils/ThreadPool.h"
#include "vnUtils/Threads.h"
#include <exception>
#include <vector>

namespace vorn {

class PSpace;

class IrregularMontageCalcBottomTiles final : public IThreadPoolTask,
                                              private ITilePaintSink,
                                              private IFinishedTileEncoder {
public:
    // width is the pyramid's side in pixels; pending holds every tile an entry
    // overlaps. With encoder, finished tiles are encoded on its threads and the parents
    // of the bottom tiles computed; the caller waits for the encoder's tasks before the
    // task goes.
    IrregularMontageCalcBottomTiles(PSpace* space, Montage& montage, Tilvex* tilvex, int32_t depth, int64_t width,
                                    PendingTiles* pending, ITaskExecuter* encoder);

    // Makes the task's space the thread's current spaces and paints entries until none
    // is left or the build fails.
    void Run() override;

    // Makes the calling thread's blocks of the task (thread_local, with destructors):
    // the start of every thread that paints or encodes, before it takes work that may
    // fail for want of memory.
    static void PrepareThread();

    // The first failure that ends the build (not one of a single image), or null.
    std::exception_ptr GetFailure() const { return m_failure; }
    // The parents of bottom tiles computed while painting.
    int64_t GetParentsComputed() const { return m_parents.GetComputed(); }

private:
    // The first failure is kept; the workers stop at their next entry.
    void Fail(std::exception_ptr failure);
    void OnEncodeFailure(std::exception_ptr failure) override { Fail(failure); }

    // Loads, checks and paints one entry that needs bytes; a failure of this image is
    // reported here.
    void PaintEntry(int32_t i, int32_t n, int64_t bytes);
    // Reports a photo that could not be loaded or painted for want of memory, and lets
    // go of the worker's blocks.
    void PassOverForMemory(const MontageEntry& e, const char* message);
    // Lets go of the worker's blocks that are larger than photos usually need.
    static void TrimWorkerBlocks();
    void PrepareBlankTiles(const MontageEntry& e);
    bool TakeBlankTile(ResDIB& dib) override;
    void OnTilePainted(TilvexNode* node, int32_t col, int32_t row) override;
    void FinishEntry(const MontageEntry& e);
    void EncodeFinishedTile(uint64_t key, TilvexNode* node) override;

    PSpace* m_space;
    Montage& m_montage;
    Tilvex* m_tilvex;
    int64_t m_width;
    PendingTiles* m_pending;
    TileEncodeQueue m_encodeQueue;
    BottomParents m_parents;
    WrittenTileRelease m_written;
    const int64_t m_largestPhotoBytes; // see LargestPhotoBytes
    PhotoMemoryBudget m_budget;
    static thread_local JpegCoder m_coder; // each thread's, for the finished tiles
    static thread_local ResDIB m_photo;    // each worker's, for the photo being painted
    static thread_local xvector<uint8_t> m_photoFile; // each worker's, for the photo's file bytes
    static thread_local std::vector<ResDIB> m_blankTiles; // each worker's, for its new tiles
    CriticalSection m_lock; // the entry lock: guards m_next and m_failure
    int32_t m_next = 0;
    std::exception_ptr m_failure;
};

} // namespace vorn
