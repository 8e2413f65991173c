#include "Tilvex/Tilvexgen/MontagePyramid.h"
#include "Tilvex/Model/ModelTransaction.h"
#include "Tilvex/Model/PyramidComputation.h"
#include "Tilvex/Model/TileGeometry.h"
#include "Tilvex/Model/TilePainting.h"
#include "vnObject/CSpace.h"
#include "vnObject/CSpaceStack.h"
#include "vnPersistStore/PSpace.h"
#include "vnReflection/CoreModule.h"
#include "vnPlatform/StdFile.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/ThreadPool.h"
#include "vnUtils/Time.h"
#include "vnUtils/Trace.h"
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace vorn {

namespace {

constexpr int32_t kBottomThreads = 2;
// Finished tiles waiting for the encoder's pool, beyond which a worker encodes its own.
constexpr size_t kMaxQueuedTiles = 16;

// The bottom tiles still waiting for images, by position: how many entries that
// overlap each have not been handled yet, and the node once painted. A collected
// object of the space: the painted nodes it holds are strong references, so a tile
// keeps its decoded pixels until it is finished. Changed inside transactions.
class PendingTiles {
public:
    struct Tile {
        int32_t remaining = 0;
        AnyInterface node{nullptr, nullptr};
    };

    AnyInterface QueryInterface(const ReflectedInterface& ri)
    {
        if (&ri == &GetIObjectInterfaceRecord()) return AsObject();
        return AnyInterface{nullptr, nullptr};
    }
    AnyInterface BindInterface(const ReflectedInterface& ri) { return QueryInterface(ri); }
    const ReflectedClass* GetReflectedClass() const { return nullptr; }
    void VisitObjects(IObjectVisitor& v)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (auto& [key, tile] : m_tiles)
            if (tile.node.m_object) v.VisitStrong(tile.node);
    }
    void OnGarbageCollect() {}
    void Destroy() { delete this; }
    ObjSysState& GetSysState() { return m_sys; }
    AnyInterface AsObject() { return AnyInterface{this, &kIObjectTableOf<PendingTiles>}; }

    static uint64_t Key(int64_t col, int64_t row) { return (uint64_t(col) << 32) | uint32_t(row); }

    ObjSysState m_sys{};
    std::mutex m_lock; // guards the map against the collector's visit
    std::unordered_map<uint64_t, Tile> m_tiles;
};

// The bottom tiles an entry overlaps, in tiles of the pyramid.
struct TileRange {
    int64_t col1, row1, col2, row2; // inclusive
};

TileRange TilesOf(const MontageEntry& e, const Montage& m)
{
    return TileRange{(int64_t(e.x1) - m.x1) / kTileSize, (int64_t(e.y1) - m.y1) / kTileSize,
                     (int64_t(e.x2) - 1 - m.x1) / kTileSize, (int64_t(e.y2) - 1 - m.y1) / kTileSize};
}

bool IsEmptyEntry(const MontageEntry& e) { return !(e.x1 < e.x2 && e.y1 < e.y2); }

// Reads the whole photo file at path into bytes. The file is opened without waiting
// (a photo that has become a FIFO since the scan would hold the build up for good) and
// only when it is a regular file.
void ReadPhotoFile(const xstring& path, xvector<uint8_t>& bytes)
{
    xstring z(path);
    int error = 0;
    FILE* f = FOpenRegularFileForReading(z.c_str(), &error);
    if (!f) {
        if (error < 0) ThrowVornExceptionF(FileErrorCategory(), 2, "%s is not a regular file", z.c_str());
        throw FileException(uint32_t(error), path);
    }
    constexpr size_t kChunk = 1 << 20;
    size_t total = 0;
    for (;;) {
        bytes.resize(int32_t(total + kChunk));
        const size_t n = std::fread(bytes.data() + total, 1, kChunk, f);
        total += n;
        if (n < kChunk || total > size_t(INT32_MAX) - kChunk) break;
    }
    bytes.resize(int32_t(total));
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) throw FileException(uint32_t(EIO), path);
}

