#include "Tilvex/Tilvexgen/PhotoMemoryBudget.h"
#include "Tilvex/Model/TileGeometry.h"
#include <algorithm>
#include <cstdint>

namespace vorn {

int64_t PhotoPaintingBytes(int64_t width, int64_t height, int64_t tiles)
{
    const int64_t stride = (3 * width + 3) & ~int64_t(3);
    const int64_t tileBytes = int64_t(kTileSize) * kTileSize * (kTileBitsPerPixel / 8);
    return stride * height + tiles * tileBytes;
}

MemorySituation CurrentMemorySituation()
{
    MemorySituation m;
    m.addressSpaceLimit = AddressSpaceLimit();
    m.dataLimit = DataLimit();
    m.physical = PhysicalMemoryBytes();
    m.used = GetProcessFootprint();
    return m;
}

uint64_t MemoryLeftForPhotos(const MemorySituation& m)
{
    auto left = [](uint64_t limit, uint64_t used) { return limit > used ? limit - used : 0; };
    uint64_t r = UINT64_MAX;
    if (m.addressSpaceLimit != UINT64_MAX) r = std::min(r, left(m.addressSpaceLimit, m.used.addressSpace));
    if (m.dataLimit != UINT64_MAX) r = std::min(r, left(m.dataLimit, m.used.data));
    if (m.physical != 0) r = std::min(r, left(m.physical, m.used.resident));
    return r;
}

int64_t LargestPhotoBytes(uint64_t memoryLeft)
{
    return memoryLeft >= uint64_t(INT64_MAX) ? INT64_MAX : int64_t(memoryLeft / 2);
}

int64_t PhotoBudgetCapacity(int64_t largestPhotoBytes) { return std::min(kPhotoMemoryBudget, largestPhotoBytes); }

bool PhotoFileCanHold(int64_t fileBytes, int64_t width, int64_t height)
{
    if (width <= 0 || height <= 0) return true;
    const int64_t maxPixels = fileBytes > INT64_MAX / kMaxPixelsPerFileByte ? INT64_MAX : fileBytes * kMaxPixelsPerFileByte;
    return height <= maxPixels / width;
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
