#include "ImageTestUtil.h"
#include "vnImage/Jpeg.h"
#include "vnUtils/Archive.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/PagedBuffer.h"
#include "vnUtils/Streams.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace vorn;
using namespace vorn::test;

namespace {

std::vector<uint8_t> Bytes(const JpegImage& j) { return std::vector<uint8_t>(j.m_bytes.begin(), j.m_bytes.end()); }

std::string JpegErrorOf(const std::vector<uint8_t>& bytes)
{
    ResDIB b;
    try {
        b.ReadJpeg(bytes.data(), bytes.size());
    } catch (const JpegException& e) {
        return e.GetMessage();
    }
    return "no exception";
}

int Diff(int a, int b) { return a > b ? a - b : b - a; }

// A 24-bit bitmap of noise: its JPEG is many times the destination's 4096 bytes.
ResDIB Noise(int width, int height)
{
    ResDIB b;
    b.Create(24, width, height);
    uint32_t s = 12345;
    for (int y = 0; y < height; ++y) {
        uint8_t* row = b.GetImageRow(y);
        for (int x = 0; x < 3 * width; ++x) {
            s = s * 1103515245u + 12345u;
            row[x] = uint8_t(s >> 24);
        }
    }
    return b;
}

} // namespace

TEST(Jpeg, RgbRoundTripKeepsOrientationAndColours)
{
    const ResDIB src = RedOverBlue(256, 256);
    JpegImage jpeg;
    EncodeJpegImage(src, jpeg);
    ASSERT_TRUE(jpeg.IsValid());
    ASSERT_GT(jpeg.m_bytes.size(), 4);
    EXPECT_EQ(jpeg.m_bytes[0], 0xFF);
    EXPECT_EQ(jpeg.m_bytes[1], 0xD8);
    EXPECT_EQ(jpeg.m_bytes[jpeg.m_bytes.size() - 2], 0xFF);
    EXPECT_EQ(jpeg.m_bytes[jpeg.m_bytes.size() - 1], 0xD9);

    ResDIB back;
    back.ReadJpeg(jpeg.m_bytes.data(), size_t(jpeg.m_bytes.size()));
    EXPECT_EQ(back.GetBitsPerPixel(), 24);
    EXPECT_EQ(back.GetWidth(), 256);
    EXPECT_EQ(back.GetHeight(), 256);
    // The top row is still red (byte 2), the bottom row blue (byte 0).
    const uint8_t* top = back.GetImageRow(0) + 3 * 100;
    const uint8_t* bottom = back.GetImageRow(255) + 3 * 100;
    EXPECT_GT(top[2], 240);
    EXPECT_LT(top[0], 16);
    EXPECT_GT(bottom[0], 240);
    EXPECT_LT(bottom[2], 16);

    // A smooth picture survives closely, pixel by pixel.
    const std::vector<uint8_t> rgb = RgbGradient(64, 48);
    ResDIB grad;
    grad.Create(24, 64, 48);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x) {
            const uint8_t* s = rgb.data() + (size_t(y) * 64 + x) * 3;
            uint8_t* d = grad.GetImageRow(y) + 3 * x;
            d[0] = s[2];
            d[1] = s[1];
            d[2] = s[0];
        }
    EncodeJpegImage(grad, jpeg);
    back.ReadJpeg(jpeg.m_bytes.data(), size_t(jpeg.m_bytes.size()));
    int worst = 0;
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x)
            for (int c = 0; c < 3; ++c)
                worst = std::max(worst, Diff(back.GetImageRow(y)[3 * x + c], grad.GetImageRow(y)[3 * x + c]));
    EXPECT_LT(worst, 24);
}

TEST(Jpeg, RedBitmapIsRedToAStandardDecoder)
{
    ResDIB red;
    red.Create(24, 32, 16);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 32; ++x) red.GetImageRow(y)[3 * x + 2] = 255;
    JpegImage jpeg;
    EncodeJpegImage(red, jpeg);
    const Decoded d = LibraryDecode(jpeg.m_bytes.data(), size_t(jpeg.m_bytes.size()));
    EXPECT_EQ(d.jpegSpace, JCS_YCbCr);
    ASSERT_EQ(d.components, 3);
    EXPECT_GT(d.At(5, 5)[0], 240); // R
    EXPECT_LT(d.At(5, 5)[1], 16);  // G
    EXPECT_LT(d.At(5, 5)[2], 16);  // B

    ResDIB back;
    back.ReadJpeg(jpeg.m_bytes.data(), size_t(jpeg.m_bytes.size()));
    EXPECT_GT(back.GetImageRow(3)[3 * 7 + 2], 240);
    EXPECT_LT(back.GetImageRow(3)[3 * 7 + 0], 16);
}

