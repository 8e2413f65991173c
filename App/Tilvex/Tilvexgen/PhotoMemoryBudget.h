// The memory that the painting workers take at once for the photos they load and
// paint. Each entry reserves what its photo needs (the decoded bitmap and the new tiles
// it paints into) before it loads the photo, and gives it back when it is done with
// it. Reservations are served in the order they are asked for: one that does not fit
// waits until it does, and one larger than the whole budget waits until nothing else
// is reserved and then runs alone. So photos too large for two at a time take turns,
// and two of them never add their peaks.
#pragma once
#include "vnPlatform/Memory.h"
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace vorn {

// The builder's budget: photos that need more than this together run one at a time.
constexpr int64_t kPhotoMemoryBudget = int64_t(1) << 30;

// What the process may really have, and what it takes already: its address-space and
// data limits (UINT64_MAX for none), the machine's memory (0 when unknown) and its
// footprint.
struct MemorySituation {
    uint64_t addressSpaceLimit = UINT64_MAX;
    uint64_t dataLimit = UINT64_MAX;
    uint64_t physical = 0;
    ProcessFootprint used;
};
// The process's, now.
MemorySituation CurrentMemorySituation();

// The memory the photos may take in all: the least of what each limit leaves beside
// the process's own footprint (the address-space limit less the address space in use,
// the data limit less the data in use, the machine's memory less the resident memory).
// UINT64_MAX when nothing is known.
uint64_t MemoryLeftForPhotos(const MemorySituation& m);

// The most one photo may take out of the memory left for photos: half of it, the rest
// being for the store, the other workers and whatever else grows while the photo is
// painted. A photo that needs more is passed over without being tried: trying would
// take the memory up to the limit, and any other thread's allocation could then fail.
// INT64_MAX without any limit.
int64_t LargestPhotoBytes(uint64_t memoryLeft);

// The workers' budget for a largest photo: kPhotoMemoryBudget, but never more than that
// photo may take, so that two photos together never exceed it either.
int64_t PhotoBudgetCapacity(int64_t largestPhotoBytes);

// A JPEG file holds at least one bit for every 8 x 8 block of its full-resolution
// component (Huffman coding), 512 pixels per byte; a header that claims many times
// more pixels than its file can hold is refused before anything is decoded, however
// much memory there is.
constexpr int64_t kMaxPixelsPerFileByte = 4096;
// Whether a photo file of fileBytes bytes can hold width x height pixels.
bool PhotoFileCanHold(int64_t fileBytes, int64_t width, int64_t height);

// What the painting of a width x height photo at 24 bits into tiles tiles (of 256 x 256
// at 24 bits) takes: the decoded bitmap's rows and the tiles' pixels.
int64_t PhotoPaintingBytes(int64_t width, int64_t height, int64_t tiles);

class PhotoMemoryBudget {
public:
    explicit PhotoMemoryBudget(int64_t capacity) : m_capacity(capacity) {}
    PhotoMemoryBudget(const PhotoMemoryBudget&) = delete;
    PhotoMemoryBudget& operator=(const PhotoMemoryBudget&) = delete;

    // Waits for its turn and for bytes to fit, as above, then reserves them. The caller
    // holds no lock that a holder of a reservation may wait for.
    void Reserve(int64_t bytes);
    // Gives back bytes that Reserve took.
    void Release(int64_t bytes);

    int64_t GetReserved() const;
    // How many callers wait in Reserve.
    int32_t GetWaiting() const;

private:
    const int64_t m_capacity;
    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    int64_t m_reserved = 0;
    uint64_t m_nextTicket = 0; // the turn the next caller of Reserve takes
    uint64_t m_serving = 0;    // the turn that may reserve now
    int32_t m_waiting = 0;
};

// A reservation held for a scope.
class PhotoMemoryReservation {
public:
    PhotoMemoryReservation(PhotoMemoryBudget& budget, int64_t bytes) : m_budget(budget), m_bytes(bytes)
    {
        m_budget.Reserve(m_bytes);
    }
    ~PhotoMemoryReservation() { m_budget.Release(m_bytes); }
    PhotoMemoryReservation(const PhotoMemoryReservation&) = delete;
    PhotoMemoryReservation& operator=(const PhotoMemoryReservation&) = delete;

private:
    PhotoMemoryBudget& m_budget;
    const int64_t m_bytes;
};

} // namespace vorn
