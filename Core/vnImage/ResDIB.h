// vorn::ResDIB: an in-memory raster image laid out as a Windows device-independent
// bitmap: one block holding the BITMAPINFOHEADER and its palette, one block of pixel
// rows stored bottom-up, each row padded to a multiple of 4 bytes. 24-bit pixels are
// blue, green, red. Rectangles and points given to its operations are top-down image
// coordinates (y downwards, x2 and y2 exclusive). Only uncompressed (BI_RGB) bitmaps
// of positive size exist. The pixels start 16 bytes past a 32-byte boundary, where the
// JPEG library's decoder writes rows through the cache (see ResDIB.cpp).
//
// vorn::Dib32 and vorn::GdiPlusRasterImage are the image module's two other value
// types; their platform handles are opaque and stay empty on this platform.
#pragma once
#include "vnPlatform/Bitmap.h"
#include "vnUtils/Geometry.h"
#include "vnUtils/XString.h"
#include <cstddef>
#include <cstdint>

namespace vorn {

class Archive;
struct InputArchive;

// The size and depth that a decoded image must have.
struct JpegShape {
    int32_t width = 0;
    int32_t height = 0;
    int bitsPerPixel = 0;
};

class ResDIB {
public:
    ResDIB() noexcept = default;
    // Deep copies; copying an empty bitmap gives an empty one.
    ResDIB(const ResDIB& o);
    ResDIB& operator=(const ResDIB& o);
    ResDIB(ResDIB&& o) noexcept;
    ResDIB& operator=(ResDIB&& o) noexcept;
    ~ResDIB() { Clear(); }

    // Frees what the bitmap holds and allocates a bitmap of the given depth and size:
    // header filled in (biClrUsed = palette size), palette entries zero for the caller
    // to fill, pixels all zero (black). A depth outside 1..32, a negative size or more than 4 GiB of pixels
    // throws vorn::VornException.
    void Create(int bitsPerPixel, int32_t width, int32_t height);
    // Create for a caller that writes every pixel itself (a decoder): a bitmap keeps
    // its blocks where they are large enough (always for the same depth and size),
    // otherwise new ones are taken; the pixels are left as they are, for the caller to
    // overwrite, but the padding at the end of every row is zero and the palette is zero.
    void CreateForOverwrite(int bitsPerPixel, int32_t width, int32_t height);
    // Frees both blocks.
    void Clear() noexcept;
    bool IsEmpty() const { return m_header == nullptr; }

    // biWidth and biHeight; both throw vorn::VornException "Bitmap info is NULL" when
    // the bitmap is empty.
    int32_t GetWidth() const;
    int32_t GetHeight() const;
    // biBitCount; 0 for an empty bitmap.
    int GetBitsPerPixel() const { return m_header ? m_header->biBitCount : 0; }
    int32_t GetStride() const { return m_stride; }
    // Palette entries by biBitCount (1: 2, 4: 16, 8: 256, otherwise 0).
    int32_t GetPaletteSize() const { return m_header ? PaletteSizeForBitCount(m_header->biBitCount) : 0; }

    BITMAPINFOHEADER* GetHeader() { return m_header; }
    const BITMAPINFOHEADER* GetHeader() const { return m_header; }
    RGBQUAD* GetPalette() { return reinterpret_cast<RGBQUAD*>(m_header + 1); }
    const RGBQUAD* GetPalette() const { return reinterpret_cast<const RGBQUAD*>(m_header + 1); }
    uint8_t* GetPixels() { return m_pixels; }
    const uint8_t* GetPixels() const { return m_pixels; }
    // Memory row r (0 is the image's bottom row).
    uint8_t* GetMemoryRow(int32_t r) { return m_pixels + ptrdiff_t(r) * m_stride; }
    const uint8_t* GetMemoryRow(int32_t r) const { return m_pixels + ptrdiff_t(r) * m_stride; }
    // Image row y counted from the top.
    uint8_t* GetImageRow(int32_t y) { return GetMemoryRow(m_header->biHeight - 1 - y); }
    const uint8_t* GetImageRow(int32_t y) const { return GetMemoryRow(m_header->biHeight - 1 - y); }

    static int32_t PaletteSizeForBitCount(int bitsPerPixel);
    // ((bits per pixel * width + 31) / 32) * 4.
    static int64_t StrideFor(int bitsPerPixel, int32_t width);
    // Throws "Bad bitmap depth %d" or "Bad bitmap size %d x %d" (VornException) when no
    // bitmap of this shape can be made (its pixels over the 4 GiB cap, say).
    static void CheckShape(int bitsPerPixel, int32_t width, int32_t height);

    // Copies the 24-bit pixels of srcRect of src so that its top-left pixel lands on
    // dstPoint of dst. Both bitmaps must be 24-bit and both rectangles inside them
    // (vorn::ProgrammingErrorException otherwise); an empty rectangle copies nothing.
    static void CopyRect24(const Point2i& dstPoint, ResDIB& dst, const ResDIB& src, const Rect2i& srcRect);