TEST(Jpeg, GreyJpegDecodesToRampPaletteAndEncodesGrey)
{
    std::vector<uint8_t> grey(40 * 20);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 40; ++x) grey[size_t(y) * 40 + x] = uint8_t(y < 10 ? 30 : 200);
    const std::vector<uint8_t> bytes = LibraryJpeg(40, 20, 1, JCS_GRAYSCALE, grey);
    ResDIB b;
    b.ReadJpeg(bytes.data(), bytes.size());
    ASSERT_EQ(b.GetBitsPerPixel(), 8);
    EXPECT_EQ(b.GetWidth(), 40);
    EXPECT_EQ(b.GetHeight(), 20);
    EXPECT_EQ(b.GetPaletteSize(), 256);
    for (int i = 0; i < 256; ++i) {
        const RGBQUAD& q = b.GetPalette()[i];
        ASSERT_TRUE(q.rgbBlue == i && q.rgbGreen == i && q.rgbRed == i) << i;
    }
    EXPECT_LT(Diff(b.GetImageRow(0)[5], 30), 4); // top stays on top
    EXPECT_LT(Diff(b.GetImageRow(19)[5], 200), 4);

    JpegImage again;
    EncodeJpegImage(b, again);
    const Decoded d = LibraryDecode(again.m_bytes.data(), size_t(again.m_bytes.size()));
    ASSERT_EQ(d.components, 3);
    for (int y = 0; y < 20; y += 19) {
        const uint8_t* p = d.At(5, y);
        EXPECT_LT(Diff(p[0], p[1]), 3);
        EXPECT_LT(Diff(p[1], p[2]), 3);
        EXPECT_LT(Diff(p[0], y == 0 ? 30 : 200), 5);
    }
}

TEST(Jpeg, EncodesThirtyTwoAndFourBitBitmaps)
{
    ResDIB b32;
    b32.Create(32, 16, 16);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) {
            uint8_t* p = b32.GetImageRow(y) + 4 * x;
            p[0] = 0;   // blue
            p[1] = 200; // green
            p[2] = 0;   // red
            p[3] = 77;  // dropped
        }
    JpegImage jpeg;
    EncodeJpegImage(b32, jpeg);
    Decoded d = LibraryDecode(jpeg.m_bytes.data(), size_t(jpeg.m_bytes.size()));
    EXPECT_LT(Diff(d.At(3, 3)[1], 200), 6);
    EXPECT_LT(d.At(3, 3)[0], 10);

    // 4 bits: high nibble first; palette 1 blue, palette 2 red.
    ResDIB b4;
    b4.Create(4, 16, 16);
    b4.GetPalette()[1] = RGBQUAD{255, 0, 0, 0};
    b4.GetPalette()[2] = RGBQUAD{0, 0, 255, 0};
    for (int y = 0; y < 16; ++y)
        for (int i = 0; i < 8; ++i) b4.GetImageRow(y)[i] = i < 4 ? 0x11 : 0x22;
    EncodeJpegImage(b4, jpeg);
    d = LibraryDecode(jpeg.m_bytes.data(), size_t(jpeg.m_bytes.size()));
    EXPECT_GT(d.At(2, 8)[2], 230); // left half blue
    EXPECT_GT(d.At(13, 8)[0], 230); // right half red
}

TEST(Jpeg, UnsupportedDepthIsTracedAndFails)
{
    TraceCapture trace;
    ResDIB b;
    b.Create(16, 8, 8);
    JpegImage jpeg;
    try {
        EncodeJpegImage(b, jpeg);
        FAIL() << "no exception";
    } catch (const JpegException& e) {
        EXPECT_STREQ(e.GetMessage(), "Application transferred too few scanlines");
    }
    EXPECT_FALSE(jpeg.IsValid());
    EXPECT_EQ(trace.Text(), "Cannot serialise as 16bpp JPEG\n");
}

