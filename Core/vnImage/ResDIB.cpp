#include "vnImage/ResDIB.h"
#include "vnUtils/Archive.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/File.h"
#include "vnUtils/Memory.h"
#include "vnUtils/TextWriter.h"
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

namespace vorn {

namespace {

constexpr int64_t kMaxPixelBytes = int64_t(UINT32_MAX); // biSizeImage is 32 bits

[[noreturn]] void ThrowBadDib(const char* what, int64_t value)
{
    StringTextWriter w;
    w << what << static_cast<long long>(value);
    throw DeserialisationException(w.TakeText());
}

int64_t HeaderBlockBytes(int bitsPerPixel)
{
    return int64_t(sizeof(BITMAPINFOHEADER)) + int64_t(sizeof(RGBQUAD)) * ResDIB::PaletteSizeForBitCount(bitsPerPixel);
}

int64_t PixelBytes(const BITMAPINFOHEADER& h)
{
    return ResDIB::StrideFor(h.biBitCount, h.biWidth) * h.biHeight;
}

// Where a bitmap's pixels start: 16 bytes past a 32-byte boundary. The JPEG library
// writes a decoded row that starts on a 32-byte boundary with streaming stores, which
// bypass the cache; a tile's rows (768 bytes apart) all start where its first one
// does, so a tile whose block happened to lie on such a boundary decoded markedly
// slower (7 to 30 per cent, as measured), and its pixels then had to come back from
// memory for the texture upload. Every pixel block is therefore taken 16 bytes larger
// than asked, and its pixels start at whichever of its first two 16-byte positions
// lies off the boundary.
constexpr uintptr_t kPixelAlignment = 32;
constexpr uintptr_t kPixelPlacement = 16;
constexpr size_t kPlacementSlack = 16; // MemAlloc's blocks are aligned to 16
static_assert(kPixelPlacement % 16 == 0 && kPixelPlacement < kPixelAlignment, "a placement MemAlloc can reach");

// Pixel blocks of 256 x 256 24-bit bitmaps, which image pyramids create and free by
// the thousand, go back to a small process-wide free list rather than to the heap, so
// that a new bitmap of that size reuses memory already paged in (the heap may hand a
// freed block's pages back to the system). At most kMaxRecycled blocks are kept. Under
// AddressSanitizer blocks are always freed, so that its checks see every block.
constexpr size_t kRecycledPixelBytes = 256 * 256 * 3;
#if defined(__SANITIZE_ADDRESS__)
constexpr int kMaxRecycled = 0;
#else
constexpr int kMaxRecycled = 32;
#endif

// The pixels of a block from AllocPixels, and how far into the block they start.
struct PixelBlock {
    uint8_t* pixels = nullptr;
    int32_t offset = 0;
};

class RecycledPixelBlocks {
public:
    // An empty block (null pixels) when none is kept.
    PixelBlock Take() noexcept
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_count > 0 ? m_blocks[--m_count] : PixelBlock{};
    }
    // False when the list is full.
    bool Give(const PixelBlock& block) noexcept
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_count >= kMaxRecycled) return false;
        m_blocks[m_count++] = block;
        return true;
    }

private:
    std::mutex m_lock;
    int m_count = 0;
    PixelBlock m_blocks[kMaxRecycled > 0 ? kMaxRecycled : 1] = {};
};

// Never destroyed: bitmaps may be freed by static destructors after it would be.
RecycledPixelBlocks& GetRecycledPixelBlocks()
{
    static RecycledPixelBlocks* blocks = new RecycledPixelBlocks();
    return *blocks;
}

// A pixel block for bytes bytes of pixels, placed as above (null pixels when memory
// runs out).
PixelBlock AllocPixels(size_t bytes) noexcept
{
    if (bytes == kRecycledPixelBytes && kMaxRecycled > 0) {
        const PixelBlock block = GetRecycledPixelBlocks().Take();
        if (block.pixels) return block;
    }
    auto* start = static_cast<uint8_t*>(MemAlloc(bytes + kPlacementSlack));
    if (!start) return PixelBlock{};
    const uintptr_t offset = (kPixelPlacement - reinterpret_cast<uintptr_t>(start)) % kPixelAlignment;
    return PixelBlock{start + offset, int32_t(offset)};
}

