#include "ImageTestUtil.h"
#include "vnImage/Jpeg.h"
#include "vnImage/ResDIB.h"
#include "vnUtils/Exceptions.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace vorn;
using namespace vorn::test;

namespace {

template <class T>
void Append(std::vector<uint8_t>& out, const T& v)
{
    const auto* p = reinterpret_cast<const uint8_t*>(&v);
    out.insert(out.end(), p, p + sizeof(T));
}

// Pixel (x, y) in top-down coordinates of a 24-bit bitmap.
uint8_t* Pixel(ResDIB& b, int x, int y) { return b.GetImageRow(y) + 3 * x; }

void SetPixel(ResDIB& b, int x, int y, uint8_t c0, uint8_t c1, uint8_t c2)
{
    uint8_t* p = Pixel(b, x, y);
    p[0] = c0;
    p[1] = c1;
    p[2] = c2;
}

// Every byte of the pixel block, padding included, set to v.
void FillBytes(ResDIB& b, uint8_t v) { std::memset(b.GetPixels(), v, size_t(b.GetStride()) * b.GetHeight()); }

BITMAPINFOHEADER InfoHeader(int32_t w, int32_t h, uint16_t bpp, uint32_t clrUsed = 0)
{
    BITMAPINFOHEADER hd{};
    hd.biSize = 40;
    hd.biWidth = w;
    hd.biHeight = h;
    hd.biPlanes = 1;
    hd.biBitCount = bpp;
    hd.biCompression = BI_RGB;
    hd.biClrUsed = clrUsed;
    return hd;
}

std::string DeserialisationMessage(const std::vector<uint8_t>& bytes)
{
    ResDIB b;
    try {
        ResDIB::ReadPackedDib(bytes.data(), bytes.data() + bytes.size(), b);
    } catch (const DeserialisationException& e) {
        return std::string(e.GetMessage().data(), size_t(e.GetMessage().size()));
    }
    return "no exception";
}

} // namespace

TEST(ResDIB, CreateLaysOutHeaderStrideAndPalette)
{
    ResDIB b;
    EXPECT_TRUE(b.IsEmpty());
    b.Create(24, 256, 256);
    EXPECT_EQ(b.GetStride(), 768);
    const BITMAPINFOHEADER* h = b.GetHeader();
    EXPECT_EQ(h->biSize, 40u);
    EXPECT_EQ(h->biWidth, 256);
    EXPECT_EQ(h->biHeight, 256);
    EXPECT_EQ(h->biPlanes, 1);
    EXPECT_EQ(h->biBitCount, 24);
    EXPECT_EQ(h->biCompression, BI_RGB);
    EXPECT_EQ(h->biSizeImage, 196608u);
    EXPECT_EQ(h->biClrUsed, 0u);
    EXPECT_EQ(b.GetPaletteSize(), 0);
    for (int i = 0; i < 196608; ++i) ASSERT_EQ(b.GetPixels()[i], 0) << i;

    b.Create(8, 3, 2);
    EXPECT_EQ(b.GetStride(), 4);
    EXPECT_EQ(b.GetPaletteSize(), 256);
    EXPECT_EQ(b.GetHeader()->biClrUsed, 256u);
    EXPECT_EQ(b.GetHeader()->biSizeImage, 8u);

    b.Create(1, 33, 1);
    EXPECT_EQ(b.GetStride(), 8);
    EXPECT_EQ(b.GetPaletteSize(), 2);
    b.Create(4, 9, 1);
    EXPECT_EQ(b.GetStride(), 8);
    EXPECT_EQ(b.GetPaletteSize(), 16);
    b.Create(24, 5, 3);
    EXPECT_EQ(b.GetStride(), 16); // 15 bytes padded to 16
    b.Create(32, 5, 3);
    EXPECT_EQ(b.GetStride(), 20);

    EXPECT_THROW(b.Create(24, -1, 5), VornException);
    EXPECT_THROW(b.Create(0, 5, 5), VornException);
    EXPECT_THROW(b.Create(24, 100000, 100000), VornException); // above 4 GiB
}