TEST(Jpeg, EmptyBitmapGivesEmptyInvalidImage)
{
    JpegImage jpeg;
    jpeg.m_bytes.resize(3, 1);
    jpeg.m_valid = true;
    EncodeJpegImage(ResDIB(), jpeg);
    EXPECT_FALSE(jpeg.IsValid());
    EXPECT_TRUE(jpeg.m_bytes.empty());
}

TEST(Jpeg, CmykJpegIsRefused)
{
    std::vector<uint8_t> cmyk(16 * 16 * 4, 100);
    const std::vector<uint8_t> bytes = LibraryJpeg(16, 16, 4, JCS_CMYK, cmyk);
    EXPECT_EQ(JpegErrorOf(bytes), "Unsupported color space on jpeg image");
    const JpegHeaderInfo info = ReadJpegMemoryHeader(bytes.data(), bytes.size());
    EXPECT_EQ(info.colour, JpegOutputColour::Other);
}

TEST(Jpeg, TruncatedJpegStillDecodesToFullSize)
{
    const ResDIB src = Noise(256, 256);
    JpegImage jpeg;
    EncodeJpegImage(src, jpeg);
    std::vector<uint8_t> bytes = Bytes(jpeg);
    bytes.resize(bytes.size() / 4);
    ResDIB b;
    b.ReadJpeg(bytes.data(), bytes.size());
    EXPECT_EQ(b.GetWidth(), 256);
    EXPECT_EQ(b.GetHeight(), 256);
    EXPECT_EQ(b.GetBitsPerPixel(), 24);
    // The first rows were decoded from real data.
    int same = 0;
    for (int x = 0; x < 3 * 256; ++x) same += Diff(b.GetImageRow(0)[x], src.GetImageRow(0)[x]) < 64;
    EXPECT_GT(same, 3 * 256 / 2);
}

// The library's warning on a cut-off file goes to the trace with the file's name, not to
// standard error.
TEST(Jpeg, WarningOnDamagedDataNamesTheFileInTheTrace)
{
    JpegImage jpeg;
    EncodeJpegImage(Noise(64, 64), jpeg);
    std::vector<uint8_t> bytes = Bytes(jpeg);
    bytes.resize(bytes.size() / 2);
    TempDir dir;
    const std::string path = dir.File("cut.jpg");
    WriteFile(path, bytes);
    CloseLogSink(); // an unopened sink keeps what is traced
    ResDIB b;
    b.LoadJpegFile(xstring(path.c_str()));
    const std::string text = GetLogSink()->GetPendingText().c_str();
    EXPECT_NE(text.find("JPEG warning in " + path + " : "), std::string::npos) << text;
    EXPECT_EQ(b.GetWidth(), 64);
}

// A bitmap decoded into again, whatever it held, gets the same bytes as a new one: every
// pixel, the row padding, the header and the palette. Shapes change in between.
TEST(Jpeg, DecodingIntoAUsedBitmapGivesTheSameBytes)
{
    const std::vector<uint8_t> rgb = LibraryJpeg(33, 17, 3, JCS_RGB, RgbGradient(33, 17)); // rows padded
    JpegImage noise;
    EncodeJpegImage(Noise(256, 256), noise);
    std::vector<uint8_t> grey(31 * 9);
    for (size_t i = 0; i < grey.size(); ++i) grey[i] = uint8_t(i * 7);
    const std::vector<uint8_t> greyJpeg = LibraryJpeg(31, 9, 1, JCS_GRAYSCALE, grey);
    const std::vector<uint8_t> streams[] = {rgb, Bytes(noise), greyJpeg, rgb, rgb, greyJpeg, greyJpeg};

    auto blockBytes = [](const ResDIB& b) {
        const auto* h = reinterpret_cast<const uint8_t*>(b.GetHeader());
        std::vector<uint8_t> v(h, h + sizeof(BITMAPINFOHEADER) + 4 * size_t(b.GetPaletteSize()));
        v.insert(v.end(), b.GetPixels(), b.GetPixels() + b.GetHeader()->biSizeImage);
        return v;
    };
    ResDIB reused;
    for (const auto& bytes : streams) {
        ResDIB fresh;
        fresh.ReadJpeg(bytes.data(), bytes.size());
        const uint8_t* before = reused.GetPixels();
        const bool sameShape = !reused.IsEmpty() && reused.GetBitsPerPixel() == fresh.GetBitsPerPixel() &&
                               reused.GetWidth() == fresh.GetWidth() && reused.GetHeight() == fresh.GetHeight();
        reused.ReadJpeg(bytes.data(), bytes.size());
        EXPECT_EQ(blockBytes(reused), blockBytes(fresh));
        if (sameShape) {
            EXPECT_EQ(reused.GetPixels(), before) << "a bitmap of the same shape is reused";
        }
        // Junk everywhere, as a recycled block would hold, for the next round.
        std::memset(reused.GetPixels(), 0xA7, reused.GetHeader()->biSizeImage);
        if (reused.GetPaletteSize()) std::memset(reused.GetPalette(), 0x5C, 4 * size_t(reused.GetPaletteSize()));
        reused.GetHeader()->biXPelsPerMeter = 77;
    }

    // A stream that fails before decoding leaves the bitmap; a refused colour space too.
    const std::vector<uint8_t> junk(40, 0x11);
    EXPECT_THROW(reused.ReadJpeg(junk.data(), junk.size()), JpegException);
    EXPECT_FALSE(reused.IsEmpty());
}

