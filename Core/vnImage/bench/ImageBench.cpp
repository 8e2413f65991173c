// Tile coding and averaging figures: JPEG encoding and decoding of a 256 x 256 24-bit
// tile, halving a tile by 2 x 2 averaging, and header probes of a JPEG file.
#include "vnImage/Jpeg.h"
#include "vnImage/ResDIB.h"
#include "vnUtils/File.h"
#include <benchmark/benchmark.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
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

// As the viewer's tile decode does it: a new bitmap every time, the tile's shape
// required.
void BM_DecodeTileRequiredShape(benchmark::State& state)
{
    JpegImage jpeg;
    EncodeJpegImage(MakeTile(), jpeg);
    for (auto _ : state) {
        ResDIB out;
        out.ReadJpeg(jpeg.m_bytes.data(), size_t(jpeg.m_bytes.size()), JpegShape{256, 256, 24});
        benchmark::DoNotOptimize(out.GetPixels());
    }
    state.SetItemsProcessed(state.iterations());
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

// The baseline of the three above: the library's own API on the same tile bytes, one
// decompressor created once and reused, its memory source, and the rows read straight
// into one 256 x 256 buffer in the bitmap's byte order.
void BM_DecodeTileLibjpegBaseline(benchmark::State& state)
{
    JpegImage jpeg;
    EncodeJpegImage(MakeTile(), jpeg);
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    std::vector<uint8_t> pixels(256 * 768);
    JSAMPROW rows[256];
    for (int y = 0; y < 256; ++y) rows[y] = pixels.data() + (255 - y) * 768;
    for (auto _ : state) {
        jpeg_mem_src(&cinfo, jpeg.m_bytes.data(), static_cast<unsigned long>(jpeg.m_bytes.size()));
        jpeg_read_header(&cinfo, TRUE);
        cinfo.out_color_space = JCS_EXT_BGR;
        jpeg_start_decompress(&cinfo);
        while (cinfo.output_scanline < cinfo.output_height)
            jpeg_read_scanlines(&cinfo, rows + cinfo.output_scanline, cinfo.output_height - cinfo.output_scanline);
        jpeg_finish_decompress(&cinfo);
        benchmark::DoNotOptimize(pixels.data());
    }
    jpeg_destroy_decompress(&cinfo);
    state.SetItemsProcessed(state.iterations());
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

} // namespace

BENCHMARK_MAIN();
