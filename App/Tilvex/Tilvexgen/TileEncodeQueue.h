// Finished bottom tiles waiting to be JPEG-encoded on the threads of an encoder's pool
// while the painting workers go on. The queue stays short: while the encoder is behind,
// a worker encodes its own tiles, so that few decoded tiles wait.
#pragma once
#include "Tilvex/Model/TilvexNode.h"
#include "vnUtils/ThreadPool.h"
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <utility>
#include <vector>

namespace vorn {

class ITaskExecuter;
class PSpace;

// Finished tiles waiting for the encoder's pool, beyond which a worker encodes its own.
constexpr size_t kMaxQueuedTiles = 16;

// What the encoder's threads call for each queued tile, with the queue's space as the
// thread's current spaces.
class IFinishedTileEncoder {
public:
    virtual void EncodeFinishedTile(uint64_t key, TilvexNode* node) = 0;
    // A failure of EncodeFinishedTile.
    virtual void OnEncodeFailure(std::exception_ptr failure) = 0;
protected:
    ~IFinishedTileEncoder() = default;
};

class TileEncodeQueue {
public:
    // encoder may be null (nothing is ever queued). The caller waits for the encoder's
    // tasks before the queue goes.
    TileEncodeQueue(PSpace* space, ITaskExecuter* encoder, IFinishedTileEncoder& owner)
        : m_space(space), m_encoder(encoder), m_owner(owner)
    {
    }

    // Hands every tile (key, node) to the encoder's threads, or, without an encoder or
    // with kMaxQueuedTiles waiting already, none: then false, and the caller encodes
    // them itself.
    bool TryQueue(const std::vector<std::pair<uint64_t, TilvexNode*>>& tiles);

private:
    class EncodeTask final : public IThreadPoolTask {
    public:
        explicit EncodeTask(TileEncodeQueue* queue) : m_queue(queue) {}
        void Run() override { m_queue->EncodeNext(); }
    private:
        TileEncodeQueue* m_queue;
    };

    // Encodes the first queued tile, on a thread of the encoder's pool.
    void EncodeNext();

    PSpace* m_space;
    ITaskExecuter* m_encoder;
    IFinishedTileEncoder& m_owner;
    EncodeTask m_task{this};
    // Guards m_tiles. Taken alone: no other lock, and no transaction, is entered while
    // it is held.
    std::mutex m_lock;
    std::deque<std::pair<uint64_t, TilvexNode*>> m_tiles;
};

} // namespace vorn