TEST(ResDIB, EmptyBitmapHasNoSize)
{
    ResDIB b;
    try {
        b.GetHeight();
        FAIL() << "no exception";
    } catch (const VornException& e) {
        EXPECT_TRUE(e.GetMessage() == "Bitmap info is NULL");
    }
    EXPECT_THROW(b.GetWidth(), VornException);
    b.Create(24, 2, 2);
    b.Clear();
    EXPECT_TRUE(b.IsEmpty());
    EXPECT_EQ(b.GetStride(), 0);
    EXPECT_THROW(b.GetWidth(), VornException);
}

TEST(ResDIB, RowsAreBottomUp)
{
    ResDIB b;
    b.Create(24, 3, 4);
    EXPECT_EQ(b.GetImageRow(0), b.GetMemoryRow(3));
    EXPECT_EQ(b.GetImageRow(3), b.GetPixels());
    SetPixel(b, 0, 0, 1, 2, 3);
    EXPECT_EQ(b.GetPixels()[3 * b.GetStride()], 1); // the top row is the last in memory
}

TEST(ResDIB, CopiesAreDeep)
{
    ResDIB a;
    a.Create(8, 5, 3);
    a.GetPalette()[7] = RGBQUAD{1, 2, 3, 0};
    a.GetPixels()[4] = 7;
    ResDIB b(a);
    ASSERT_FALSE(b.IsEmpty());
    EXPECT_NE(b.GetPixels(), a.GetPixels());
    EXPECT_NE(b.GetHeader(), a.GetHeader());
    EXPECT_EQ(b.GetStride(), 8);
    EXPECT_EQ(b.GetPalette()[7].rgbRed, 3);
    EXPECT_EQ(b.GetPixels()[4], 7);
    a.GetPixels()[4] = 9;
    a.GetPalette()[7].rgbRed = 99;
    EXPECT_EQ(b.GetPixels()[4], 7);
    EXPECT_EQ(b.GetPalette()[7].rgbRed, 3);

    ResDIB c;
    c.Create(24, 1, 1);
    c = a;
    EXPECT_EQ(c.GetPixels()[4], 9);
    c = c; // self-assignment keeps the bitmap
    EXPECT_EQ(c.GetPixels()[4], 9);
    const ResDIB empty;
    c = empty;
    EXPECT_TRUE(c.IsEmpty());
    ResDIB d(empty);
    EXPECT_TRUE(d.IsEmpty());
}

// A bitmap refilled with smaller images keeps its block; each shape gets its own
// header, stride and zero row padding, and copies take only the current image.
TEST(ResDIB, CreateForOverwriteKeepsBlocksLargeEnough)
{
    ResDIB b;
    b.CreateForOverwrite(24, 40, 30);
    FillBytes(b, 0xAB);
    const uint8_t* block = b.GetPixels();

    b.CreateForOverwrite(24, 13, 7); // 39 bytes a row, one of padding
    EXPECT_EQ(b.GetPixels(), block);
    EXPECT_EQ(b.GetWidth(), 13);
    EXPECT_EQ(b.GetHeight(), 7);
    EXPECT_EQ(b.GetStride(), 40);
    EXPECT_EQ(b.GetHeader()->biSizeImage, 280u);
    for (int32_t r = 0; r < 7; ++r) EXPECT_EQ(b.GetMemoryRow(r)[39], 0) << r;
    const ResDIB copy(b);
    EXPECT_EQ(copy.GetHeader()->biSizeImage, 280u);
    EXPECT_EQ(std::memcmp(copy.GetPixels(), b.GetPixels(), 280), 0);

    // A grey image: a header block with room for its palette, the same pixel block.
    b.CreateForOverwrite(8, 16, 16);
    EXPECT_EQ(b.GetPixels(), block);
    EXPECT_EQ(b.GetPaletteSize(), 256);
    EXPECT_EQ(b.GetPalette()[255].rgbRed, 0);

    // Larger than anything before: a new block.
    b.CreateForOverwrite(24, 64, 64);
    EXPECT_EQ(b.GetHeader()->biSizeImage, 64u * 64u * 3u);
    FillBytes(b, 1);
    EXPECT_THROW(b.CreateForOverwrite(24, -1, 3), VornException);
    EXPECT_TRUE(b.IsEmpty());
}

