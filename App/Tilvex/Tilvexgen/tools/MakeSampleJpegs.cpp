// Writes a directory of sample photos for the demo: colourful test patterns of several
// sizes, some in a subdirectory, encoded with the framework's JPEG encoder. An optional
// scale multiplies every side, for large builds (measuring the builder's memory); such
// photos carry a little grain, as camera photos do.
#include "vnImage/Jpeg.h"
#include "vnImage/ResDIB.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/File.h"
#include "vnUtils/TextWriter.h"
#include <cmath>
#include <cstdio>
#include <cstdlib>

using namespace vorn;

namespace {

void Paint(ResDIB& dib, int seed, bool grain)
{
    uint32_t noise = uint32_t(seed) * 2654435761u + 1;
    const int32_t w = dib.GetWidth(), h = dib.GetHeight();
    const double cx = w * (0.3 + 0.1 * (seed % 5)), cy = h * (0.4 + 0.05 * (seed % 3));
    const double r = 0.25 * (w < h ? w : h);
    for (int32_t y = 0; y < h; ++y) {
        // Rows lie bottom-up; paint top-down.
        uint8_t* row = dib.GetPixels() + int64_t(h - 1 - y) * dib.GetStride();
        for (int32_t x = 0; x < w; ++x) {
            const double dx = x - cx, dy = y - cy;
            const bool inDisc = dx * dx + dy * dy < r * r;
            const bool stripe = ((x / 32 + y / 32 + seed) & 1) != 0;
            uint8_t b = uint8_t(255 * x / w), g = uint8_t(255 * y / h), rr = uint8_t((seed * 53) & 255);
            if (inDisc) { rr = 255 - rr; g = uint8_t(g / 2); }
            if (stripe && !inDisc) { b = uint8_t(b / 2 + 64); }
            if (grain) {
                noise = noise * 1664525u + 1013904223u;
                const int n = int(noise >> 27); // 0..31
                b = uint8_t(b < 224 ? b + n : b - n);
                g = uint8_t(g < 224 ? g + n : g - n);
            }
            row[3 * x] = b;
            row[3 * x + 1] = g;
            row[3 * x + 2] = rr;
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3 && argc != 4) {
        std::fputs("Usage: MakeSampleJpegs directory count [scale]\n", stderr);
        return 2;
    }
    const xstring dir = argv[1];
    const int count = std::atoi(argv[2]);
    const int scale = argc == 4 ? std::atoi(argv[3]) : 1;
    if (scale < 1 || scale > 16) {
        std::fputs("The scale is a whole number from 1 to 16\n", stderr);
        return 2;
    }
    static const int32_t sizes[][2] = {{640, 480}, {480, 640}, {800, 600}, {512, 512}, {1024, 384}, {300, 450}};
    try {
        for (int i = 0; i < count; ++i) {
            ResDIB dib;
            dib.Create(24, scale * sizes[i % 6][0], scale * sizes[i % 6][1]);
            Paint(dib, i, scale > 1);
            JpegImage jpeg;
            EncodeJpegImage(dib, jpeg);
            char name[64];
            std::snprintf(name, sizeof name, i % 3 == 2 ? "more/photo%03d.jpg" : "photo%03d.jpg", i);
            const xstring path = CombinePaths(dir.Range(), SubString8(name));
            File f;
            if (!f.OpenForWriting(path)) {
                std::fprintf(stderr, "Cannot write %s\n", name);
                return 1;
            }
            f.WriteStream(jpeg.m_bytes.data(), jpeg.m_bytes.size());
            f.Close();
        }
    } catch (const IException& e) {
        std::fprintf(stderr, "Error : %s\n", e.Describe().c_str());
        return 1;
    }
    return 0;
}
