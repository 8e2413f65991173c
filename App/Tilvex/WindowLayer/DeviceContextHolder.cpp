#include "Tilvex/WindowLayer/DeviceContextHolder.h"

namespace vorn {

void DeviceContextHolder::Attach(HDC dc)
{
    Detach();
    m_dc = dc;
    m_releaseOnDetach = false;
    m_deleteOnDetach = false;
    if (dc) m_levels.push_back(SelectionLevel());
}

void DeviceContextHolder::Detach()
{
    if (!m_dc) return;
    // The objects selected back replace tokens that own nothing: there is nothing to
    // delete, and the context itself is the window's (never released here).
    if (!m_levels.empty()) m_levels.pop_back();
    m_dc = nullptr;
    m_releaseOnDetach = false;
    m_deleteOnDetach = false;
}

} // namespace vorn