// 256 x 256 24-bit blocks are reused once freed: a new bitmap is black whatever the
// block held, and no two live bitmaps ever share a block.
TEST(ResDIB, ReusedTileBlocksStartBlackAndAreNeverShared)
{
    std::vector<ResDIB> live(40);
    for (ResDIB& b : live) {
        b.Create(24, 256, 256);
        FillBytes(b, 0x5A);
    }
    const ResDIB copy(live[3]);
    live.clear(); // more than the free list keeps
    std::vector<ResDIB> again(40);
    std::vector<const uint8_t*> blocks;
    for (ResDIB& b : again) {
        b.Create(24, 256, 256);
        const uint8_t* p = b.GetPixels();
        EXPECT_EQ(p[0], 0);
        EXPECT_EQ(p[256 * 256 * 3 - 1], 0);
        for (size_t i = 0; i < size_t(256 * 256 * 3); i += 997) ASSERT_EQ(p[i], 0) << i;
        blocks.push_back(p);
        FillBytes(b, 0x11);
    }
    std::sort(blocks.begin(), blocks.end());
    EXPECT_EQ(std::adjacent_find(blocks.begin(), blocks.end()), blocks.end());
    EXPECT_EQ(copy.GetPixels()[12345], 0x5A); // a copy keeps its own pixels

    // A moved-from and a refilled bitmap give their block back once.
    ResDIB moved(std::move(again[0]));
    again[1].CreateForOverwrite(24, 512, 512);
    again.clear();
    moved.Clear();
    ResDIB a, b;
    a.Create(24, 256, 256);
    b.Create(24, 256, 256);
    EXPECT_NE(a.GetPixels(), b.GetPixels());
}

// Every bitmap's pixels start 16 bytes past a 32-byte boundary, off the boundaries on
// which the JPEG library writes decoded rows past the cache: bitmaps made, copied,
// moved, decoded and read, of many sizes, new blocks and reused tile blocks alike.
TEST(ResDIB, PixelsStartSixteenBytesPastA32ByteBoundary)
{
    auto placement = [](const ResDIB& b) { return reinterpret_cast<uintptr_t>(b.GetPixels()) % 32; };
    std::vector<ResDIB> live;
    for (int i = 0; i < 48; ++i) {
        ResDIB b;
        b.Create(i % 3 == 0 ? 8 : 24, 1 + 7 * i, 1 + 5 * (i % 11));
        EXPECT_EQ(placement(b), 16u) << i;
        ResDIB tile;
        tile.CreateForOverwrite(24, 256, 256);
        EXPECT_EQ(placement(tile), 16u) << i;
        const ResDIB copy(tile);
        EXPECT_EQ(placement(copy), 16u) << i;
        live.push_back(std::move(b));
        EXPECT_EQ(placement(live.back()), 16u) << i;
        if (i % 4 == 0) live.push_back(std::move(tile)); // the others go back to the free list
    }
    const std::vector<uint8_t> jpeg = LibraryJpeg(256, 256, 3, JCS_RGB, RgbGradient(256, 256));
    for (int i = 0; i < 8; ++i) {
        ResDIB decoded;
        decoded.ReadJpeg(jpeg.data(), jpeg.size(), JpegShape{256, 256, 24});
        EXPECT_EQ(placement(decoded), 16u) << i;
        ResDIB grown;
        grown.ReadJpeg(jpeg.data(), jpeg.size());
        EXPECT_EQ(placement(grown), 16u) << i;
        live.push_back(std::move(grown));
    }
    std::vector<uint8_t> packed(40 + 3 * 12);
    BITMAPINFOHEADER h{};
    h.biSize = 40;
    h.biWidth = 3;
    h.biHeight = 3;
    h.biPlanes = 1;
    h.biBitCount = 24;
    std::memcpy(packed.data(), &h, sizeof h);
    ResDIB read;
    ResDIB::ReadPackedDib(packed.data(), packed.data() + packed.size(), read);
    EXPECT_EQ(placement(read), 16u);
}