TEST(Jpeg, ForeignAndDamagedBytesFailWithTheLibraryMessage)
{
    const std::string text = "hello, this is not an image";
    EXPECT_EQ(JpegErrorOf(std::vector<uint8_t>(text.begin(), text.end())), "Not a JPEG file: starts with 0x68 0x65");
    EXPECT_EQ(JpegErrorOf({}), "Not a JPEG file: starts with 0xff 0xd9");
    // A stream cut inside its header has no image.
    const std::vector<uint8_t> good = LibraryJpeg(16, 16, 3, JCS_RGB, RgbGradient(16, 16));
    EXPECT_EQ(JpegErrorOf(std::vector<uint8_t>(good.begin(), good.begin() + 20)), "JPEG datastream contains no image");
    try {
        ReadJpegMemoryHeader(reinterpret_cast<const uint8_t*>(text.data()), text.size());
        FAIL() << "no exception";
    } catch (const JpegException& e) {
        // The description is the message.
        EXPECT_EQ(Str(e.Describe()), "Not a JPEG file: starts with 0x68 0x65");
        const JpegException copy(e);
        EXPECT_STREQ(copy.GetMessage(), e.GetMessage());
    }
}

TEST(Jpeg, HeaderProbeReportsSizeAndColour)
{
    const std::vector<uint8_t> rgb = LibraryJpeg(33, 17, 3, JCS_RGB, RgbGradient(33, 17));
    JpegHeaderInfo info = ReadJpegMemoryHeader(rgb.data(), rgb.size());
    EXPECT_EQ(info.width, 33);
    EXPECT_EQ(info.height, 17);
    EXPECT_EQ(info.colour, JpegOutputColour::Rgb);

    TempDir dir;
    const std::string path = dir.File("g.jpg");
    WriteFile(path, LibraryJpeg(7, 9, 1, JCS_GRAYSCALE, std::vector<uint8_t>(63, 50)));
    FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    info = ReadJpegFileHeader(f);
    std::fclose(f);
    EXPECT_EQ(info.width, 7);
    EXPECT_EQ(info.height, 9);
    EXPECT_EQ(info.colour, JpegOutputColour::Grey);
}

TEST(Jpeg, DestinationKeepsTheArchiveStreamInOrder)
{
    // A JPEG much larger than 4096 bytes between bytes the archive buffers itself.
    const ResDIB src = Noise(200, 150);
    JpegImage alone;
    EncodeJpegImage(src, alone);
    ASSERT_GT(alone.m_bytes.size(), 3 * 4096);

    VectorOutputStream out;
    int64_t written;
    {
        Archive ar(&out);
        for (int i = 0; i < 10; ++i) ar.WriteByte(0xAA);
        WriteResDibAsJpeg(src, ar);
        ar.WriteByte(0xBB);
        ar.Flush();
        written = ar.GetNumBytesWritten();
    }
    ASSERT_EQ(out.m_bytes.size(), size_t(alone.m_bytes.size()) + 11);
    EXPECT_EQ(written, int64_t(out.m_bytes.size()));
    for (int i = 0; i < 10; ++i) EXPECT_EQ(out.m_bytes[size_t(i)], 0xAA);
    EXPECT_EQ(std::memcmp(out.m_bytes.data() + 10, alone.m_bytes.data(), size_t(alone.m_bytes.size())), 0);
    EXPECT_EQ(out.m_bytes.back(), 0xBB);
}

