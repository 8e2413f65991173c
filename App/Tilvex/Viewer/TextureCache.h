// The viewer's tile textures: 256 slots whose OpenGL texture names are 1..256, keyed
// by the tile node's OID, with a least-recently-used choice of the slot a new tile
// takes. A stamp is the use counter at the slot's last use (-1: empty); the counter is
// 64-bit and never wraps in practice. Used only on the thread that paints.
#pragma once
#include "vnPersistStore/Oid.h"
#include "vnUtils/XVector.h"
#include <cstdint>

class TextureCache {
public:
    static constexpr int32_t kNumSlots = 256;

    TextureCache();

    // The texture name of the slot holding tile, which becomes the most recent use; -1
    // when no slot holds it.
    int32_t Lookup(vorn::OID tile);
    // Gives the least recently used slot (empty ones first, lowest index on ties) to
    // tile; returns its texture name.
    int32_t Replace(vorn::OID tile);
    // Binds tile's texture (GL_TEXTURE_2D) with the context current; true when the
    // slot was newly assigned and the caller must upload the tile's pixels now.
    bool BindTileTexture(vorn::OID tile);

    int64_t GetUseCounter() const { return m_counter; }
    void SetUseCounterForTest(int64_t v) { m_counter = v; }

private:
    int32_t m_numSlots = kNumSlots;
    vorn::xvector<vorn::OID> m_keys;
    vorn::xvector<int64_t> m_stamps;
    int64_t m_counter = 0;
};