// Frees a block from AllocPixels of capacity bytes of pixels.
void FreePixels(const PixelBlock& block, size_t capacity) noexcept
{
    if (!block.pixels) return;
    if (capacity == kRecycledPixelBytes && kMaxRecycled > 0 && GetRecycledPixelBlocks().Give(block)) return;
    MemFree(block.pixels - block.offset);
}

void RequireRect24(const ResDIB& b, const Rect2i& r, const char* what)
{
    if (b.GetBitsPerPixel() != 24)
        throw ProgrammingErrorException(xstring(what) + " needs a 24-bit bitmap");
    if (r.x1 < 0 || r.y1 < 0 || r.x1 > r.x2 || r.y1 > r.y2 || r.x2 > b.GetWidth() || r.y2 > b.GetHeight())
        throw ProgrammingErrorException(xstring(what) + " rectangle lies outside the bitmap");
}

} // namespace

int32_t ResDIB::PaletteSizeForBitCount(int bitsPerPixel)
{
    switch (bitsPerPixel) {
    case 1: return 2;
    case 4: return 16;
    case 8: return 256;
    default: return 0;
    }
}

int64_t ResDIB::StrideFor(int bitsPerPixel, int32_t width)
{
    return ((int64_t(bitsPerPixel) * width + 31) / 32) * 4;
}

ResDIB::ResDIB(const ResDIB& o)
{
    if (!o.m_header) return;
    const size_t headerBytes = size_t(HeaderBlockBytes(o.m_header->biBitCount));
    const size_t pixelBytes = o.m_header->biSizeImage;
    auto* header = static_cast<BITMAPINFOHEADER*>(MemAllocOrThrow(headerBytes));
    const PixelBlock block = AllocPixels(pixelBytes);
    if (!block.pixels) {
        MemFree(header);
        throw std::bad_alloc();
    }
    std::memcpy(header, o.m_header, headerBytes);
    std::memcpy(block.pixels, o.m_pixels, pixelBytes);
    m_header = header;
    m_pixels = block.pixels;
    m_pixelOffset = block.offset;
    m_pixelCapacity = pixelBytes;
    m_stride = o.m_stride;
}

ResDIB& ResDIB::operator=(const ResDIB& o)
{
    if (this != &o) {
        ResDIB copy(o);
        swap(copy);
    }
    return *this;
}

ResDIB::ResDIB(ResDIB&& o) noexcept
    : m_header(o.m_header), m_pixels(o.m_pixels), m_pixelCapacity(o.m_pixelCapacity), m_stride(o.m_stride),
      m_pixelOffset(o.m_pixelOffset)
{
    o.m_header = nullptr;
    o.m_pixels = nullptr;
    o.m_pixelCapacity = 0;
    o.m_stride = 0;
    o.m_pixelOffset = 0;
}

ResDIB& ResDIB::operator=(ResDIB&& o) noexcept
{
    if (this != &o) {
        Clear();
        swap(o);
    }
    return *this;
}

void ResDIB::swap(ResDIB& o) noexcept
{
    std::swap(m_header, o.m_header);
    std::swap(m_pixels, o.m_pixels);
    std::swap(m_pixelCapacity, o.m_pixelCapacity);
    std::swap(m_stride, o.m_stride);
    std::swap(m_pixelOffset, o.m_pixelOffset);
}

void ResDIB::Clear() noexcept
{
    MemFree(m_header);
    FreePixels(PixelBlock{m_pixels, m_pixelOffset}, m_pixelCapacity);
    m_header = nullptr;
    m_pixels = nullptr;
    m_pixelCapacity = 0;
    m_stride = 0;
    m_pixelOffset = 0;
}

void ResDIB::Create(int bitsPerPixel, int32_t width, int32_t height)
{
    CreateForOverwrite(bitsPerPixel, width, height);
    std::memset(m_pixels, 0, m_header->biSizeImage);
}