// The task both workers run: each takes entries one at a time until none is left. A
// finished tile is encoded by the encoder's pool when there is one (while the workers
// go on painting), otherwise by the worker that finished it.
class IrregularMontageCalcBottomTiles final : public IThreadPoolTask, private ITilePaintSink {
public:
    IrregularMontageCalcBottomTiles(PSpace* space, Montage& montage, Tilvex* tilvex, int32_t depth,
                                    int64_t width, PendingTiles* pending, ITaskExecuter* encoder)
        : m_space(space), m_montage(montage), m_tilvex(tilvex), m_depth(depth), m_width(width), m_pending(pending),
          m_encoder(encoder)
    {
        // With an encoder's pool, the parents of the bottom tiles are computed as soon
        // as their last child is finished.
        m_computeParents = m_encoder && m_depth >= 2;
        if (m_computeParents)
            for (const auto& [key, tile] : m_pending->m_tiles) ++m_parents[ParentKey(key)].remaining;
    }

    void Run() override
    {
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
                PaintEntry(i, n);
                FinishEntry(m_montage.entries[i]);
                ReleaseWrittenTiles();
            } catch (...) {
                // Not a failure of one image: the build ends. The other worker stops at
                // its next entry.
                Fail(std::current_exception());
                return;
            }
        }
    }

    std::exception_ptr GetFailure() const { return m_failure; }
    // The parents of bottom tiles computed while painting.
    int64_t GetParentsComputed() const { return m_parentsComputed; }

