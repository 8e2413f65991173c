#include "Tilvex/Viewer/TextureCache.h"
#include "vnWindows/OpenGL.h"
#include <limits>

using vorn::OID;

TextureCache::TextureCache()
{
    m_keys.resize(size_t(m_numSlots));
    m_stamps.resize(size_t(m_numSlots));
    for (int32_t i = 0; i < m_numSlots; ++i) m_stamps[size_t(i)] = -1;
}

int32_t TextureCache::Lookup(OID tile)
{
    for (int32_t i = 0; i < m_numSlots; ++i) {
        if (m_stamps[size_t(i)] >= 0 && m_keys[size_t(i)] == tile) {
            m_stamps[size_t(i)] = m_counter++;
            return i + 1;
        }
    }
    return -1;
}

int32_t TextureCache::Replace(OID tile)
{
    int64_t best = std::numeric_limits<int64_t>::max();
    int32_t slot = 0;
    for (int32_t i = 0; i < m_numSlots; ++i) {
        if (m_stamps[size_t(i)] < best) {
            best = m_stamps[size_t(i)];
            slot = i;
        }
    }
    m_keys[size_t(slot)] = tile;
    m_stamps[size_t(slot)] = m_counter++;
    return slot + 1;
}

bool TextureCache::BindTileTexture(OID tile)
{
    int32_t name = Lookup(tile);
    const bool fresh = name == -1;
    if (fresh) name = Replace(tile);
    vorn::Gl().BindTexture(GL_TEXTURE_2D, GLuint(name));
    return fresh;
}