    // The truncated per-channel average of the 24-bit pixels in rect: byte 0 in bits
    // 16-23, byte 1 in bits 8-15, byte 2 in bits 0-7. The rectangle must be non-empty and
    // inside a 24-bit bitmap (vorn::ProgrammingErrorException otherwise).
    static uint32_t AverageColour(const Rect2i& rect, const ResDIB& bitmap);

    // Halves src into a rectangle of a 24-bit pixel block: destination pixel (x, y) of
    // dstRect (top-down in a block of dstHeight rows of dstStride bytes) becomes the
    // truncated average of src's 2 x 2 block at (2 (x - x1), 2 (y - y1)), bytes kept in
    // their order. src must be 24-bit and at least twice the rectangle's size.
    static void Average2x2(const ResDIB& src, uint8_t* dstPixels, int32_t dstStride, int32_t dstHeight,
                           const Rect2i& dstRect);

    // Reads a packed bitmap (header, palette, pixels) from [p, end) into bitmap and
    // returns the cursor after it. A size 0 clears the bitmap. Headers other than the 40-
    // and 12-byte ones, compression, bad sizes (zero or negative width or height, a
    // colour count above what the depth allows) and data shorter than the header claims
    // throw vorn::DeserialisationException; nothing is read outside [p, end).
    static const uint8_t* ReadPackedDib(const uint8_t* p, const uint8_t* end, ResDIB& bitmap);

    // A .bmp file; vorn::VornException code 2 "Can't open file <path>" when it cannot
    // be read, vorn::DeserialisationException when it is not a valid bitmap file.
    static void LoadBmpFile(const xstring& path, ResDIB& bitmap);
    // LoadBmpFile for a ".bmp" extension (any case), LoadJpegFile otherwise.
    static void LoadImageFile(const xstring& path, ResDIB& bitmap);
    // The same, a JPEG file read into fileBytes (whose block is reused: a caller that
    // loads many files passes the same vector each time).
    static void LoadImageFile(const xstring& path, ResDIB& bitmap, xvector<uint8_t>& fileBytes);

    // Replaces the bitmap with the decoded JPEG file (see Jpeg.h).
    void LoadJpegFile(const xstring& path);
    // The same, the file read into fileBytes, whose block is reused.
    void LoadJpegFile(const xstring& path, xvector<uint8_t>& fileBytes);
    // Replaces the bitmap with the decoded JPEG stream (see Jpeg.h), reusing the
    // bitmap's blocks when the depth and size stay. A stream that fails before it has
    // decoded leaves the bitmap as it was; one that fails part way leaves it empty.
    // The library's warnings on damaged data are traced, naming source when given.
    // Decodes with the calling thread's coder (GetThreadJpegCoder). Failing to get
    // memory for the image is a vorn::JpegException like any other failure.
    void ReadJpeg(const uint8_t* bytes, size_t length, const char* source = nullptr);
    // The same for a stream that must hold an image of the required shape (24 bits per
    // pixel: colour, 8: grey-scale). A stream whose header says otherwise is refused
    // with vorn::JpegException before any memory is taken for its pixels, and the bitmap
    // is left as it was.
    void ReadJpeg(const uint8_t* bytes, size_t length, const JpegShape& required);

    void swap(ResDIB& o) noexcept;

private:
    BITMAPINFOHEADER* m_header = nullptr; // header and palette, one block
    uint8_t* m_pixels = nullptr;
    size_t m_pixelCapacity = 0; // bytes of the pixel block, at least biSizeImage
    int32_t m_stride = 0;
    int32_t m_pixelOffset = 0; // bytes from the pixel block's start to m_pixels
};

// A 32-bit bitmap of the platform's window system. The handle is opaque; destroying
// the object releases it and zeroes it.
class Dib32 {
public:
    Dib32() = default;
    Dib32(const Dib32&) = delete;
    Dib32& operator=(const Dib32&) = delete;
    ~Dib32() { Release(); }
    void* GetHandle() const { return m_handle; }
    void Release() noexcept { m_handle = nullptr; }
private:
    void* m_handle = nullptr;
};

// An encoded image (its file bytes) with a cache of the decoded platform image, which
// is not serialised and stays empty here.
class GdiPlusRasterImage {
public:
    GdiPlusRasterImage() = default;
    // Copies the bytes; the cache stays empty.
    GdiPlusRasterImage(const GdiPlusRasterImage& o) : m_bytes(o.m_bytes) {}
    // Copies the bytes and drops the cache.
    GdiPlusRasterImage& operator=(const GdiPlusRasterImage& o);
    ~GdiPlusRasterImage() { DropCache(); }

    xvector<uint8_t>& GetBytes() { return m_bytes; }
    const xvector<uint8_t>& GetBytes() const { return m_bytes; }
    void DropCache() noexcept { m_cache = nullptr; }

    // Schema 1 (compressed), byte count (compressed), the bytes.
    void Serialise(Archive& ar) const;
    // Accepts schema 1 only; reads the bytes and drops the cache.
    InputArchive Deserialise(InputArchive cursor);

private:
    xvector<uint8_t> m_bytes;
    void* m_cache = nullptr;
};

} // namespace vorn