private:
    // A parent of bottom tiles waiting for its children: how many are not finished yet,
    // and copies of the finished ones' bytes (index col + 2 row).
    struct ParentWork {
        int32_t remaining = 0;
        bool has[4] = {};
        xvector<uint8_t> children[4];
    };

    static uint64_t ParentKey(uint64_t key)
    {
        return PendingTiles::Key(int64_t(key >> 32) / 2, int64_t(uint32_t(key)) / 2);
    }

    // Encodes one queued finished tile on a thread of the encoder's pool.
    class EncodeTask final : public IThreadPoolTask {
    public:
        explicit EncodeTask(IrregularMontageCalcBottomTiles* owner) : m_owner(owner) {}
        void Run() override { m_owner->EncodeQueuedTile(); }
    private:
        IrregularMontageCalcBottomTiles* m_owner;
    };

    // The first failure is kept; the workers stop at their next entry.
    void Fail(std::exception_ptr failure)
    {
        CriticalSectionLock lock(m_lock);
        if (!m_failure) m_failure = failure;
        m_next = int32_t(m_montage.entries.size());
    }

    void EncodeQueuedTile()
    {
        std::pair<uint64_t, TilvexNode*> tile;
        {
            std::lock_guard<std::mutex> lock(m_encodeLock);
            tile = m_toEncode.front();
            m_toEncode.pop_front();
        }
        PSpace* const savedP = GetThreadPSpace();
        CSpace* const savedC = GetThreadCSpace();
        SetThreadPSpace(m_space);
        SetThreadCSpace(m_space ? m_space->GetCSpace() : nullptr);
        try {
            EncodeFinishedTile(tile.first, tile.second);
        } catch (...) {
            Fail(std::current_exception());
        }
        SetThreadPSpace(savedP);
        SetThreadCSpace(savedC);
    }

    // Loads, checks and paints one entry; a failure of this image is reported here.
    void PaintEntry(int32_t i, int32_t n)
    {
        const MontageEntry& e = m_montage.entries[i];
        {
            TraceStream t;
            t << (i + 1) << " of " << n << " " << e.path << " (" << e.x1 << "," << e.y1 << "," << e.x2 << ","
              << e.y2 << ")\n";
        }
        // Each worker decodes into one bitmap, whose block grows to the largest photo
        // and is then reused.
        ResDIB& bitmap = m_photo;
        try {
            {
                ScopedTimer timer;
                timer.SetStopOnDestruction(true);
                timer.Label() << "Loaded image";
                ReadPhotoFile(e.path, m_photoFile);
                xstring name(e.path);
                bitmap.ReadJpeg(m_photoFile.data(), size_t(m_photoFile.size()), name.c_str());
            }
            const int bpp = bitmap.GetBitsPerPixel();
            if (bpp != kTileBitsPerPixel) {
                TraceStream t;
                t << "Image mismatch : file = " << e.path << " bpp = " << bpp << "\n";
                return;
            }
            const int32_t w = bitmap.GetWidth();
            const int32_t h = bitmap.GetHeight();
            if (w != e.x2 - e.x1 || h != e.y2 - e.y1) {
                TraceStream t;
                t << "Image mismatch : file = " << e.path << " size = (" << w << "," << h << ")"
                  << " expected size = " << "(" << (e.x2 - e.x1) << "," << (e.y2 - e.y1) << ")" << "\n";
                return;
            }
            const int32_t bx = int32_t(int64_t(m_montage.x1) - e.x1);
            const int32_t by = int32_t(int64_t(m_montage.y1) - e.y1);
            const Rect2i bdRect(bx, by, int32_t(bx + m_width), int32_t(by + m_width));
            const Rect2i updateRect(0, 0, w, h);
            PrepareBlankTiles(e);
            ScopedTimer timer;
            timer.SetStopOnDestruction(true);
            timer.Label() << "Set image";
            ModelTransaction txn;
            TilvexNode* root = m_tilvex->GetRootNode();
            if (!root) {
                root = NewTilvexNode();
                m_tilvex->SetRootNode(root);
            }
            PaintTilvexNode(root, bitmap, bdRect, updateRect, this);
        } catch (const JpegException& x) {
            TraceStream t;
            t << "Error : " << x.GetMessage() << "\n";
        } catch (const IException& x) {
            TraceStream t;
            t << "Error : " << x.Describe() << "\n";
        }
    }

    // Makes (outside the transaction, where the pages of a new block fault in without
    // holding up the other worker) a black bitmap for every tile of the entry that no
    // image has painted yet. Spares stay for the next entry.
    void PrepareBlankTiles(const MontageEntry& e)
    {
        size_t needed = 0;
        const TileRange r = TilesOf(e, m_montage);
        {
            std::lock_guard<std::mutex> lock(m_pending->m_lock);
            for (int64_t row = r.row1; row <= r.row2; ++row)
                for (int64_t col = r.col1; col <= r.col2; ++col) {
                    auto it = m_pending->m_tiles.find(PendingTiles::Key(col, row));
                    if (it != m_pending->m_tiles.end() && !it->second.node.m_object) ++needed;
                }
        }
        while (m_blankTiles.size() < needed) {
            m_blankTiles.emplace_back();
            m_blankTiles.back().Create(kTileBitsPerPixel, kTileSize, kTileSize);
        }
    }

    // Inside the painting transaction.
    bool TakeBlankTile(ResDIB& dib) override
    {
        if (m_blankTiles.empty()) return false;
        dib.swap(m_blankTiles.back());
        m_blankTiles.pop_back();
        return true;
    }

    // Inside the painting transaction.
    void OnTilePainted(TilvexNode* node, int32_t col, int32_t row) override
    {
        std::lock_guard<std::mutex> lock(m_pending->m_lock);
        auto it = m_pending->m_tiles.find(PendingTiles::Key(col, row));
        if (it == m_pending->m_tiles.end())
            throw ProgrammingErrorException(xstring("a painted tile was not expected"));
        it->second.node = node->AsObject();
    }

    // The entry is done with, painted or not: every tile that waited only for it is
    // encoded (outside the transaction: no other entry touches it any more, and the
    // pending map keeps it in memory) and handed its bytes.
    void FinishEntry(const MontageEntry& e)
    {
        if (IsEmptyEntry(e)) return;
        std::vector<std::pair<uint64_t, TilvexNode*>> done;
        std::vector<uint64_t> unpainted;
        const TileRange r = TilesOf(e, m_montage);
        {
            ModelTransaction txn;
            std::lock_guard<std::mutex> lock(m_pending->m_lock);
            for (int64_t row = r.row1; row <= r.row2; ++row) {
                for (int64_t col = r.col1; col <= r.col2; ++col) {
                    const uint64_t key = PendingTiles::Key(col, row);
                    auto it = m_pending->m_tiles.find(key);
                    if (--it->second.remaining > 0) continue;
                    if (it->second.node.m_object) {
                        done.emplace_back(key, static_cast<TilvexNode*>(it->second.node.m_object));
                    } else {
                        m_pending->m_tiles.erase(it);
                        unpainted.push_back(key);
                    }
                }
            }
        }
        for (uint64_t key : unpainted) ChildFinished(key, nullptr);
        // While the encoder is behind, the worker encodes its tiles itself, so that the
        // decoded tiles waiting for it stay few.
        bool queue = m_encoder != nullptr;
        if (queue) {
            std::lock_guard<std::mutex> lock(m_encodeLock);
            queue = m_toEncode.size() < kMaxQueuedTiles;
            if (queue) m_toEncode.insert(m_toEncode.end(), done.begin(), done.end());
        }
        if (!queue) {
            for (auto& [key, node] : done) EncodeFinishedTile(key, node);
            return;
        }
        for (size_t i = 0; i < done.size(); ++i) m_encoder->AddTask(&m_encodeTask);
    }

    void EncodeFinishedTile(uint64_t key, TilvexNode* node)
    {
        JpegImage jpeg;
        m_coder.Encode(node->m_dib, jpeg);
        xvector<uint8_t> copy;
        if (m_computeParents) copy = jpeg.m_bytes;
        {
            ModelTransaction txn;
            node->TakeJpegBytes(jpeg.m_bytes);
            {
                std::lock_guard<std::mutex> lock(m_pending->m_lock);
                m_pending->m_tiles.erase(key);
            }
            std::lock_guard<std::mutex> lock(m_finishedLock);
            m_finished.push_back(key);
        }
        ChildFinished(key, &copy);
    }

    // The bottom tile at key is finished, with its bytes (taken) or without an image
    // (null). The last child of a parent computes the parent's tile, as the level
    // computation would, and hands it to the parent; the level computation leaves it.
    void ChildFinished(uint64_t key, xvector<uint8_t>* bytes)
    {
        if (!m_computeParents) return;
        const uint64_t parentKey = ParentKey(key);
        ParentWork work;
        {
            std::lock_guard<std::mutex> lock(m_parentLock);
            auto it = m_parents.find(parentKey);
            if (it == m_parents.end()) return;
            const int32_t i = int32_t((key >> 32) & 1) + 2 * int32_t(key & 1);
            if (bytes) {
                it->second.has[i] = true;
                it->second.children[i].swap(*bytes);
            }
            if (--it->second.remaining > 0) return;
            work = std::move(it->second);
            m_parents.erase(it);
        }
        const uint8_t* children[4];
        size_t lengths[4];
        for (int32_t i = 0; i < 4; ++i) {
            children[i] = work.has[i] ? work.children[i].data() : nullptr;
            lengths[i] = size_t(work.children[i].size());
        }
        JpegImage result;
        ComputeParentImage(children, lengths, result);
        ModelTransaction txn;
        TilvexNode* parent = NodeAt(m_tilvex->GetRootNode(), parentKey, m_depth - 2);
        if (!parent) return;
        parent->TakeJpegBytes(result.m_bytes);
        ++m_parentsComputed;
    }

    // The node at key, bits levels below node, reached through nodes that stay in
    // memory while the tiles are painted; null when there is none.
    static TilvexNode* NodeAt(TilvexNode* node, uint64_t key, int32_t bits)
    {
        const int64_t col = int64_t(key >> 32), row = int64_t(uint32_t(key));
        for (int32_t bit = bits - 1; node && bit >= 0; --bit)
            node = node->GetChild(int32_t((col >> bit) & 1), int32_t((row >> bit) & 1));
        return node;
    }

    // The parent's reference to the bottom tile at key.
    pref* ParentReferenceOf(TilvexNode* root, uint64_t key) const
    {
        TilvexNode* parent = NodeAt(root, ParentKey(key), m_depth - 2);
        if (!parent) return nullptr;
        return &parent->m_children[int32_t((key >> 32) & 1) + 2 * int32_t(key & 1)];
    }

    // Finished bottom tiles that the writer has written since are released from their
    // parents, so that the collector can evict them: the painted tiles do not pile up
    // in memory however many photos there are. The level computation loads them again.
    void ReleaseWrittenTiles()
    {
        if (m_depth < 2) return;
        ModelTransaction txn;
        std::lock_guard<std::mutex> lock(m_finishedLock);
        TilvexNode* root = m_tilvex->GetRootNode();
        std::erase_if(m_finished, [&](uint64_t key) {
            pref* ref = ParentReferenceOf(root, key);
            return !ref || ReleaseWrittenChild(*ref);
        });
    }

    PSpace* m_space;
    Montage& m_montage;
    Tilvex* m_tilvex;
    int32_t m_depth;
    int64_t m_width;
    PendingTiles* m_pending;
    ITaskExecuter* m_encoder;
    EncodeTask m_encodeTask{this};
    std::mutex m_encodeLock;
    std::deque<std::pair<uint64_t, TilvexNode*>> m_toEncode; // finished tiles for the encoder
    bool m_computeParents = false;
    std::mutex m_parentLock;
    std::unordered_map<uint64_t, ParentWork> m_parents; // filled before the workers start
    std::atomic<int64_t> m_parentsComputed{0};
    static thread_local JpegCoder m_coder; // each thread's, for the finished tiles
    static thread_local ResDIB m_photo;    // each worker's, for the photo being painted
    static thread_local xvector<uint8_t> m_photoFile; // each worker's, for the photo's file bytes
    static thread_local std::vector<ResDIB> m_blankTiles; // each worker's, for its new tiles
    std::mutex m_finishedLock;
    std::vector<uint64_t> m_finished; // finished bottom tiles still held by their parents
    CriticalSection m_lock;
    int32_t m_next = 0;
    std::exception_ptr m_failure;
};

