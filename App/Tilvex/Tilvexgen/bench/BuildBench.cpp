// The whole build over generated photos beside its single-thread floor, measured in
// the same run: decoding every photo once and encoding every tile of the pyramid once,
// on one thread, with the same JPEG library. Also the cost of one parent tile (four
// child decodes, the averaging, one encode) on one thread beside the library's own
// decode and encode, the level computation's wall time per parent on its pool, and the
// process's peak resident memory after the builds (reported as a counter, in MB).
#include "Tilvex/Model/ModelTransaction.h"
#include "Tilvex/Model/PyramidComputation.h"
#include "Tilvex/Tilvexgen/BuildMontage.h"
#include "Tilvex/Tilvexgen/Entry.h"
#include "Tilvex/Tilvexgen/Scan.h"
#include "vnImage/Jpeg.h"
#include "vnImage/tests/ImageTestUtil.h"
#include "vnObject/CSpace.h"
#include "vnUtils/Trace.h"
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace vorn {
namespace {

namespace fs = std::filesystem;

constexpr int kNumPhotos = 24;

// Photo-like content: smooth shading with some noise.
std::vector<uint8_t> PhotoSamples(int w, int h, int seed)
{
    std::mt19937 rng{uint32_t(seed)};
    std::vector<uint8_t> v(size_t(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = v.data() + (size_t(y) * w + x) * 3;
            const int n = int(rng() % 24);
            p[0] = uint8_t((x * 255 / w + n + seed * 13) & 0xFF);
            p[1] = uint8_t((y * 255 / h + n) & 0xFF);
            p[2] = uint8_t(((x + y) / 4 + n) & 0xFF);
        }
    return v;
}

struct Fixture {
    fs::path dir;
    std::string pics;
    std::string store;
    std::vector<std::string> paths;
    int64_t numTiles = 0;

    Fixture()
    {
        dir = fs::temp_directory_path() / ("tilvexgen-bench-" + std::to_string(std::random_device()()));
        pics = (dir / "pics").string();
        store = (dir / "pics.tvx").string();
        fs::create_directories(pics);
        for (int i = 0; i < kNumPhotos; ++i) {
            const int w = 1024 + 64 * (i % 4), h = 768 + 32 * (i % 3);
            const std::vector<uint8_t> bytes = test::LibraryJpeg(w, h, 3, JCS_RGB, PhotoSamples(w, h, i), 90);
            const std::string path = pics + "/p" + std::to_string(i) + ".jpg";
            std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
            paths.push_back(path);
        }
        // The pyramid's nodes: the bottom tiles the laid-out photos overlap, and their
        // ancestors.
        xvector<ImageFileRecord> records;
        ScanDirectoryForJpegs(xstring(pics.c_str()), records);
        Montage m;
        LayOutImages(records, m);
        std::set<std::pair<int64_t, int64_t>> level;
        for (const MontageEntry& e : m.entries)
            for (int64_t r = e.y1 / 256; r <= (e.y2 - 1) / 256; ++r)
                for (int64_t c = e.x1 / 256; c <= (e.x2 - 1) / 256; ++c) level.insert({c, r});
        for (;;) {
            numTiles += int64_t(level.size());
            if (level.size() == 1 && *level.begin() == std::make_pair(int64_t(0), int64_t(0))) break;
            std::set<std::pair<int64_t, int64_t>> up;
            for (const auto& [c, r] : level) up.insert({c / 2, r / 2});
            level.swap(up);
        }
    }
    ~Fixture()
    {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

Fixture& GetFixture()
{
    static Fixture f;
    return f;
}

double PeakResidentMB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
    return 0;
}

// Decoding every photo once and encoding as many 256 x 256 tiles, cut from them, as
// the pyramid has, on this one thread.
void BM_SingleThreadFloor(benchmark::State& state)
{
    Fixture& f = GetFixture();
    ResDIB tile, photo; // the photo's blocks are reused, as the builder's workers do
    xvector<uint8_t> photoFile;
    tile.Create(24, 256, 256);
    for (auto _ : state) {
        int64_t encoded = 0;
        const int64_t perPhoto = (f.numTiles + kNumPhotos - 1) / kNumPhotos;
        for (const std::string& p : f.paths) {
            ResDIB::LoadImageFile(xstring(p.c_str()), photo, photoFile);
            for (int64_t k = 0; k < perPhoto && encoded < f.numTiles; ++k, ++encoded) {
                const int32_t x = int32_t((k * 256) % (photo.GetWidth() - 256));
                const int32_t y = int32_t(((k * 256) / (photo.GetWidth() - 256) * 256) % (photo.GetHeight() - 256));
                ResDIB::CopyRect24(Point2i(0, 0), tile, photo, Rect2i(x, y, x + 256, y + 256));
                JpegImage jpeg;
                EncodeJpegImage(tile, jpeg);
                benchmark::DoNotOptimize(jpeg.m_bytes.data());
            }
        }
    }
    state.counters["tiles"] = double(f.numTiles);
    state.counters["photos"] = kNumPhotos;
}
BENCHMARK(BM_SingleThreadFloor)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_WholeBuild(benchmark::State& state)
{
    Fixture& f = GetFixture();
    RegisterBuilderModule();
    std::FILE* in = std::freopen("/dev/null", "r", stdin); // the key waits return at once
    benchmark::DoNotOptimize(in);
    // TILVEXGEN_BENCH_TRACE=file keeps the builds' trace, with times, to see the phases.
    if (const char* trace = std::getenv("TILVEXGEN_BENCH_TRACE")) GetLogSink()->Open(trace);
    for (auto _ : state) {
        if (!BuildMontage(xstring(f.store.c_str()), xstring(f.pics.c_str()))) state.SkipWithError("build failed");
    }
    state.counters["tiles"] = double(f.numTiles);
    state.counters["peak_MB"] = PeakResidentMB();
}
BENCHMARK(BM_WholeBuild)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// Smooth shading with a little grain, as most of a photo is.
std::vector<uint8_t> SmoothSamples(int w, int h, int seed)
{
    std::mt19937 rng{uint32_t(seed)};
    std::vector<uint8_t> v(size_t(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = v.data() + (size_t(y) * w + x) * 3;
            const int n = int(rng() % 8);
            p[0] = uint8_t((x / 2 + y / 4 + n + seed * 40) & 0xFF);
            p[1] = uint8_t((128 + (x - y) / 4 + n) & 0xFF);
            p[2] = uint8_t((200 - y / 2 + n) & 0xFF);
        }
    return v;
}

std::vector<JpegImage> EncodedTiles(std::vector<uint8_t> (*samples)(int, int, int))
{
    std::vector<JpegImage> v(4);
    for (int i = 0; i < 4; ++i) {
        ResDIB dib;
        dib.Create(24, 256, 256);
        const std::vector<uint8_t> s = samples(256, 256, i);
        for (int y = 0; y < 256; ++y) std::memcpy(dib.GetImageRow(y), &s[size_t(y) * 768], 768);
        EncodeJpegImage(dib, v[size_t(i)]);
    }
    return v;
}

// Four child tiles as the builder stores them: kind 0 noisy (the photos above, a hard
// case for the coder), kind 1 smooth with grain.
const std::vector<JpegImage>& ChildTiles(int kind)
{
    static const std::vector<JpegImage> tiles[2] = {EncodedTiles(&PhotoSamples), EncodedTiles(&SmoothSamples)};
    return tiles[kind];
}

// The child tiles as ComputeParentImage takes them.
struct ChildBytes {
    const uint8_t* bytes[4];
    size_t lengths[4];
    explicit ChildBytes(int kind)
    {
        const std::vector<JpegImage>& children = ChildTiles(kind);
        for (int i = 0; i < 4; ++i) {
            bytes[i] = children[size_t(i)].m_bytes.data();
            lengths[i] = size_t(children[size_t(i)].m_bytes.size());
        }
    }
};

// One parent on one thread as the level computation does it: four child decodes, the
// 2 x 2 averaging of each into its quadrant, one encode, with the thread's coder and
// bitmaps kept from parent to parent.
void BM_ParentTile(benchmark::State& state)
{
    const ChildBytes c(int(state.range(0)));
    JpegImage out;
    for (auto _ : state) {
        ComputeParentImage(c.bytes, c.lengths, out);
        benchmark::DoNotOptimize(out.m_bytes.data());
    }
}
BENCHMARK(BM_ParentTile)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The same work with new library objects for every tile (the one-shot coding calls).
void BM_ParentTileFreshCoders(benchmark::State& state)
{
    const std::vector<JpegImage>& children = ChildTiles(int(state.range(0)));
    ResDIB child, parent;
    parent.Create(24, 256, 256);
    for (auto _ : state) {
        for (int i = 0; i < 4; ++i) {
            child.ReadJpeg(children[size_t(i)].m_bytes.data(), size_t(children[size_t(i)].m_bytes.size()));
            const int32_t x0 = 128 * (i % 2), y0 = 128 * (i / 2);
            ResDIB::Average2x2(child, parent.GetPixels(), parent.GetStride(), 256, Rect2i(x0, y0, x0 + 128, y0 + 128));
        }
        JpegImage out;
        EncodeJpegImage(parent, out);
        benchmark::DoNotOptimize(out.m_bytes.data());
    }
}
BENCHMARK(BM_ParentTileFreshCoders)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The floor: the plain library with its objects reused, decoding the four children
// into one buffer and encoding the parent's pixels (no averaging, no bitmaps). First
// argument 0: one decode; 1: one encode; 2: four decodes and one encode. Second: the
// kind of child tiles.
void BM_ParentTileLibraryFloor(benchmark::State& state)
{
    const int kind = int(state.range(1));
    const std::vector<JpegImage>& children = ChildTiles(kind);
    const ChildBytes cb(kind);
    JpegImage parent;
    ComputeParentImage(cb.bytes, cb.lengths, parent);
    // The parent's pixels (RGB) to encode, and a buffer to decode into.
    std::vector<uint8_t> parentPixels = test::LibraryDecode(parent.m_bytes.data(), size_t(parent.m_bytes.size())).samples;
    std::vector<uint8_t> scratch(256 * 256 * 3);
    JSAMPROW parentRows[256], scratchRows[256];
    for (int y = 0; y < 256; ++y) {
        parentRows[y] = &parentPixels[size_t(y) * 256 * 3];
        scratchRows[y] = &scratch[size_t(y) * 256 * 3];
    }
    jpeg_error_mgr err;
    jpeg_decompress_struct d;
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_compress_struct c;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    std::vector<unsigned char> outBuffer(1 << 20);
    auto decode = [&](const JpegImage& j) {
        jpeg_mem_src(&d, j.m_bytes.data(), static_cast<unsigned long>(j.m_bytes.size()));
        jpeg_read_header(&d, TRUE);
        d.out_color_space = JCS_EXT_BGR;
        jpeg_start_decompress(&d);
        while (d.output_scanline < d.output_height)
            jpeg_read_scanlines(&d, scratchRows + d.output_scanline, d.output_height - d.output_scanline);
        jpeg_finish_decompress(&d);
    };
    auto encode = [&] {
        unsigned char* out = outBuffer.data();
        unsigned long size = static_cast<unsigned long>(outBuffer.size());
        jpeg_mem_dest(&c, &out, &size);
        c.image_width = 256;
        c.image_height = 256;
        c.input_components = 3;
        c.in_color_space = JCS_RGB;
        jpeg_set_defaults(&c);
        jpeg_start_compress(&c, TRUE);
        while (c.next_scanline < c.image_height)
            jpeg_write_scanlines(&c, parentRows + c.next_scanline, 256 - c.next_scanline);
        jpeg_finish_compress(&c);
        benchmark::DoNotOptimize(out);
    };
    const int64_t what = state.range(0);
    for (auto _ : state) {
        if (what != 1)
            for (int i = 0; i < (what == 0 ? 1 : 4); ++i) decode(children[size_t(i)]);
        if (what != 0) encode();
        benchmark::DoNotOptimize(scratch.data());
    }
    jpeg_destroy_decompress(&d);
    jpeg_destroy_compress(&c);
}
BENCHMARK(BM_ParentTileLibraryFloor)->ArgsProduct({{0, 1, 2}, {0, 1}})->Unit(benchmark::kMicrosecond);

// The level computation as the build runs it, on its pool, over a full tree whose
// bottom tiles are the four child tiles: wall time per parent (counter us_per_parent).
void BM_IntermediateLevels(benchmark::State& state)
{
    const std::vector<JpegImage>& children = ChildTiles(0);
    const int32_t height = int32_t(state.range(0));
    CSpace* space = CreateCSpace2(false);
    CSpace* saved = GetThreadCSpace();
    SetThreadCSpace(space);
    Tilvex* t = NewTilvex();
    {
        ModelTransaction txn;
        space->AddGcRoot(t->AsObject());
        t->SetHeight(height);
    }
    t->CreateFullTree(height);
    {
        // Every bottom tile gets one of the four child tiles.
        ModelTransaction txn;
        std::vector<std::pair<TilvexNode*, int32_t>> stack{{t->GetRootNode(), 1}};
        int32_t k = 0;
        while (!stack.empty()) {
            auto [node, level] = stack.back();
            stack.pop_back();
            if (level == height) {
                xvector<uint8_t> bytes(children[size_t(k++ % 4)].m_bytes);
                node->TakeJpegBytes(bytes);
                continue;
            }
            for (int32_t r = 0; r < 2; ++r)
                for (int32_t c = 0; c < 2; ++c) stack.push_back({node->GetChild(c, r), level + 1});
        }
    }
    int64_t parents = 0;
    for (auto _ : state) parents = t->CalcIntermediateTiles();
    state.counters["parents"] = double(parents);
    state.counters["us_per_parent"] = benchmark::Counter(double(parents) * double(state.iterations()) / 1e6,
                                                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    SetThreadCSpace(saved);
    space->Destroy();
}
BENCHMARK(BM_IntermediateLevels)->Arg(6)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

} // namespace
} // namespace vorn

BENCHMARK_MAIN();