void ResDIB::CheckShape(int bitsPerPixel, int32_t width, int32_t height)
{
    if (bitsPerPixel < 1 || bitsPerPixel > 32)
        ThrowVornExceptionF(GeneralErrorCategory(), 1, "Bad bitmap depth %d", bitsPerPixel);
    const int64_t stride = StrideFor(bitsPerPixel, width);
    if (width < 0 || height < 0 || stride > INT32_MAX || stride * height > kMaxPixelBytes)
        ThrowVornExceptionF(GeneralErrorCategory(), 1, "Bad bitmap size %d x %d", int(width), int(height));
}

void ResDIB::CreateForOverwrite(int bitsPerPixel, int32_t width, int32_t height)
{
    const bool sameShape = m_header && m_header->biBitCount == bitsPerPixel && m_header->biWidth == width &&
                           m_header->biHeight == height;
    if (!sameShape) {
        try {
            CheckShape(bitsPerPixel, width, height);
        } catch (...) {
            Clear();
            throw;
        }
        const int64_t stride = StrideFor(bitsPerPixel, width);
        // Blocks that are large enough are kept, so that a decoder filling one bitmap with
        // images of changing sizes touches no new memory once it has seen the largest.
        const size_t headerBytes = size_t(HeaderBlockBytes(bitsPerPixel));
        if (m_header && size_t(HeaderBlockBytes(m_header->biBitCount)) < headerBytes) {
            MemFree(m_header);
            m_header = nullptr;
        }
        const size_t pixelBytes = size_t(stride * height);
        if (m_pixels && m_pixelCapacity < pixelBytes) {
            FreePixels(PixelBlock{m_pixels, m_pixelOffset}, m_pixelCapacity);
            m_pixels = nullptr;
            m_pixelCapacity = 0;
            m_pixelOffset = 0;
        }
        if (!m_header) {
            m_header = static_cast<BITMAPINFOHEADER*>(MemAlloc(headerBytes));
            if (!m_header) {
                Clear();
                throw std::bad_alloc();
            }
        }
        if (!m_pixels) {
            const PixelBlock block = AllocPixels(pixelBytes);
            if (!block.pixels) {
                Clear();
                throw std::bad_alloc();
            }
            m_pixels = block.pixels;
            m_pixelOffset = block.offset;
            m_pixelCapacity = pixelBytes;
        }
        m_stride = int32_t(stride);
    }
    const int32_t paletteSize = PaletteSizeForBitCount(bitsPerPixel);
    BITMAPINFOHEADER* header = m_header;
    header->biSize = sizeof(BITMAPINFOHEADER);
    header->biWidth = width;
    header->biHeight = height;
    header->biPlanes = 1;
    header->biBitCount = uint16_t(bitsPerPixel);
    header->biCompression = BI_RGB;
    header->biSizeImage = uint32_t(int64_t(m_stride) * height);
    header->biXPelsPerMeter = 0;
    header->biYPelsPerMeter = 0;
    header->biClrUsed = uint32_t(paletteSize);
    header->biClrImportant = 0;
    // Black until the caller fills it in.
    std::memset(header + 1, 0, sizeof(RGBQUAD) * size_t(paletteSize));
    // The bytes after the last pixel of each row belong to no pixel: zero, so that
    // copies and stored forms never carry stale memory.
    const size_t used = (size_t(bitsPerPixel) * size_t(width) + 7) / 8;
    if (used < size_t(m_stride)) {
        for (int32_t r = 0; r < height; ++r) std::memset(GetMemoryRow(r) + used, 0, size_t(m_stride) - used);
    }
}

int32_t ResDIB::GetWidth() const
{
    if (!m_header) ThrowVornException("Bitmap info is NULL");
    return m_header->biWidth;
}

int32_t ResDIB::GetHeight() const
{
    if (!m_header) ThrowVornException("Bitmap info is NULL");
    return m_header->biHeight;
}