thread_local JpegCoder IrregularMontageCalcBottomTiles::m_coder;
thread_local ResDIB IrregularMontageCalcBottomTiles::m_photo;
thread_local xvector<uint8_t> IrregularMontageCalcBottomTiles::m_photoFile;
thread_local std::vector<ResDIB> IrregularMontageCalcBottomTiles::m_blankTiles;

} // namespace

void ComputeMontageBoundingBox(Montage& montage)
{
    int32_t x1 = INT32_MAX, y1 = INT32_MAX, x2 = INT32_MIN, y2 = INT32_MIN;
    for (const MontageEntry& e : montage.entries) {
        if (e.x1 < x1) x1 = e.x1;
        if (e.y1 < y1) y1 = e.y1;
        if (e.x2 > x2) x2 = e.x2;
        if (e.y2 > y2) y2 = e.y2;
    }
    montage.x1 = x1;
    montage.y1 = y1;
    montage.x2 = x2;
    montage.y2 = y2;
}

int32_t ComputeTilvexDepth(const Montage& montage)
{
    // Modulo 2^32, as the box of an empty montage gives 1 x 1.
    const int64_t w = int64_t(uint32_t(montage.x2) - uint32_t(montage.x1));
    const int64_t h = int64_t(uint32_t(montage.y2) - uint32_t(montage.y1));
    {
        TraceStream t;
        t << "Width = " << static_cast<long long>(w) << "  Height = " << static_cast<long long>(h) << "  Area = ";
        WriteWithSiPrefix(double(w) * double(h), t);
        t << " pixels\n";
    }
    if (w > kMaxMontageSide || h > kMaxMontageSide) {
        ThrowVornExceptionF(GeneralErrorCategory(), 1,
                            "The montage is %lld x %lld pixels; a side may be at most %lld pixels",
                            static_cast<long long>(w), static_cast<long long>(h),
                            static_cast<long long>(kMaxMontageSide));
    }
    return TilvexDepthForSize(w, h);
}

