// Writes JPEG photos of one flat colour each, for the end-to-end test of the two
// programs: MakeFlatPhotos DIR NAME WIDTH HEIGHT RRGGBB [NAME WIDTH HEIGHT RRGGBB ...].
// Exit status 0 when every photo was written, 2 on a usage error, 1 otherwise.
#include "vnImage/Jpeg.h"
#include "vnImage/ResDIB.h"
#include "vnUtils/Exceptions.h"
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

using namespace vorn;

namespace {

bool WriteFlatPhoto(const std::string& path, int32_t width, int32_t height, uint32_t rgb)
{
    ResDIB dib;
    dib.Create(24, width, height);
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = dib.GetImageRow(y);
        for (int32_t x = 0; x < width; ++x) {
            row[3 * x] = uint8_t(rgb);
            row[3 * x + 1] = uint8_t(rgb >> 8);
            row[3 * x + 2] = uint8_t(rgb >> 16);
        }
    }
    JpegImage jpeg;
    EncodeJpegImage(dib, jpeg);
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(jpeg.m_bytes.data()), std::streamsize(jpeg.m_bytes.size()));
    return bool(out.flush());
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 6 || (argc - 2) % 4 != 0) {
        std::fputs("Usage: MakeFlatPhotos DIR NAME WIDTH HEIGHT RRGGBB [NAME WIDTH HEIGHT RRGGBB ...]\n", stderr);
        return 2;
    }
    const std::string dir = argv[1];
    try {
        for (int i = 2; i < argc; i += 4) {
            const int32_t w = std::atoi(argv[i + 1]), h = std::atoi(argv[i + 2]);
            const uint32_t rgb = uint32_t(std::strtoul(argv[i + 3], nullptr, 16));
            if (w <= 0 || h <= 0) {
                std::fprintf(stderr, "Bad size %s x %s\n", argv[i + 1], argv[i + 2]);
                return 2;
            }
            if (!WriteFlatPhoto(dir + "/" + argv[i], w, h, rgb)) {
                std::fprintf(stderr, "Cannot write %s/%s\n", dir.c_str(), argv[i]);
                return 1;
            }
        }
    } catch (const IException& e) {
        std::fprintf(stderr, "Error : %s\n", e.Describe().c_str());
        return 1;
    }
    return 0;
}