void ResDIB::CopyRect24(const Point2i& dstPoint, ResDIB& dst, const ResDIB& src, const Rect2i& srcRect)
{
    const int32_t n = srcRect.y2 - srcRect.y1;
    const int32_t w = srcRect.x2 - srcRect.x1;
    if (n <= 0 || w <= 0) return;
    RequireRect24(src, srcRect, "CopyRect24");
    RequireRect24(dst, Rect2i{dstPoint.x, dstPoint.y, dstPoint.x + w, dstPoint.y + n}, "CopyRect24");

    const size_t rowBytes = size_t(3) * size_t(w);
    const ptrdiff_t srcStride = src.m_stride;
    const ptrdiff_t dstStride = dst.m_stride;
    // The rectangle's bottom row in both bitmaps; rows then go upwards in memory.
    const uint8_t* s = src.GetMemoryRow(src.m_header->biHeight - srcRect.y2) + 3 * ptrdiff_t(srcRect.x1);
    uint8_t* d = dst.GetMemoryRow(dst.m_header->biHeight - n - dstPoint.y) + 3 * ptrdiff_t(dstPoint.x);
    if (&src == &dst) {
        for (int32_t i = 0; i < n; ++i, s += srcStride, d += dstStride) std::memmove(d, s, rowBytes);
    } else {
        for (int32_t i = 0; i < n; ++i, s += srcStride, d += dstStride) std::memcpy(d, s, rowBytes);
    }
}

uint32_t ResDIB::AverageColour(const Rect2i& rect, const ResDIB& bitmap)
{
    RequireRect24(bitmap, rect, "AverageColour");
    const int32_t w = rect.x2 - rect.x1;
    const int32_t h = rect.y2 - rect.y1;
    if (w <= 0 || h <= 0) throw ProgrammingErrorException("AverageColour of an empty rectangle");

    // Two pixels per step with six running sums, then the odd pixel.
    uint64_t a0 = 0, a1 = 0, a2 = 0, b0 = 0, b1 = 0, b2 = 0;
    const int32_t pairs = w / 2;
    for (int32_t y = rect.y1; y < rect.y2; ++y) {
        const uint8_t* p = bitmap.GetImageRow(y) + 3 * ptrdiff_t(rect.x1);
        for (int32_t i = 0; i < pairs; ++i, p += 6) {
            a0 += p[0];
            a1 += p[1];
            a2 += p[2];
            b0 += p[3];
            b1 += p[4];
            b2 += p[5];
        }
        if (w & 1) {
            a0 += p[0];
            a1 += p[1];
            a2 += p[2];
        }
    }
    const uint64_t count = uint64_t(w) * uint64_t(h);
    const uint32_t c0 = uint32_t(((a0 + b0) / count) & 0xFF);
    const uint32_t c1 = uint32_t(((a1 + b1) / count) & 0xFF);
    const uint32_t c2 = uint32_t(((a2 + b2) / count) & 0xFF);
    return c0 << 16 | c1 << 8 | c2;
}

namespace {

using Bytes16 = uint8_t __attribute__((vector_size(16)));
using Words16 = uint16_t __attribute__((vector_size(32)));

// Destination pixels per call of HalveRows.
constexpr int32_t kHalvedPixelsPerStep = 256;

// Halves image rows upper (2y) and lower (2y + 1), at most kHalvedPixelsPerStep
// destination pixels wide, into d. Byte j of the sums below is the average of byte j
// and byte j + 3 of both rows, so for j = 6x + k it is channel k of destination pixel
// x: whole rows are summed 16 bytes at a time, then every second pixel is kept.
void HalveRows(const uint8_t* __restrict upper, const uint8_t* __restrict lower, uint8_t* __restrict d, int32_t w)
{
    uint8_t h[6 * kHalvedPixelsPerStep];
    const int32_t n = 6 * w;
    int32_t j = 0;
    for (; j + 16 + 3 <= n; j += 16) {
        Bytes16 u0, l0, u3, l3;
        std::memcpy(&u0, upper + j, 16);
        std::memcpy(&l0, lower + j, 16);
        std::memcpy(&u3, upper + j + 3, 16);
        std::memcpy(&l3, lower + j + 3, 16);
        const Words16 sum = __builtin_convertvector(u0, Words16) + __builtin_convertvector(l0, Words16) +
                            __builtin_convertvector(u3, Words16) + __builtin_convertvector(l3, Words16);
        const Bytes16 average = __builtin_convertvector(sum >> 2, Bytes16);
        std::memcpy(h + j, &average, 16);
    }
    for (; j < n - 3; ++j) h[j] = uint8_t((unsigned(upper[j]) + upper[j + 3] + lower[j] + lower[j + 3]) >> 2);
    // Four bytes at a time: the fourth is the next pixel's first, written again next.
    int32_t x = 0;
    for (; x + 1 < w; ++x) std::memcpy(d + 3 * x, h + 6 * x, 4);
    std::memcpy(d + 3 * x, h + 6 * x, 3);
}

} // namespace