TEST(ResDIB, CopyRect24TouchesExactlyItsRectangle)
{
    ResDIB src, dst;
    src.Create(24, 4, 4);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) SetPixel(src, x, y, uint8_t(10 * y + x), uint8_t(100 + x), uint8_t(200 + y));
    dst.Create(24, 4, 4);
    FillBytes(dst, 0xEE);
    ResDIB::CopyRect24(Point2i(1, 1), dst, src, Rect2i(0, 0, 2, 2));
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 4; ++x) {
            const uint8_t* p = Pixel(dst, x, y);
            if (x >= 1 && x <= 2 && y >= 1 && y <= 2) {
                const uint8_t* s = Pixel(src, x - 1, y - 1);
                EXPECT_EQ(std::memcmp(p, s, 3), 0) << x << "," << y;
            } else {
                EXPECT_TRUE(p[0] == 0xEE && p[1] == 0xEE && p[2] == 0xEE) << x << "," << y;
            }
        }
    }

    // Unequal sizes, an offset source rectangle and row padding (stride 20 for 6 pixels).
    ResDIB wide;
    wide.Create(24, 6, 5);
    FillBytes(wide, 0xEE);
    ResDIB::CopyRect24(Point2i(3, 2), wide, src, Rect2i(1, 2, 4, 4));
    for (int y = 0; y < 5; ++y) {
        for (int x = 0; x < 6; ++x) {
            const uint8_t* p = Pixel(wide, x, y);
            if (x >= 3 && y >= 2 && y <= 3) {
                EXPECT_EQ(std::memcmp(p, Pixel(src, x - 2, y), 3), 0) << x << "," << y;
            } else {
                EXPECT_EQ(p[0], 0xEE) << x << "," << y;
            }
        }
        EXPECT_EQ(wide.GetImageRow(y)[18], 0xEE); // padding untouched
        EXPECT_EQ(wide.GetImageRow(y)[19], 0xEE);
    }

    // An empty rectangle copies nothing; rectangles outside a bitmap are refused.
    ResDIB::CopyRect24(Point2i(0, 0), dst, src, Rect2i(2, 2, 2, 4));
    EXPECT_EQ(Pixel(dst, 0, 0)[0], 0xEE);
    EXPECT_THROW(ResDIB::CopyRect24(Point2i(3, 3), dst, src, Rect2i(0, 0, 2, 2)), ProgrammingErrorException);
    EXPECT_THROW(ResDIB::CopyRect24(Point2i(0, 0), dst, src, Rect2i(-1, 0, 2, 2)), ProgrammingErrorException);
    ResDIB grey;
    grey.Create(8, 4, 4);
    EXPECT_THROW(ResDIB::CopyRect24(Point2i(0, 0), dst, grey, Rect2i(0, 0, 1, 1)), ProgrammingErrorException);
}

TEST(ResDIB, AverageColourTruncatesAndKeepsChannelOrder)
{
    ResDIB b;
    b.Create(24, 3, 3);
    SetPixel(b, 1, 1, 0x12, 0x34, 0x56);
    EXPECT_EQ(ResDIB::AverageColour(Rect2i(1, 1, 2, 2), b), 0x123456u);

    SetPixel(b, 0, 0, 0, 1, 10);
    SetPixel(b, 1, 0, 0, 2, 20);
    SetPixel(b, 0, 1, 0, 2, 30);
    SetPixel(b, 1, 1, 3, 2, 41);
    // byte 0: 3 / 4 = 0; byte 1: 7 / 4 = 1; byte 2: 101 / 4 = 25
    EXPECT_EQ(ResDIB::AverageColour(Rect2i(0, 0, 2, 2), b), (0u << 16) | (1u << 8) | 25u);

    // An odd width: three pixels of one row.
    SetPixel(b, 0, 2, 9, 0, 255);
    SetPixel(b, 1, 2, 9, 0, 255);
    SetPixel(b, 2, 2, 10, 0, 254);
    EXPECT_EQ(ResDIB::AverageColour(Rect2i(0, 2, 3, 3), b), (9u << 16) | 254u);
    EXPECT_THROW(ResDIB::AverageColour(Rect2i(1, 1, 1, 2), b), ProgrammingErrorException);
    EXPECT_THROW(ResDIB::AverageColour(Rect2i(0, 0, 4, 1), b), ProgrammingErrorException);
}

