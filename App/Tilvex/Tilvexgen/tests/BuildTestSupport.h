// Shared pieces of the build tests: running the builder's main routine on a directory
// of generated photos, reading a store's pyramid back through the object store, and an
// independent reference pyramid made with the JPEG library alone.
#pragma once
#include "Tilvex/Model/ModelTransaction.h"
#include "Tilvex/Model/Tilvex.h"
#include "Tilvex/Tilvexgen/Entry.h"
#include "vnImage/tests/ImageTestUtil.h"
#include "vnObject/CSpace.h"
#include "vnPersistStore/PSpace.h"
#include "vnPersistStore/PersistStore.h"
#include "vnPersistStore/PersistStoreTxn.h"
#include "vnPersistStore/SpaceOperations.h"
#include <gtest/gtest.h>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace vorn::test {

// A tile of a pyramid: level (1 is the root), column, row.
using TileKey = std::tuple<int, int64_t, int64_t>;
using TileMap = std::map<TileKey, std::vector<uint8_t>>;

struct RunResult {
    int rc = 0;
    std::string out;
};

// Runs the main routine as the program programPath with the one argument dirArg, no
// key ever coming.
inline RunResult RunBuilder(const std::string& programPath, const std::string& dirArg)
{
    EXPECT_NE(std::freopen("/dev/null", "r", stdin), nullptr);
    const char* argv[] = {programPath.c_str(), dirArg.c_str(), nullptr};
    testing::internal::CaptureStdout();
    RunResult r;
    r.rc = TilvexgenMain(2, argv);
    std::fflush(stdout);
    r.out = testing::internal::GetCapturedStdout();
    return r;
}

// What a store holds: the height, whether root "R" is a Tilvex, and every node's tile
// bytes (empty for a node without an image).
struct StoredPyramid {
    bool hasRoot = false;
    int32_t height = 0;
    int32_t numSpaces = 0;
    TileMap tiles;
};

inline void CollectNodes(TilvexNode* node, int level, int64_t col, int64_t row, TileMap& out)
{
    out[TileKey(level, col, row)] = node->HasImage() ? std::vector<uint8_t>(node->m_jpeg.m_bytes.begin(),
                                                                             node->m_jpeg.m_bytes.end())
                                                     : std::vector<uint8_t>();
    for (int32_t r = 0; r < 2; ++r)
        for (int32_t c = 0; c < 2; ++c)
            if (TilvexNode* child = node->GetChild(c, r)) CollectNodes(child, level + 1, 2 * col + c, 2 * row + r, out);
}

inline StoredPyramid ReadStore(const std::string& path)
{
    StoredPyramid p;
    PersistStoreSettings settings;
    PersistStore* store = OpenPersistStore(path.c_str(), OM_OPEN_EXISTING, &settings);
    p.numSpaces = store->GetNumPSpaces();
    PSpace* space = OpenPSpace(store, "P", nullptr);
    {
        RestoreThreadPSpace sp(space);
        RestoreThreadCSpace sc(space->GetCSpace());
        ModelTransaction txn;
        IPersistablePtr r = GetPSpaceRoot("R");
        Tilvex* t = r.IsNull() ? nullptr : Tilvex::FromPersistable(r);
        if (t) {
            p.hasRoot = true;
            p.height = t->GetHeight();
            if (TilvexNode* root = t->GetRootNode()) CollectNodes(root, 1, 0, 0, p.tiles);
        }
    }
    store->ClosePSpace(space);
    store->Close();
    return p;
}

// A photo placed in the montage at (x, y), with its file's bytes.
struct PlacedPhoto {
    int x = 0, y = 0, width = 0, height = 0;
    std::vector<uint8_t> jpeg;
};

// Samples that JPEG coding does not smooth away: a gradient with a pattern.
inline std::vector<uint8_t> PhotoSamples(int width, int height, int seed)
{
    std::vector<uint8_t> v(size_t(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = v.data() + (size_t(y) * width + x) * 3;
            p[0] = uint8_t(x * 7 + seed * 40);
            p[1] = uint8_t((x ^ y) * 3 + seed);
            p[2] = uint8_t(y * 5 + ((x / 9) % 2) * 90);
        }
    return v;
}

// The pyramid the builder must write for these photos, computed independently: the
// photos painted onto a black square, cut into 256 x 256 tiles where a photo overlaps,
// each JPEG-encoded with the library's defaults; every level above from its children's
// decoded tiles by the truncated average of 2 x 2 blocks, a missing child's quadrant
// black.
inline TileMap ReferencePyramid(const std::vector<PlacedPhoto>& photos, int height)
{
    const int64_t tilesPerSide = int64_t(1) << (height - 1);
    const int64_t side = 256 * tilesPerSide;
    std::vector<uint8_t> canvas(size_t(side * side * 3), 0);
    for (const PlacedPhoto& ph : photos) {
        const Decoded d = LibraryDecode(ph.jpeg.data(), ph.jpeg.size());
        for (int y = 0; y < d.height; ++y)
            std::memcpy(&canvas[size_t(((ph.y + y) * side + ph.x) * 3)], d.At(0, y), size_t(d.width) * 3);
    }
    TileMap tiles;
    for (int64_t row = 0; row < tilesPerSide; ++row) {
        for (int64_t col = 0; col < tilesPerSide; ++col) {
            bool covered = false;
            for (const PlacedPhoto& ph : photos)
                covered |= ph.x < 256 * (col + 1) && 256 * col < ph.x + ph.width && ph.y < 256 * (row + 1) &&
                           256 * row < ph.y + ph.height;
            if (!covered) continue;
            std::vector<uint8_t> tile(256 * 256 * 3);
            for (int y = 0; y < 256; ++y)
                std::memcpy(&tile[size_t(y) * 256 * 3], &canvas[size_t(((256 * row + y) * side + 256 * col) * 3)],
                            256 * 3);
            tiles[TileKey(height, col, row)] = LibraryJpeg(256, 256, 3, JCS_RGB, tile, 75);
        }
    }
    for (int level = height - 1; level >= 1; --level) {
        const int64_t n = int64_t(1) << (level - 1);
        for (int64_t row = 0; row < n; ++row) {
            for (int64_t col = 0; col < n; ++col) {
                std::vector<uint8_t> tile(256 * 256 * 3, 0);
                bool any = false;
                for (int dr = 0; dr < 2; ++dr) {
                    for (int dc = 0; dc < 2; ++dc) {
                        auto it = tiles.find(TileKey(level + 1, 2 * col + dc, 2 * row + dr));
                        if (it == tiles.end()) continue;
                        any = true;
                        const Decoded c = LibraryDecode(it->second.data(), it->second.size());
                        for (int y = 0; y < 128; ++y)
                            for (int x = 0; x < 128; ++x)
                                for (int k = 0; k < 3; ++k) {
                                    const unsigned s = c.At(2 * x, 2 * y)[k] + c.At(2 * x + 1, 2 * y)[k] +
                                                       c.At(2 * x, 2 * y + 1)[k] + c.At(2 * x + 1, 2 * y + 1)[k];
                                    tile[(size_t(128 * dr + y) * 256 + 128 * dc + x) * 3 + k] = uint8_t(s / 4);
                                }
                    }
                }
                if (any) tiles[TileKey(level, col, row)] = LibraryJpeg(256, 256, 3, JCS_RGB, tile, 75);
            }
        }
    }
    return tiles;
}

} // namespace vorn::test
