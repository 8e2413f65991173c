// A store as the builder leaves it, damaged afterwards: one flipped bit in the root
// block's division that the builder's closing check point wrote loses no tile. The
// store opens from the older division (the builder's first, empty check point), is
// rolled forward through its log, and what its close writes reopens the same.
#include "BuildTestSupport.h"
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>

namespace vorn::test {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> ReadBytes(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// The root block's two divisions (A at 2048, B at 33792, 31744 bytes each) and the master
// sequence number that each carries 4 bytes in.
constexpr size_t kDivisionA = 2048;
constexpr size_t kDivisionB = 33792;
constexpr size_t kDivisionBytes = 31744;

uint32_t MsnOf(const std::vector<uint8_t>& store, size_t division)
{
    uint32_t v = 0;
    std::memcpy(&v, &store[division + 4], 4);
    return v;
}

TEST(TilvexgenDamagedStore, AFlippedBitInTheNewestDivisionLosesNoTile)
{
    TempDir dir;
    const std::string pics = dir.Path() + "/pics";
    const std::string program = dir.Path() + "/bin/Tilvexgen";
    const std::string store = dir.Path() + "/bin/pics.tvx";
    fs::create_directories(pics);
    fs::create_directories(dir.Path() + "/bin");
    // Six photos in two rows: a pyramid of several levels.
    for (int i = 0; i < 6; ++i)
        WriteFile(pics + "/p" + std::to_string(i) + ".jpg",
                  LibraryJpeg(170 + 10 * i, 130 + 7 * i, 3, JCS_RGB, PhotoSamples(170 + 10 * i, 130 + 7 * i, i), 90));
    const RunResult r = RunBuilder(program, pics);
    ASSERT_EQ(r.rc, 0) << r.out;
    const std::vector<uint8_t> built = ReadBytes(store);
    ASSERT_GT(built.size(), kDivisionB + kDivisionBytes);
    // The builder's close wrote division A, after its first check point in B.
    ASSERT_EQ(MsnOf(built, kDivisionA), MsnOf(built, kDivisionB) + 1);

    const std::string copy = dir.Path() + "/copy.tvx";
    WriteFile(copy, built);
    const StoredPyramid want = ReadStore(copy);
    ASSERT_TRUE(want.hasRoot);
    ASSERT_GT(want.tiles.size(), 4u);

    for (size_t at : {kDivisionA, kDivisionA + 4, kDivisionA + 8, kDivisionA + 40, kDivisionA + 1000,
                      kDivisionA + 6000, kDivisionA + 15000, kDivisionA + 30000, kDivisionA + kDivisionBytes - 4}) {
        SCOPED_TRACE("bit flipped at byte " + std::to_string(at));
        std::vector<uint8_t> damaged = built;
        damaged[at] ^= uint8_t(1u << (at % 8));
        WriteFile(copy, damaged);
        for (const char* pass : {"first open", "reopen"}) {
            SCOPED_TRACE(pass);
            const StoredPyramid got = ReadStore(copy);
            EXPECT_TRUE(got.hasRoot);
            EXPECT_EQ(got.height, want.height);
            EXPECT_TRUE(got.tiles == want.tiles) << got.tiles.size() << " nodes of " << want.tiles.size();
        }
    }
}

} // namespace
} // namespace vorn::test