TEST(ResDIB, Average2x2HalvesIntoItsQuadrant)
{
    ResDIB src;
    src.Create(24, 4, 4);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) SetPixel(src, x, y, uint8_t(x + 4 * y), uint8_t(200 + x), uint8_t(y == 0 ? 1 : 2));
    ResDIB dst;
    dst.Create(24, 4, 4);
    FillBytes(dst, 0xEE);
    ResDIB::Average2x2(src, dst.GetPixels(), dst.GetStride(), dst.GetHeight(), Rect2i(2, 1, 4, 3));
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 4; ++x) {
            const uint8_t* p = Pixel(dst, x, y);
            if (x >= 2 && y >= 1 && y <= 2) {
                const uint32_t want = ResDIB::AverageColour(
                    Rect2i(2 * (x - 2), 2 * (y - 1), 2 * (x - 2) + 2, 2 * (y - 1) + 2), src);
                EXPECT_EQ(p[0], (want >> 16) & 0xFF) << x << "," << y;
                EXPECT_EQ(p[1], (want >> 8) & 0xFF) << x << "," << y;
                EXPECT_EQ(p[2], want & 0xFF) << x << "," << y;
            } else {
                EXPECT_EQ(p[0], 0xEE) << x << "," << y;
            }
        }
    }
    // Top-left block: byte 0 of 0, 1, 4, 5 -> 2; byte 1 of 200, 201, 200, 201 -> 200;
    // byte 2 of 1, 1, 2, 2 -> 1 (6 / 4 truncated).
    EXPECT_EQ(Pixel(dst, 2, 1)[0], 2);
    EXPECT_EQ(Pixel(dst, 2, 1)[1], 200);
    EXPECT_EQ(Pixel(dst, 2, 1)[2], 1);
    EXPECT_THROW(ResDIB::Average2x2(src, dst.GetPixels(), dst.GetStride(), dst.GetHeight(), Rect2i(0, 0, 3, 3)),
                 ProgrammingErrorException);
}

// Widths that end inside and after the 16-byte steps, and rows longer than the
// 256 pixels halved per step; sources exactly twice the rectangle, so the last row
// and column are read right at the bitmap's end.
TEST(ResDIB, Average2x2MatchesTheBlockAverageAtEveryWidth)
{
    uint32_t seed = 7;
    for (int w : {1, 2, 3, 5, 6, 7, 8, 11, 128, 255, 256, 257, 300}) {
        SCOPED_TRACE(w);
        const int h = 3;
        ResDIB src;
        src.Create(24, 2 * w, 2 * h);
        for (int y = 0; y < 2 * h; ++y)
            for (int x = 0; x < 2 * w; ++x) {
                seed = seed * 1664525u + 1013904223u;
                SetPixel(src, x, y, uint8_t(seed >> 24), uint8_t(seed >> 16), uint8_t(seed >> 8));
            }
        ResDIB dst;
        dst.Create(24, w + 2, h + 1);
        FillBytes(dst, 0xEE);
        ResDIB::Average2x2(src, dst.GetPixels(), dst.GetStride(), dst.GetHeight(), Rect2i(1, 1, w + 1, h + 1));
        int bad = 0;
        for (int y = 0; y < h + 1; ++y)
            for (int x = 0; x < w + 2; ++x) {
                const uint8_t* p = Pixel(dst, x, y);
                uint32_t want = 0xEEEEEE;
                if (x >= 1 && x <= w && y >= 1)
                    want = ResDIB::AverageColour(Rect2i(2 * (x - 1), 2 * (y - 1), 2 * x, 2 * y), src);
                const uint32_t got = uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
                if (got != want && ++bad <= 3) ADD_FAILURE() << "pixel " << x << "," << y;
            }
        EXPECT_EQ(bad, 0);
    }
}

TEST(ResDIB, ReadPackedDibReadsHeaderPaletteAndPixels)
{
    std::vector<uint8_t> bytes;
    Append(bytes, InfoHeader(3, 2, 8, 4)); // four palette entries used
    for (int i = 0; i < 4; ++i) Append(bytes, RGBQUAD{uint8_t(i), uint8_t(10 + i), uint8_t(20 + i), uint8_t(30 + i)});
    for (int i = 0; i < 8; ++i) bytes.push_back(uint8_t(i % 4));
    bytes.push_back(0x77); // what follows the bitmap
    ResDIB b;
    const uint8_t* end = ResDIB::ReadPackedDib(bytes.data(), bytes.data() + bytes.size(), b);
    EXPECT_EQ(end, bytes.data() + bytes.size() - 1);
    EXPECT_EQ(b.GetWidth(), 3);
    EXPECT_EQ(b.GetHeight(), 2);
    EXPECT_EQ(b.GetBitsPerPixel(), 8);
    EXPECT_EQ(b.GetPalette()[3].rgbRed, 23);
    EXPECT_EQ(b.GetPalette()[3].rgbReserved, 33);
    EXPECT_EQ(b.GetPixels()[5], 1);

    // Size 0 clears the bitmap and moves past the size.
    const uint8_t zero[4] = {0, 0, 0, 0};
    EXPECT_EQ(ResDIB::ReadPackedDib(zero, zero + 4, b), zero + 4);
    EXPECT_TRUE(b.IsEmpty());
}

