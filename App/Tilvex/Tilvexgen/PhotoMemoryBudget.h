// The memory that the painting workers take at once for the photos they load and
// paint. Each entry reserves what its photo needs (the decoded bitmap and the new tiles
// it paints into) before it loads the photo, and gives it back when it is done with
// it. Reservations are served in the order they are asked for: one that does not fit
// waits until it does, and one larger than the whole budget waits until nothing else
// is reserved and then runs alone. So photos too large for two at a time take turns,
// and two of them never add their peaks.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace vorn {

// The builder's budget: photos that need more than this together run one at a time.
constexpr int64_t kPhotoMemoryBudget = int64_t(1) << 30;

// The most one photo may take under an address-space limit (bytes, UINT64_MAX for
// none): half of it, the rest being the program's, its store's and the other workers'.
// A photo that needs more is passed over without being tried: trying would take the
// address space up to the limit, and any other thread's allocation could then fail.
// INT64_MAX without a limit.
int64_t LargestPhotoBytes(uint64_t addressSpaceLimit);

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
