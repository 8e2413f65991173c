#include "Tilvex/Tilvexgen/BottomTiles.h"
#include "Tilvex/Model/ModelTransaction.h"
#include "Tilvex/Model/TileGeometry.h"
#include "Tilvex/Tilvexgen/PhotoFile.h"
#include "Tilvex/Tilvexgen/ShownName.h"
#include "Tilvex/Tilvexgen/TileKey.h"
#include "vnObject/CSpace.h"
#include "vnPersistStore/PSpace.h"
#include "vnPlatform/Memory.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/Time.h"
#include "vnUtils/Trace.h"
#include <algorithm>
#include <new>
#include <string>
#include <utility>

namespace vorn {

namespace {

// A worker keeps its photo's blocks for the next photo up to these sizes (a photo of
// 40 megapixels, 256 spare tiles); larger ones are let go once their entry is done, so
// that they are not held outside the entry's reservation.
constexpr int64_t kKeptPhotoBytes = int64_t(128) << 20;
constexpr size_t kKeptBlankTiles = 256;

} // namespace

thread_local JpegCoder IrregularMontageCalcBottomTiles::m_coder;
thread_local ResDIB IrregularMontageCalcBottomTiles::m_photo;
thread_local xvector<uint8_t> IrregularMontageCalcBottomTiles::m_photoFile;
thread_local std::vector<ResDIB> IrregularMontageCalcBottomTiles::m_blankTiles;

IrregularMontageCalcBottomTiles::IrregularMontageCalcBottomTiles(PSpace* space, Montage& montage, Tilvex* tilvex,
                                                                 int32_t depth, int64_t width, PendingTiles* pending,
                                                                 ITaskExecuter* encoder)
    : m_space(space), m_montage(montage), m_tilvex(tilvex), m_width(width), m_pending(pending),
      m_encodeQueue(space, encoder, *this), m_parents(tilvex, depth, encoder != nullptr, *pending),
      m_written(tilvex, depth), m_largestPhotoBytes(LargestPhotoBytes(MemoryLeftForPhotos(CurrentMemorySituation()))),
      m_budget(PhotoBudgetCapacity(m_largestPhotoBytes))
{
}

void IrregularMontageCalcBottomTiles::PrepareThread()
{
    // Taking their addresses makes them (and registers their destructors).
    const void* volatile made;
    made = &m_coder;
    made = &m_photo;
    made = &m_photoFile;
    made = &m_blankTiles;
    (void)made;
}

void IrregularMontageCalcBottomTiles::Run()
{
    PrepareThread();
    SetThreadPSpace(m_space);
    SetThreadCSpace(m_space ? m_space->GetCSpace() : nullptr);
    const int32_t n = m_montage.entries.size();
    for (;;) {
        int32_t i;
        {
            CriticalSectionLock lock(m_lock);
            i = m_next;
            m_next = i + 1;
        }
        if (i >= n) return;
        try {
            const MontageEntry& e = m_montage.entries[i];
            const TileRange r = TilesOf(e, m_montage);
            const int64_t tiles = IsEmptyEntry(e) ? 0 : (r.col2 - r.col1 + 1) * (r.row2 - r.row1 + 1);
            const int64_t bytes = PhotoPaintingBytes(int64_t(e.x2) - e.x1, int64_t(e.y2) - e.y1, tiles);
            // A photo passed over untried takes nothing.
            PhotoMemoryReservation reservation(m_budget, bytes > m_largestPhotoBytes ? 0 : bytes);
            PaintEntry(i, n, bytes);
            FinishEntry(e);
            m_written.ReleaseWritten();
            TrimWorkerBlocks();
        } catch (...) {
            // Not a failure of one image: the build ends. The other worker stops at
            // its next entry.
            Fail(std::current_exception());
            return;
        }
    }
}

void IrregularMontageCalcBottomTiles::Fail(std::exception_ptr failure)
{
    CriticalSectionLock lock(m_lock);
    if (!m_failure) m_failure = failure;
    m_next = int32_t(m_montage.entries.size());
}

void IrregularMontageCalcBottomTiles::PaintEntry(int32_t i, int32_t n, int64_t bytes)
{
    const MontageEntry& e = m_montage.entries[i];
    {
        TraceStream t;
        t << (i + 1) << " of " << n << " " << ShownName(e.path.Range()) << " (" << e.x1 << "," << e.y1 << "," << e.x2 << ","
          << e.y2 << ")\n";
    }
    if (bytes > m_largestPhotoBytes) {
        const std::string message = "Insufficient memory to paint the image: it takes " +
                                    std::to_string(bytes >> 20) +
                                    " MiB, more than half the memory this process has left";
        PassOverForMemory(e, message.c_str());
        return;
    }
    // Each worker decodes into one bitmap, whose block grows to the largest photo
    // and is then reused.
    ResDIB& bitmap = m_photo;
    try {
        // The file first: a header that claims more pixels than the file can hold is
        // refused before anything is made for them.
        ReadPhotoFile(e.path, m_photoFile);
        if (!PhotoFileCanHold(m_photoFile.size(), int64_t(e.x2) - e.x1, int64_t(e.y2) - e.y1)) {
            const std::string message = "its file of " + std::to_string(m_photoFile.size()) + " bytes claims " +
                                        std::to_string(int64_t(e.x2) - e.x1) + " x " +
                                        std::to_string(int64_t(e.y2) - e.y1) +
                                        " pixels, far more than such a file can hold";
            PassOverForMemory(e, message.c_str());
            return;
        }
        // Then the new tiles: a photo too large for them is passed over before its
        // decode.
        PrepareBlankTiles(e);
        {
            ScopedTimer timer;
            timer.SetStopOnDestruction(true);
            timer.Label() << "Loaded image";
            xstring name(e.path);
            bitmap.ReadJpeg(m_photoFile.data(), size_t(m_photoFile.size()), name.c_str());
        }
        const int bpp = bitmap.GetBitsPerPixel();
        if (bpp != kTileBitsPerPixel) {
            TraceStream t;
            t << "Image mismatch : file = " << ShownName(e.path.Range()) << " bpp = " << bpp << "\n";
            return;
        }
        const int32_t w = bitmap.GetWidth();
        const int32_t h = bitmap.GetHeight();
        if (w != e.x2 - e.x1 || h != e.y2 - e.y1) {
            TraceStream t;
            t << "Image mismatch : file = " << ShownName(e.path.Range()) << " size = (" << w << "," << h << ")"
              << " expected size = " << "(" << (e.x2 - e.x1) << "," << (e.y2 - e.y1) << ")" << "\n";
            return;
        }
        const int32_t bx = int32_t(int64_t(m_montage.x1) - e.x1);
        const int32_t by = int32_t(int64_t(m_montage.y1) - e.y1);
        const Rect2i bdRect(bx, by, int32_t(bx + m_width), int32_t(by + m_width));
        const Rect2i updateRect(0, 0, w, h);
        ScopedTimer timer;
        timer.SetStopOnDestruction(true);
        timer.Label() << "Set image";
        ModelTransaction txn;
        TilvexNode* root = m_tilvex->GetRootNode();
        if (!root) {
            root = NewTilvexNode();
            m_tilvex->SetRootNode(root);
        }
        root->SetImage(bitmap, bdRect, updateRect, this);
    } catch (const JpegException& x) {
        if (x.IsOutOfMemory()) {
            PassOverForMemory(e, x.GetMessage());
            return;
        }
        TraceStream t;
        t << "Error : " << ShownName(x.GetMessage()) << "\n";
    } catch (const IException& x) {
        TraceStream t;
        t << "Error : " << ShownName(x.Describe().Range()) << "\n";
    } catch (const std::bad_alloc&) {
        PassOverForMemory(e, "Insufficient memory to paint the image");
    }
}

void IrregularMontageCalcBottomTiles::PassOverForMemory(const MontageEntry& e, const char* message)
{
    m_photo.Clear();
    m_photoFile = xvector<uint8_t>();
    std::vector<ResDIB>().swap(m_blankTiles);
    TraceStream t;
    t << "Image " << ShownName(e.path.Range()) << " cannot be decoded : " << message << "\n";
}

void IrregularMontageCalcBottomTiles::TrimWorkerBlocks()
{
    if (!m_photo.IsEmpty() && int64_t(m_photo.GetHeader()->biSizeImage) > kKeptPhotoBytes) m_photo.Clear();
    if (int64_t(m_photoFile.capacity()) > kKeptPhotoBytes) m_photoFile = xvector<uint8_t>();
    if (m_blankTiles.size() > kKeptBlankTiles) {
        m_blankTiles.resize(kKeptBlankTiles);
        m_blankTiles.shrink_to_fit();
    }
}

// Makes (outside the transaction, where the pages of a new block fault in without
// holding up the other worker) a black bitmap for every tile of the entry that no
// image has painted yet. Spares stay for the next entry.
void IrregularMontageCalcBottomTiles::PrepareBlankTiles(const MontageEntry& e)
{
    const size_t needed = m_pending->CountUnpainted(TilesOf(e, m_montage));
    while (m_blankTiles.size() < needed) {
        m_blankTiles.emplace_back();
        m_blankTiles.back().Create(kTileBitsPerPixel, kTileSize, kTileSize);
    }
}

// Inside the painting transaction.
bool IrregularMontageCalcBottomTiles::TakeBlankTile(ResDIB& dib)
{
    if (m_blankTiles.empty()) return false;
    dib.swap(m_blankTiles.back());
    m_blankTiles.pop_back();
    return true;
}

// Inside the painting transaction.
void IrregularMontageCalcBottomTiles::OnTilePainted(TilvexNode* node, int32_t col, int32_t row)
{
    m_pending->SetPainted(TileKey(col, row), node);
}

// The entry is done with, painted or not: every tile that waited only for it is
// encoded (outside the transaction: no other entry touches it any more, and the
// pending map keeps it in memory) and handed its bytes.
void IrregularMontageCalcBottomTiles::FinishEntry(const MontageEntry& e)
{
    if (IsEmptyEntry(e)) return;
    std::vector<std::pair<uint64_t, TilvexNode*>> done;
    std::vector<uint64_t> unpainted;
    {
        ModelTransaction txn;
        m_pending->EntryHandled(TilesOf(e, m_montage), done, unpainted);
    }
    for (uint64_t key : unpainted) m_parents.ChildFinished(key, nullptr);
    if (m_encodeQueue.TryQueue(done)) return;
    for (auto& [key, node] : done) EncodeFinishedTile(key, node);
}

void IrregularMontageCalcBottomTiles::EncodeFinishedTile(uint64_t key, TilvexNode* node)
{
    JpegImage jpeg;
    m_coder.Encode(node->m_dib, jpeg);
    xvector<uint8_t> copy;
    if (m_parents.Enabled()) copy = jpeg.m_bytes;
    {
        ModelTransaction txn;
        node->TakeJpegBytes(jpeg.m_bytes);
        m_pending->Remove(key);
        m_written.Add(key);
    }
    m_parents.ChildFinished(key, &copy);
}

} // namespace vorn