TEST(ResDIB, ReadPackedDibRefusesBadHeadersAndShortData)
{
    auto withPixels = [](BITMAPINFOHEADER h, size_t extra) {
        std::vector<uint8_t> v;
        Append(v, h);
        v.resize(v.size() + extra, 0);
        return v;
    };
    std::vector<uint8_t> bad;
    Append(bad, uint32_t(20));
    bad.resize(64, 0);
    EXPECT_EQ(DeserialisationMessage(bad), "Bad DIB header : size = 20");

    BITMAPINFOHEADER rle = InfoHeader(2, 2, 8);
    rle.biCompression = BI_RLE8;
    EXPECT_EQ(DeserialisationMessage(withPixels(rle, 2048)), "Only BI_RGB compression supported");

    EXPECT_EQ(DeserialisationMessage(withPixels(InfoHeader(2, -2, 24), 64)), "Bad DIB header : height = -2");
    EXPECT_EQ(DeserialisationMessage(withPixels(InfoHeader(2, 0, 24), 64)), "Bad DIB header : height = 0");
    EXPECT_EQ(DeserialisationMessage(withPixels(InfoHeader(0, 2, 24), 64)), "Bad DIB header : width = 0");
    EXPECT_EQ(DeserialisationMessage(withPixels(InfoHeader(2, 2, 7), 64)), "Bad DIB header : bits per pixel = 7");
    EXPECT_EQ(DeserialisationMessage(withPixels(InfoHeader(2, 2, 8, 257), 4096)),
              "Bad DIB header : colour count = 257");
    EXPECT_EQ(DeserialisationMessage(withPixels(InfoHeader(2, 2, 24, 1), 64)), "Bad DIB header : colour count = 1");
    // 2 x 2 at 24 bits needs 16 pixel bytes.
    EXPECT_EQ(DeserialisationMessage(withPixels(InfoHeader(2, 2, 24), 15)),
              "Bad DIB : data shorter than its header says, missing bytes = 1");
    // 8 bits: 256 palette entries (1024 bytes) and 8 pixel bytes.
    EXPECT_EQ(DeserialisationMessage(withPixels(InfoHeader(2, 2, 8), 1000)),
              "Bad DIB : data shorter than its header says, missing bytes = 32");
    EXPECT_EQ(DeserialisationMessage(withPixels(InfoHeader(2, 2, 24), 16)), "no exception");

    // A header cut short, and a huge size that must not wrap around.
    std::vector<uint8_t> cut = withPixels(InfoHeader(2, 2, 24), 0);
    cut.resize(30);
    EXPECT_EQ(DeserialisationMessage(cut), "Bad DIB : header cut short");
    EXPECT_EQ(DeserialisationMessage(std::vector<uint8_t>{40, 0}), "Bad DIB : no header");
    EXPECT_EQ(DeserialisationMessage(withPixels(InfoHeader(0x7FFFFFFF, 0x7FFFFFFF, 32), 16)),
              "Bad DIB header : image too large");
}

