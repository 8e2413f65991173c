// Tile coding and averaging figures: JPEG encoding and decoding of a 256 x 256 24-bit
// tile, halving a tile by 2 x 2 averaging, and header probes of a JPEG file; and the
// decodes of tiles read from files, which bench/decode-vs-tjbench.py sets beside
// libjpeg-turbo's own tjbench.
#include "vnImage/Jpeg.h"
#include "vnImage/ResDIB.h"
#include "vnUtils/File.h"
#include <benchmark/benchmark.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>
// The baseline below drives the library directly.
#include <jpeglib.h>

using namespace vorn;

namespace {

// A photo-like tile: smooth gradients with a little noise.
ResDIB MakeTile()
{
    ResDIB b;
    b.Create(24, 256, 256);
    uint32_t s = 1;
    for (int y = 0; y < 256; ++y) {
        uint8_t* row = b.GetImageRow(y);
        for (int x = 0; x < 256; ++x) {
            s = s * 1664525u + 1013904223u;
            const int n = int(s >> 28) - 8;
            row[3 * x + 0] = uint8_t(std::min(255, std::max(0, y + n)));
            row[3 * x + 1] = uint8_t(std::min(255, std::max(0, (x + y) / 2 + n)));
            row[3 * x + 2] = uint8_t(std::min(255, std::max(0, 255 - x + n)));
        }
    }
    return b;
}

void BM_EncodeTile(benchmark::State& state)
{
    const ResDIB tile = MakeTile();
    JpegImage jpeg;
    for (auto _ : state) {
        EncodeJpegImage(tile, jpeg);
        benchmark::DoNotOptimize(jpeg.m_bytes.data());
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["jpeg_bytes"] = double(jpeg.m_bytes.size());
}
BENCHMARK(BM_EncodeTile);

// Decoding one tile as the viewer does it, into a bitmap kept from the tile before:
// its blocks are reused and nothing is zeroed.
void BM_DecodeTile(benchmark::State& state)
{
    JpegImage jpeg;
    EncodeJpegImage(MakeTile(), jpeg);
    ResDIB out;
    for (auto _ : state) {
        out.ReadJpeg(jpeg.m_bytes.data(), size_t(jpeg.m_bytes.size()));
        benchmark::DoNotOptimize(out.GetPixels());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeTile);

// The viewer's tile decode: a new bitmap every time, the tile's shape required.
void DecodeAsTheViewer(benchmark::State& state, const uint8_t* bytes, size_t length)
{
    for (auto _ : state) {
        ResDIB out;
        out.ReadJpeg(bytes, length, JpegShape{256, 256, 24});
        benchmark::DoNotOptimize(out.GetPixels());
    }
    state.SetItemsProcessed(state.iterations());
}

// The library's own API on the same bytes, driven as tjbench drives it: one
// decompressor created once and reused, its memory source, every row asked for at
// once, into one buffer that lies where tjbench's does (16 bytes into a page, where a
// fresh mapping of the C library's allocator starts). The rows go bottom-up, in the
// bitmap's byte order.
void DecodeWithTheLibrary(benchmark::State& state, const uint8_t* bytes, size_t length)
{
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    constexpr size_t kPage = 4096;
    auto* block = static_cast<uint8_t*>(std::aligned_alloc(kPage, 256 * 768 + kPage));
    uint8_t* pixels = block + 16;
    JSAMPROW rows[256];
    for (int y = 0; y < 256; ++y) rows[y] = pixels + (255 - y) * 768;
    for (auto _ : state) {
        jpeg_mem_src(&cinfo, bytes, static_cast<unsigned long>(length));
        jpeg_read_header(&cinfo, TRUE);
        cinfo.out_color_space = JCS_EXT_BGR;
        jpeg_start_decompress(&cinfo);
        while (cinfo.output_scanline < cinfo.output_height)
            jpeg_read_scanlines(&cinfo, rows + cinfo.output_scanline, cinfo.output_height - cinfo.output_scanline);
        jpeg_finish_decompress(&cinfo);
        benchmark::DoNotOptimize(pixels);
    }
    jpeg_destroy_decompress(&cinfo);
    std::free(block);
    state.SetItemsProcessed(state.iterations());
}

void BM_DecodeTileRequiredShape(benchmark::State& state)
{
    JpegImage jpeg;
    EncodeJpegImage(MakeTile(), jpeg);
    DecodeAsTheViewer(state, jpeg.m_bytes.data(), size_t(jpeg.m_bytes.size()));
}
BENCHMARK(BM_DecodeTileRequiredShape);

// Into a new bitmap every time: the blocks are allocated, but not zeroed.
void BM_DecodeTileFreshBitmap(benchmark::State& state)
{
    JpegImage jpeg;
    EncodeJpegImage(MakeTile(), jpeg);
    for (auto _ : state) {
        ResDIB out;
        out.ReadJpeg(jpeg.m_bytes.data(), size_t(jpeg.m_bytes.size()));
        benchmark::DoNotOptimize(out.GetPixels());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeTileFreshBitmap);

// The baseline: new blocks zero-filled before the decoder overwrites them.
void BM_DecodeTileZeroFilledBaseline(benchmark::State& state)
{
    JpegImage jpeg;
    EncodeJpegImage(MakeTile(), jpeg);
    ResDIB out;
    for (auto _ : state) {
        out.Clear();
        out.Create(24, 256, 256);
        out.ReadJpeg(jpeg.m_bytes.data(), size_t(jpeg.m_bytes.size()));
        benchmark::DoNotOptimize(out.GetPixels());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeTileZeroFilledBaseline);

// The baseline of the decodes above.
void BM_DecodeTileLibjpegBaseline(benchmark::State& state)
{
    JpegImage jpeg;
    EncodeJpegImage(MakeTile(), jpeg);
    DecodeWithTheLibrary(state, jpeg.m_bytes.data(), size_t(jpeg.m_bytes.size()));
}
BENCHMARK(BM_DecodeTileLibjpegBaseline);

// One child tile halved into its 128 x 128 quadrant of the parent.
void BM_Average2x2Tile(benchmark::State& state)
{
    const ResDIB child = MakeTile();
    ResDIB parent;
    parent.Create(24, 256, 256);
    for (auto _ : state) {
        ResDIB::Average2x2(child, parent.GetPixels(), parent.GetStride(), 256, Rect2i(128, 0, 256, 128));
        benchmark::DoNotOptimize(parent.GetPixels());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Average2x2Tile);

// The same quadrant through AverageColour, one call per destination pixel.
void BM_AverageColourTile(benchmark::State& state)
{
    const ResDIB child = MakeTile();
    ResDIB parent;
    parent.Create(24, 256, 256);
    for (auto _ : state) {
        for (int y = 0; y < 128; ++y) {
            uint8_t* d = parent.GetImageRow(y) + 3 * 128;
            for (int x = 0; x < 128; ++x, d += 3) {
                const uint32_t c = ResDIB::AverageColour(Rect2i(2 * x, 2 * y, 2 * x + 2, 2 * y + 2), child);
                d[0] = uint8_t(c >> 16);
                d[1] = uint8_t(c >> 8);
                d[2] = uint8_t(c);
            }
        }
        benchmark::DoNotOptimize(parent.GetPixels());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AverageColourTile);

void BM_ProbeHeaderFile(benchmark::State& state)
{
    JpegImage jpeg;
    EncodeJpegImage(MakeTile(), jpeg);
    char path[] = "/tmp/vnImageBench.XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        state.SkipWithError("no temporary file");
        return;
    }
    FILE* f = fdopen(fd, "wb");
    std::fwrite(jpeg.m_bytes.data(), 1, size_t(jpeg.m_bytes.size()), f);
    std::fclose(f);
    for (auto _ : state) {
        FILE* in = OpenFileUtf8(path, "rb");
        const JpegHeaderInfo info = ReadJpegFileHeader(in);
        std::fclose(in);
        benchmark::DoNotOptimize(info.width);
    }
    std::remove(path);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ProbeHeaderFile);

void BM_ProbeHeaderMemory(benchmark::State& state)
{
    JpegImage jpeg;
    EncodeJpegImage(MakeTile(), jpeg);
    for (auto _ : state) {
        const JpegHeaderInfo info = ReadJpegMemoryHeader(jpeg.m_bytes.data(), size_t(jpeg.m_bytes.size()));
        benchmark::DoNotOptimize(info.width);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ProbeHeaderMemory);

// ---- tile files: the figures beside tjbench

// Writes the bytes to path; false when it cannot.
bool WriteBytes(const std::string& path, const uint8_t* bytes, size_t n)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes), std::streamsize(n));
    return bool(out);
}

// Writes into dir the tile above as synthetic.jpg and, for each photo, two 256 x 256
// tiles cut from it and encoded as the builder encodes its tiles: the one at its centre
// as <photo's name>-centre.jpg, the one an eighth of its size in from its top-left
// corner as <photo's name>-corner.jpg.
int CutTiles(const std::string& dir, const std::vector<std::string>& photos)
{
    try {
        JpegImage jpeg;
        EncodeJpegImage(MakeTile(), jpeg);
        if (!WriteBytes(dir + "/synthetic.jpg", jpeg.m_bytes.data(), size_t(jpeg.m_bytes.size()))) return 1;
        for (const std::string& path : photos) {
            ResDIB photo;
            photo.LoadJpegFile(xstring(path.c_str()));
            if (photo.GetBitsPerPixel() != 24 || photo.GetWidth() < 256 || photo.GetHeight() < 256) {
                std::fprintf(stderr, "%s: not a colour photo of 256 x 256 or more\n", path.c_str());
                return 1;
            }
            std::string name = path.substr(path.find_last_of('/') + 1);
            name = name.substr(0, name.find_last_of('.'));
            const int32_t w = photo.GetWidth(), h = photo.GetHeight();
            const Point2i corners[2] = {Point2i(w / 2 - 128, h / 2 - 128),
                                        Point2i(std::min(w / 8, w - 256), std::min(h / 8, h - 256))};
            for (int i = 0; i < 2; ++i) {
                const Point2i at = corners[i];
                ResDIB tile;
                tile.Create(24, 256, 256);
                ResDIB::CopyRect24(Point2i(0, 0), tile, photo, Rect2i(at.x, at.y, at.x + 256, at.y + 256));
                EncodeJpegImage(tile, jpeg);
                const std::string file = dir + "/" + name + (i == 0 ? "-centre.jpg" : "-corner.jpg");
                if (!WriteBytes(file, jpeg.m_bytes.data(), size_t(jpeg.m_bytes.size()))) return 1;
            }
        }
    } catch (const IException& e) {
        std::fprintf(stderr, "Error : %s\n", e.Describe().c_str());
        return 1;
    }
    return 0;
}

// BM_DecodeTileFile/<name> (the viewer's decode) and BM_DecodeTileFileLibjpegBaseline/<name>
// for the tile in the file; false when it cannot be read.
bool RegisterTileFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.empty()) return false;
    const std::string name = path.substr(path.find_last_of('/') + 1);
    benchmark::RegisterBenchmark(("BM_DecodeTileFile/" + name).c_str(), [bytes](benchmark::State& state) {
        DecodeAsTheViewer(state, bytes.data(), bytes.size());
    });
    benchmark::RegisterBenchmark(("BM_DecodeTileFileLibjpegBaseline/" + name).c_str(), [bytes](benchmark::State& state) {
        DecodeWithTheLibrary(state, bytes.data(), bytes.size());
    });
    return true;
}

} // namespace

// Besides the benchmark library's own options:
//   --tile=FILE            adds the two decodes of a 256 x 256 colour tile read from FILE
//                          (repeatable); bench/decode-vs-tjbench.py runs them beside tjbench;
//   --cut-tiles=DIR PHOTO...  writes the tiles those runs decode (see CutTiles) and exits.
int main(int argc, char** argv)
{
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--cut-tiles=", 0) == 0) return CutTiles(arg.substr(12), std::vector<std::string>(argv + i + 1, argv + argc));
        if (arg.rfind("--tile=", 0) == 0) {
            if (!RegisterTileFile(arg.substr(7))) {
                std::fprintf(stderr, "Cannot read %s\n", arg.c_str() + 7);
                return 1;
            }
            continue;
        }
        rest.push_back(argv[i]);
    }
    int n = int(rest.size());
    rest.push_back(nullptr);
    benchmark::Initialize(&n, rest.data());
    if (benchmark::ReportUnrecognizedArguments(n, rest.data())) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
