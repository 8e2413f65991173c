// Holds a device context for the length of a drawing pass and undoes what was done to
// it: each selection level keeps the three drawing objects that were selected out of
// the context, and detaching puts them back. The window procedure attaches one to the
// context of every paint and detaches it afterwards. On this platform a device context
// is the window's drawable and drawing objects are opaque tokens that need no release.
#pragma once
#include "vnUtils/XVector.h"
#include "vnWindows/WindowSystem.h"
#include <cstdint>

namespace vorn {

// A drawing object (pen, brush, font) as the holder keeps it.
using HGDIOBJ = uintptr_t;

class DeviceContextHolder {
public:
    struct SelectionLevel {
        HGDIOBJ m_objects[3] = {0, 0, 0};
    };

    DeviceContextHolder() = default;
    ~DeviceContextHolder() { Detach(); }
    DeviceContextHolder(const DeviceContextHolder&) = delete;
    DeviceContextHolder& operator=(const DeviceContextHolder&) = delete;

    // Detaches any context held, then holds dc (neither released nor deleted on detach)
    // with one empty selection level when dc is not null.
    void Attach(HDC dc);
    // Puts back the top level's objects and lets the context go; nothing when none is
    // held.
    void Detach();

    HDC GetDC() const { return m_dc; }
    bool ReleasesOnDetach() const { return m_releaseOnDetach; }
    bool DeletesOnDetach() const { return m_deleteOnDetach; }
    int32_t GetNumSelectionLevels() const { return m_levels.size(); }

private:
    HDC m_dc = nullptr;
    bool m_releaseOnDetach = false;
    bool m_deleteOnDetach = false;
    xvector<SelectionLevel> m_levels;
};

} // namespace vorn