TEST(ResDIB, LoadsCoreHeaderBitmapFile)
{
    TempDir dir;
    std::vector<uint8_t> file;
    BITMAPFILEHEADER fh{};
    fh.bfType = BITMAP_FILE_TYPE;
    Append(file, fh);
    BITMAPCOREHEADER core{12, 3, 2, 1, 8};
    Append(file, core);
    for (int i = 0; i < 256; ++i) Append(file, RGBTRIPLE{uint8_t(i), uint8_t(255 - i), uint8_t(i / 2)});
    for (int i = 0; i < 8; ++i) file.push_back(uint8_t(i * 30));
    const std::string path = dir.File("IMAGE.Bmp");
    WriteFile(path, file);

    ResDIB b;
    ResDIB::LoadImageFile(xstring(path.c_str()), b);
    EXPECT_EQ(b.GetWidth(), 3);
    EXPECT_EQ(b.GetHeight(), 2);
    EXPECT_EQ(b.GetBitsPerPixel(), 8);
    EXPECT_EQ(b.GetHeader()->biSize, 40u);
    for (int i = 0; i < 256; ++i) {
        const RGBQUAD& q = b.GetPalette()[i];
        ASSERT_TRUE(q.rgbBlue == i && q.rgbGreen == 255 - i && q.rgbRed == i / 2 && q.rgbReserved == 0) << i;
    }
    EXPECT_EQ(b.GetPixels()[7], 210);
}

TEST(ResDIB, LoadBmpFileReportsUnreadableAndForeignFiles)
{
    TempDir dir;
    ResDIB b;
    const std::string missing = dir.File("missing.bmp");
    try {
        ResDIB::LoadBmpFile(xstring(missing.c_str()), b);
        FAIL() << "no exception";
    } catch (const VornException& e) {
        EXPECT_EQ(e.GetCode(), 2);
        EXPECT_TRUE(e.GetMessage() == xstring(("Can't open file " + missing).c_str()));
    }

    const std::string foreign = dir.File("foreign.bmp");
    WriteFile(foreign, std::vector<uint8_t>(100, 'X'));
    try {
        ResDIB::LoadBmpFile(xstring(foreign.c_str()), b);
        FAIL() << "no exception";
    } catch (const DeserialisationException& e) {
        EXPECT_TRUE(e.GetMessage() == "Bitmap file missing 'BM' at start of file");
    }

    const std::string tiny = dir.File("tiny.bmp");
    WriteFile(tiny, std::vector<uint8_t>{'B', 'M', 0, 0});
    EXPECT_THROW(ResDIB::LoadBmpFile(xstring(tiny.c_str()), b), DeserialisationException);
}

// One file buffer serves files of any size in turn, each decoding as on its own.
TEST(ResDIB, LoadImageFileReusesTheCallersFileBuffer)
{
    TempDir dir;
    std::vector<std::string> paths;
    for (int i = 0; i < 3; ++i) {
        const int w = i == 1 ? 300 : 40 + i, h = i == 1 ? 200 : 30;
        std::vector<uint8_t> samples(size_t(w) * h * 3);
        for (size_t k = 0; k < samples.size(); ++k) samples[k] = uint8_t(k * 7 + i);
        paths.push_back(dir.File("p" + std::to_string(i) + ".jpg"));
        WriteFile(paths.back(), LibraryJpeg(w, h, 3, JCS_RGB, samples, 90));
    }
    xvector<uint8_t> buffer;
    ResDIB reused;
    for (const std::string& p : paths) {
        ResDIB::LoadImageFile(xstring(p.c_str()), reused, buffer);
        ResDIB alone;
        ResDIB::LoadImageFile(xstring(p.c_str()), alone);
        ASSERT_EQ(reused.GetWidth(), alone.GetWidth());
        ASSERT_EQ(reused.GetHeight(), alone.GetHeight());
        EXPECT_EQ(std::memcmp(reused.GetPixels(), alone.GetPixels(), alone.GetHeader()->biSizeImage), 0) << p;
        EXPECT_EQ(size_t(buffer.size()), size_t(std::filesystem::file_size(p)));
    }
    EXPECT_THROW(ResDIB::LoadImageFile(xstring(dir.File("missing.jpg").c_str()), reused, buffer), VornException);
}

TEST(ResDIB, LoadImageFileTakesJpegForOtherExtensions)
{
    TempDir dir;
    ResDIB src;
    src.Create(24, 16, 8);
    JpegImage jpeg;
    EncodeJpegImage(src, jpeg);
    const std::string path = dir.File("IMAGE.jpg");
    WriteFile(path, std::vector<uint8_t>(jpeg.m_bytes.begin(), jpeg.m_bytes.end()));
    ResDIB b;
    ResDIB::LoadImageFile(xstring(path.c_str()), b);
    EXPECT_EQ(b.GetWidth(), 16);
    EXPECT_EQ(b.GetHeight(), 8);
    EXPECT_EQ(b.GetBitsPerPixel(), 24);
}