TEST(Jpeg, FailingArchiveStreamPassesItsExceptionThrough)
{
    const ResDIB src = Noise(200, 150);
    uint8_t room[6000];
    BufferToOutputStreamAdapter out(room, sizeof(room));
    Archive ar(&out);
    EXPECT_THROW(WriteResDibAsJpeg(src, ar), BufferOverflowException);
}

TEST(Jpeg, ImageSerialisesWithSchemaFlagAndBytes)
{
    JpegImage jpeg;
    EncodeJpegImage(RedOverBlue(16, 16), jpeg);
    PagedBuffer buffer;
    PagedBufferToOutputStreamAdapter out(&buffer);
    {
        Archive ar(&out);
        jpeg.Serialise(ar);
        JpegImage().Serialise(ar);
        ar.Flush();
    }
    xvector<uint8_t> bytes;
    buffer.CopyTo(bytes);
    ASSERT_GT(bytes.size(), 4);
    EXPECT_EQ(bytes[0], 1); // schema
    EXPECT_EQ(bytes[1], 1); // valid
    EXPECT_EQ(bytes[bytes.size() - 2], 1); // the invalid one: schema 1, flag 0, nothing more
    EXPECT_EQ(bytes[bytes.size() - 1], 0);

    JpegImage a, b;
    InputArchive in(bytes.data(), size_t(bytes.size()));
    in = a.Deserialise(in);
    in = b.Deserialise(in);
    EXPECT_TRUE(in.AtEnd());
    EXPECT_TRUE(a == jpeg);
    EXPECT_FALSE(b.IsValid());
    EXPECT_TRUE(b.m_bytes.empty());

    const uint8_t schema2[] = {2, 0};
    try {
        a.Deserialise(InputArchive(schema2, sizeof(schema2)));
        FAIL() << "no exception";
    } catch (const DeserialisationException& e) {
        EXPECT_EQ(Str(e.GetMessage()), "Bad schema (2) - should be 1");
    }
}

namespace {

// The stream with its frame header's height and width replaced.
std::vector<uint8_t> WithFrameSize(std::vector<uint8_t> bytes, int width, int height)
{
    size_t sof = 0;
    for (size_t i = 2; i + 9 < bytes.size() && sof == 0; ++i)
        if (bytes[i] == 0xFF && bytes[i + 1] == 0xC0) sof = i;
    EXPECT_NE(sof, 0u);
    if (sof == 0) return bytes;
    bytes[sof + 5] = uint8_t(height >> 8);
    bytes[sof + 6] = uint8_t(height);
    bytes[sof + 7] = uint8_t(width >> 8);
    bytes[sof + 8] = uint8_t(width);
    return bytes;
}

std::string DecodeError(ResDIB& b, const std::vector<uint8_t>& bytes, const JpegShape& shape)
{
    try {
        b.ReadJpeg(bytes.data(), bytes.size(), shape);
    } catch (const JpegException& e) {
        return e.GetMessage();
    }
    return "";
}

} // namespace