void ResDIB::Average2x2(const ResDIB& src, uint8_t* dstPixels, int32_t dstStride, int32_t dstHeight,
                        const Rect2i& dstRect)
{
    const int32_t w = dstRect.x2 - dstRect.x1;
    const int32_t h = dstRect.y2 - dstRect.y1;
    if (w <= 0 || h <= 0) return;
    RequireRect24(src, Rect2i{0, 0, 2 * w, 2 * h}, "Average2x2");
    if (dstRect.x1 < 0 || dstRect.y1 < 0 || dstRect.y2 > dstHeight || int64_t(dstRect.x2) * 3 > dstStride)
        throw ProgrammingErrorException("Average2x2 rectangle lies outside the destination");

    const ptrdiff_t srcStride = src.m_stride;
    for (int32_t y = 0; y < h; ++y) {
        // Image rows 2y and 2y + 1 of the source: the first lies one stride above the second.
        const uint8_t* lower = src.GetImageRow(2 * y + 1);
        const uint8_t* upper = lower + srcStride;
        uint8_t* d = dstPixels + ptrdiff_t(dstHeight - 1 - (dstRect.y1 + y)) * dstStride + 3 * ptrdiff_t(dstRect.x1);
        for (int32_t x = 0; x < w; x += kHalvedPixelsPerStep) {
            const int32_t n = w - x < kHalvedPixelsPerStep ? w - x : kHalvedPixelsPerStep;
            HalveRows(upper + 6 * ptrdiff_t(x), lower + 6 * ptrdiff_t(x), d + 3 * ptrdiff_t(x), n);
        }
    }
}

