#include "Tilvex/Tilvexgen/TileKey.h"
#include "Tilvex/Model/TilvexNode.h"

namespace vorn {

TilvexNode* NodeAtTileKey(TilvexNode* node, uint64_t key, int32_t bits)
{
    const int64_t col = TileKeyCol(key), row = TileKeyRow(key);
    for (int32_t bit = bits - 1; node && bit >= 0; --bit)
        node = node->GetChild(int32_t((col >> bit) & 1), int32_t((row >> bit) & 1));
    return node;
}

} // namespace vorn
