#include "Tilvex/Tilvexgen/PhotoMemoryBudget.h"
#include "Tilvex/Model/TileGeometry.h"
#include <cstdint>

namespace vorn {

int64_t PhotoPaintingBytes(int64_t width, int64_t height, int64_t tiles)
{
    const int64_t stride = (3 * width + 3) & ~int64_t(3);
    const int64_t tileBytes = int64_t(kTileSize) * kTileSize * (kTileBitsPerPixel / 8);
    return stride * height + tiles * tileBytes;
}

int64_t LargestPhotoBytes(uint64_t addressSpaceLimit)
{
    return addressSpaceLimit >= uint64_t(INT64_MAX) ? INT64_MAX : int64_t(addressSpaceLimit / 2);
}

void PhotoMemoryBudget::Reserve(int64_t bytes)
{
    std::unique_lock<std::mutex> lock(m_lock);
    const uint64_t ticket = m_nextTicket++;
    ++m_waiting;
    m_changed.wait(lock, [&] {
        return ticket == m_serving && (m_reserved == 0 || m_reserved + bytes <= m_capacity);
    });
    --m_waiting;
    m_reserved += bytes;
    ++m_serving;
    m_changed.notify_all(); // the next turn may fit too
}

void PhotoMemoryBudget::Release(int64_t bytes)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_reserved -= bytes;
    }
    m_changed.notify_all();
}

int64_t PhotoMemoryBudget::GetReserved() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_reserved;
}

int32_t PhotoMemoryBudget::GetWaiting() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_waiting;
}

} // namespace vorn