// A decode that requires a shape checks the frame header first: a stream of any other
// size or depth is refused before anything is taken for its pixels, and the bitmap keeps
// what it held (here a decoded tile). A frame header claiming 30000 x 30000 from a few
// hundred bytes is refused the same way. The coder decodes the next good tile as usual.
TEST(Jpeg, RequiredShapeIsCheckedBeforeThePixels)
{
    const JpegShape tile{256, 256, 24};
    const std::vector<uint8_t> good = LibraryJpeg(256, 256, 3, JCS_RGB, RgbGradient(256, 256));
    ResDIB plain;
    plain.ReadJpeg(good.data(), good.size());
    ResDIB b;
    b.ReadJpeg(good.data(), good.size(), tile);
    ASSERT_EQ(b.GetBitsPerPixel(), 24);
    ASSERT_EQ(b.GetWidth(), 256);
    ASSERT_EQ(b.GetHeight(), 256);
    ASSERT_EQ(std::memcmp(b.GetPixels(), plain.GetPixels(), 256 * 768), 0);
    const uint8_t* pixels = b.GetPixels();

    // Sizes a plain decode would accept come first: a decoder that ignored the shape
    // stops the test here, before the huge one.
    ASSERT_EQ(DecodeError(b, WithFrameSize(good, 512, 256), tile), "JPEG image is 512 x 256 at 24 bits per pixel, not 256 x 256 at 24");
    ASSERT_EQ(DecodeError(b, WithFrameSize(good, 256, 255), tile), "JPEG image is 256 x 255 at 24 bits per pixel, not 256 x 256 at 24");
    const std::vector<uint8_t> grey = LibraryJpeg(256, 256, 1, JCS_GRAYSCALE, std::vector<uint8_t>(65536, 77));
    ASSERT_EQ(DecodeError(b, grey, tile), "JPEG image is 256 x 256 at 8 bits per pixel, not 256 x 256 at 24");
    EXPECT_EQ(DecodeError(b, WithFrameSize(good, 30000, 30000), tile),
              "JPEG image is 30000 x 30000 at 24 bits per pixel, not 256 x 256 at 24");
    EXPECT_EQ(b.GetPixels(), pixels);
    EXPECT_EQ(b.GetWidth(), 256);
    EXPECT_EQ(std::memcmp(b.GetPixels(), plain.GetPixels(), 256 * 768), 0);
    // A grey tile is what it asks for.
    ResDIB g;
    g.ReadJpeg(grey.data(), grey.size(), JpegShape{256, 256, 8});
    EXPECT_EQ(g.GetBitsPerPixel(), 8);

    ResDIB next;
    next.ReadJpeg(good.data(), good.size(), tile);
    EXPECT_EQ(std::memcmp(next.GetPixels(), plain.GetPixels(), 256 * 768), 0);
}

// Threads decoding at once, each with its own coder, get the bytes of a plain decode.
TEST(Jpeg, ThreadedDecodersEachUseTheirOwnCoder)
{
    const std::vector<uint8_t> a = LibraryJpeg(256, 256, 3, JCS_RGB, RgbGradient(256, 256));
    const std::vector<uint8_t> c = LibraryJpeg(64, 48, 3, JCS_RGB, RgbGradient(64, 48), 50);
    ResDIB wantA, wantC;
    wantA.ReadJpeg(a.data(), a.size());
    wantC.ReadJpeg(c.data(), c.size());
    std::vector<int> mismatches(4, 0);
    std::vector<const JpegCoder*> coders(4, nullptr);
    std::vector<int64_t> decodes(4, 0), decompressors(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            const JpegCoder& coder = GetThreadJpegCoder();
            coders[size_t(t)] = &coder;
            ResDIB b;
            for (int i = 0; i < 20; ++i) {
                const bool big = ((i + t) & 1) != 0;
                const std::vector<uint8_t>& bytes = big ? a : c;
                const ResDIB& want = big ? wantA : wantC;
                if (big)
                    b.ReadJpeg(bytes.data(), bytes.size(), JpegShape{256, 256, 24});
                else
                    b.ReadJpeg(bytes.data(), bytes.size());
                if (b.GetWidth() != want.GetWidth() ||
                    std::memcmp(b.GetPixels(), want.GetPixels(), size_t(want.GetStride()) * size_t(want.GetHeight())) != 0)
                    ++mismatches[size_t(t)];
            }
            decodes[size_t(t)] = coder.GetDecodeCount();
            decompressors[size_t(t)] = coder.GetDecompressorsCreated();
        });
    for (std::thread& th : threads) th.join();
    for (int t = 0; t < 4; ++t) {
        EXPECT_EQ(mismatches[size_t(t)], 0) << t;
        // Every decode of the thread went through its coder, which kept its decompressor.
        EXPECT_EQ(decodes[size_t(t)], 20) << t;
        EXPECT_EQ(decompressors[size_t(t)], 1) << t;
        for (int u = 0; u < t; ++u) EXPECT_NE(coders[size_t(t)], coders[size_t(u)]);
    }
    EXPECT_EQ(&GetThreadJpegCoder(), &GetThreadJpegCoder());
}