int64_t CalcBottomTiles(int32_t d, Montage& montage, Tilvex* tilvex, IThreadPool* encodePool)
{
    const int64_t W = NodeSideInPixels(d, 1);
    {
        TraceStream t;
        t << "Width = " << static_cast<long long>(W) << "\n";
    }
    {
        TraceStream t;
        t << "Processing " << montage.entries.size() << " images\n";
    }

    // The pending tiles: a collected object of the space, kept on an object-stack frame
    // for the phase.
    CSpace* space = GetThreadCSpace();
    OpenCSpaceStack();
    CSpaceStackGuard frame;
    auto* pending = new PendingTiles();
    for (const MontageEntry& e : montage.entries) {
        if (IsEmptyEntry(e)) continue;
        const TileRange r = TilesOf(e, montage);
        for (int64_t row = r.row1; row <= r.row2; ++row)
            for (int64_t col = r.col1; col <= r.col2; ++col) ++pending->m_tiles[PendingTiles::Key(col, row)].remaining;
    }
    {
        CSpaceLock lock(space);
        space->RegisterGcObject(pending->AsObject());
        CSpaceStack_Push(pending->AsObject());
    }

    // The encoder's tasks use the painting task: only the painting workers queue them,
    // and the wait below ends them before the painting task goes.
    std::unique_ptr<ITaskExecuter> encoder(encodePool ? encodePool->CreateTaskExecuter() : nullptr);
    IrregularMontageCalcBottomTiles task(GetThreadPSpace(), montage, tilvex, d, W, pending, encoder.get());
    {
        std::unique_ptr<IThreadPool> pool(CreateThreadPool(kBottomThreads));
        std::unique_ptr<ITaskExecuter> executer(pool->CreateTaskExecuter());
        for (int32_t i = 0; i < kBottomThreads; ++i) executer->AddTask(&task);
        executer.reset();
    }
    if (encoder) encoder->WaitForAllTasks();
    if (task.GetFailure()) std::rethrow_exception(task.GetFailure());
    return task.GetParentsComputed();
}

bool CalcTilvexFromMontage(Montage& montage, Tilvex* tilvex)
{
    {
        TraceStream t;
        t << "Calculating Tilvex from an irregular montage of images\n";
    }
    ComputeMontageBoundingBox(montage);
    const int32_t d = ComputeTilvexDepth(montage);
    {
        TraceStream t;
        t << "Depth = " << d << "\n";
    }
    {
        ModelTransaction txn;
        tilvex->SetHeight(d);
    }
    // The level computation's pool also encodes the finished bottom tiles while the
    // two painting workers go on.
    std::unique_ptr<IThreadPool> pool(CreateThreadPool(kIntermediateThreads));
    const int64_t parents = CalcBottomTiles(d, montage, tilvex, pool.get());
    CalcIntermediateTiles(tilvex, pool.get(), parents);
    {
        ModelTransaction txn;
        tilvex->SetHeight(d);
    }
    return true;
}

} // namespace vorn