const uint8_t* ResDIB::ReadPackedDib(const uint8_t* p, const uint8_t* end, ResDIB& bitmap)
{
    auto available = [&](const uint8_t* at) { return end > at ? int64_t(end - at) : int64_t(0); };
    if (available(p) < 4) throw DeserialisationException("Bad DIB : no header");
    uint32_t size;
    std::memcpy(&size, p, 4);
    if (size == 0) {
        bitmap.Clear();
        return p + 4;
    }

    BITMAPINFOHEADER header{};
    const uint8_t* palette;
    int entryBytes;
    if (size == sizeof(BITMAPINFOHEADER)) {
        if (available(p) < int64_t(sizeof(header))) throw DeserialisationException("Bad DIB : header cut short");
        std::memcpy(&header, p, sizeof(header));
        if (header.biCompression != BI_RGB) throw DeserialisationException("Only BI_RGB compression supported");
        palette = p + sizeof(header);
        entryBytes = 4;
    } else if (size == sizeof(BITMAPCOREHEADER)) {
        if (available(p) < int64_t(sizeof(BITMAPCOREHEADER))) throw DeserialisationException("Bad DIB : header cut short");
        BITMAPCOREHEADER core;
        std::memcpy(&core, p, sizeof(core));
        header.biSize = sizeof(BITMAPINFOHEADER);
        header.biWidth = core.bcWidth;
        header.biHeight = core.bcHeight;
        header.biPlanes = core.bcPlanes;
        header.biBitCount = core.bcBitCount;
        palette = p + sizeof(core);
        entryBytes = 3;
    } else {
        ThrowBadDib("Bad DIB header : size = ", size);
    }

    const int bpp = header.biBitCount;
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)
        ThrowBadDib("Bad DIB header : bits per pixel = ", bpp);
    if (header.biWidth <= 0) ThrowBadDib("Bad DIB header : width = ", header.biWidth);
    if (header.biHeight <= 0) ThrowBadDib("Bad DIB header : height = ", header.biHeight);
    const int64_t depthPalette = PaletteSizeForBitCount(bpp);
    int64_t paletteSize = depthPalette;
    if (entryBytes == 4 && header.biClrUsed != 0) {
        if (int64_t(header.biClrUsed) > depthPalette) ThrowBadDib("Bad DIB header : colour count = ", header.biClrUsed);
        paletteSize = header.biClrUsed;
    }
    if (StrideFor(bpp, header.biWidth) > INT32_MAX || PixelBytes(header) > kMaxPixelBytes)
        throw DeserialisationException("Bad DIB header : image too large");
    const int64_t paletteBytes = paletteSize * entryBytes;
    const int64_t pixelBytes = PixelBytes(header);
    if (available(palette) < paletteBytes + pixelBytes)
        ThrowBadDib("Bad DIB : data shorter than its header says, missing bytes = ",
                    paletteBytes + pixelBytes - available(palette));

    bitmap.Create(bpp, header.biWidth, header.biHeight);
    RGBQUAD* dst = bitmap.GetPalette();
    const uint8_t* q = palette;
    if (entryBytes == 3) {
        for (int64_t i = 0; i < paletteSize; ++i, q += 3) dst[i] = RGBQUAD{q[0], q[1], q[2], 0};
    } else if (paletteSize > 0) {
        std::memcpy(dst, q, size_t(paletteBytes));
        q += paletteBytes;
    }
    std::memcpy(bitmap.m_pixels, q, size_t(pixelBytes));
    return q + pixelBytes;
}

void ResDIB::LoadBmpFile(const xstring& path, ResDIB& bitmap)
{
    xvector<uint8_t> bytes;
    if (!ReadFileIntoBytes(bytes, path)) {
        xstring z(path);
        ThrowVornExceptionF(FileErrorCategory(), 2, "Can't open file %s", z.c_str());
    }
    if (bytes.size() < 2 || bytes[0] != 'B' || bytes[1] != 'M')
        throw DeserialisationException("Bitmap file missing 'BM' at start of file");
    const uint8_t* end = bytes.data() + bytes.size();
    if (bytes.size() < int32_t(sizeof(BITMAPFILEHEADER))) throw DeserialisationException("Bad DIB : no header");
    ReadPackedDib(bytes.data() + sizeof(BITMAPFILEHEADER), end, bitmap);
}

void ResDIB::LoadImageFile(const xstring& path, ResDIB& bitmap)
{
    xvector<uint8_t> fileBytes;
    LoadImageFile(path, bitmap, fileBytes);
}

void ResDIB::LoadImageFile(const xstring& path, ResDIB& bitmap, xvector<uint8_t>& fileBytes)
{
    if (HasExtension(path.Range(), "BMP"))
        LoadBmpFile(path, bitmap);
    else
        bitmap.LoadJpegFile(path, fileBytes);
}

// ---- GdiPlusRasterImage

GdiPlusRasterImage& GdiPlusRasterImage::operator=(const GdiPlusRasterImage& o)
{
    if (this != &o) {
        m_bytes = o.m_bytes;
        DropCache();
    }
    return *this;
}

void GdiPlusRasterImage::Serialise(Archive& ar) const
{
    ar.WriteCompressedUInt32(1);
    ar.WriteCompressedUInt32(uint32_t(m_bytes.size()));
    ar.WriteBytes(m_bytes.data(), m_bytes.size());
}

InputArchive GdiPlusRasterImage::Deserialise(InputArchive cursor)
{
    int schema;
    cursor = ReadSchema(cursor, 1, schema);
    cursor = DeserialiseXvector(cursor, m_bytes);
    DropCache();
    return cursor;
}

} // namespace vorn