// Whichever way a bitmap is decoded, the decode goes through the calling thread's
// coder and its one library decompressor: none makes a coder or a decompressor of its
// own. A failure part way gives the coder a new decompressor for the next image.
TEST(Jpeg, EveryDecodeGoesThroughTheThreadsCoder)
{
    const std::vector<uint8_t> jpeg = LibraryJpeg(256, 256, 3, JCS_RGB, RgbGradient(256, 256));
    TempDir dir;
    WriteFile(dir.File("tile.jpg"), jpeg);
    const xstring path(dir.File("tile.jpg").c_str());
    const JpegCoder& coder = GetThreadJpegCoder();
    ResDIB first;
    first.ReadJpeg(jpeg.data(), jpeg.size());
    const int64_t decodes = coder.GetDecodeCount();
    const int64_t decompressors = coder.GetDecompressorsCreated();
    ASSERT_GE(decompressors, 1);

    ResDIB a, b, c, d, e;
    a.ReadJpeg(jpeg.data(), jpeg.size());
    b.ReadJpeg(jpeg.data(), jpeg.size(), "tile.jpg");
    c.ReadJpeg(jpeg.data(), jpeg.size(), JpegShape{256, 256, 24});
    d.LoadJpegFile(path);
    ResDIB::LoadImageFile(path, e);
    EXPECT_EQ(coder.GetDecodeCount(), decodes + 5);
    EXPECT_EQ(coder.GetDecompressorsCreated(), decompressors);
    for (const ResDIB* r : {&a, &b, &c, &d, &e}) EXPECT_EQ(std::memcmp(r->GetPixels(), first.GetPixels(), 256 * 768), 0);

    // A refused shape leaves the decompressor as it was; damaged data replaces it.
    EXPECT_THROW(a.ReadJpeg(jpeg.data(), jpeg.size(), JpegShape{128, 128, 24}), JpegException);
    EXPECT_EQ(coder.GetDecompressorsCreated(), decompressors);
    const std::string text = "not a jpeg";
    EXPECT_THROW(a.ReadJpeg(reinterpret_cast<const uint8_t*>(text.data()), text.size()), JpegException);
    a.ReadJpeg(jpeg.data(), jpeg.size());
    EXPECT_EQ(coder.GetDecodeCount(), decodes + 8);
    EXPECT_EQ(coder.GetDecompressorsCreated(), decompressors + 1);
}

TEST(Jpeg, BitmapTooLargeForMemoryFailsCleanly)
{
    // A small JPEG whose frame header claims 65500 x 65500: the bitmap cannot be made,
    // and that exception leaves through the framework's frame, not the library's.
    const std::vector<uint8_t> bytes = WithFrameSize(LibraryJpeg(16, 16, 3, JCS_RGB, RgbGradient(16, 16)), 65500, 65500);
    const JpegHeaderInfo info = ReadJpegMemoryHeader(bytes.data(), bytes.size());
    EXPECT_EQ(info.width, 65500);
    EXPECT_EQ(info.height, 65500);
    ResDIB b;
    for (int i = 0; i < 3; ++i) EXPECT_THROW(b.ReadJpeg(bytes.data(), bytes.size()), VornException);
    EXPECT_TRUE(b.IsEmpty());
}

// The error paths release everything: the sanitizer build reports any leak at exit.
TEST(Jpeg, ErrorPathsReleaseTheLibraryObjects)
{
    const std::string text = "not a jpeg";
    const std::vector<uint8_t> cmyk = LibraryJpeg(8, 8, 4, JCS_CMYK, std::vector<uint8_t>(256, 9));
    ResDIB b16;
    b16.Create(16, 4, 4);
    for (int i = 0; i < 50; ++i) {
        ResDIB b;
        EXPECT_THROW(b.ReadJpeg(reinterpret_cast<const uint8_t*>(text.data()), text.size()), JpegException);
        EXPECT_THROW(b.ReadJpeg(cmyk.data(), cmyk.size()), JpegException);
        JpegImage j;
        PagedBuffer buffer;
        PagedBufferToOutputStreamAdapter out(&buffer);
        Archive ar(&out);
        EXPECT_THROW(WriteResDibAsJpeg(b16, ar), JpegException);
    }
}
