#include "vnImage/Jpeg.h"
#include "vnUtils/Archive.h"
#include "vnUtils/File.h"
#include "vnUtils/TextWriter.h"
#include "vnUtils/Trace.h"
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <exception>
#include <new>
// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>
#include <jerror.h>

// The interface level this code is written against.
static_assert(JPEG_LIB_VERSION == 62, "libjpeg interface version 62 expected");
static_assert(JMSG_LENGTH_MAX == vorn::JpegException::kMessageLength, "message buffer size");

// How the library drives the framework, and how the framework gets out again:
//
// Every function that calls into the library is split in two. An outer C++ function
// owns the library object, the error manager and anything with a destructor. An inner
// "frame" function, which holds only plain data, calls setjmp and then drives the
// library. A library error ends in JpegErrorExit, which formats the message and
// longjmps back to the frame; the frame returns a code and the outer function destroys
// the library object and throws. No C++ exception ever passes through the library's C
// frames: callbacks that call C++ code catch everything, keep the exception and jump
// out the same way. A C++ exception raised by the frame itself (outside any library
// call) unwinds normally through the outer function's clean-up.

namespace vorn {

namespace {

constexpr int kOk = 0;
constexpr int kLibraryError = 1;
constexpr int kUnsupportedColour = 2;
constexpr int kWrongShape = 3;

constexpr int kDestinationBufferSize = 4096;
// Scan lines handed to the library per call.
constexpr int kRowBatch = 16;

struct JpegErrorManager {
    jpeg_error_mgr pub; // first: the library sees only this
    jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    // Set once a decoder has begun to overwrite its bitmap (kept here, outside the
    // frame that longjmp returns to).
    bool bitmapTouched = false;
    // The file being decoded, named in the library's warnings (null for a memory stream).
    const char* source = nullptr;
    // What a refused header gave (kept here for the message).
    int32_t width = 0;
    int32_t height = 0;
    int bitsPerPixel = 0;
};

// The framework's destination: the library's fields, the target archive and the
// buffer the library writes into.
struct ArchiveDestination {
    jpeg_destination_mgr pub;
    Archive* archive;
    JOCTET* buffer;
    std::exception_ptr* pending; // where a failing archive's exception is kept
};

const JOCTET kEndOfImage[2] = {0xFF, JPEG_EOI};

// The library's warnings (damaged data it decodes anyway) go to the trace with the
// file's name instead of to standard error.
void JpegOutputMessage(j_common_ptr cinfo)
{
    const auto* err = reinterpret_cast<const JpegErrorManager*>(cinfo->err);
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    try {
        TraceStream t;
        t << "JPEG warning";
        if (err->source != nullptr) t << " in " << err->source;
        t << " : " << text << "\n";
    } catch (...) {
        // Nothing may leave a library callback; a warning that cannot be traced is lost.
    }
}

jpeg_error_mgr* SetUpErrorManager(JpegErrorManager& err)
{
    jpeg_std_error(&err.pub);
    err.pub.error_exit = &JpegErrorExit;
    err.pub.output_message = &JpegOutputMessage;
    err.message[0] = 0;
    return &err.pub;
}

// Leaves a callback for the frame's setjmp.
[[noreturn]] void JumpToFrame(j_common_ptr cinfo)
{
    std::longjmp(reinterpret_cast<JpegErrorManager*>(cinfo->err)->jump, 1);
}

// ---- destination manager

bool WriteToArchive(ArchiveDestination* d, const JOCTET* p, int32_t n) noexcept
{
    try {
        d->archive->WriteBytes(p, n);
        return true;
    } catch (...) {
        *d->pending = std::current_exception();
        return false;
    }
}

void InitDestination(j_compress_ptr cinfo)
{
    auto* d = reinterpret_cast<ArchiveDestination*>(cinfo->dest);
    d->buffer = static_cast<JOCTET*>(
        (*cinfo->mem->alloc_small)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE, kDestinationBufferSize));
    d->pub.next_output_byte = d->buffer;
    d->pub.free_in_buffer = kDestinationBufferSize;
}

boolean EmptyOutputBuffer(j_compress_ptr cinfo)
{
    auto* d = reinterpret_cast<ArchiveDestination*>(cinfo->dest);
    // A block this large bypasses the archive's buffer: what it holds goes first, then
    // the block straight to its stream.
    if (!WriteToArchive(d, d->buffer, kDestinationBufferSize)) JumpToFrame(reinterpret_cast<j_common_ptr>(cinfo));
    d->pub.next_output_byte = d->buffer;
    d->pub.free_in_buffer = kDestinationBufferSize;
    return TRUE;
}

void TermDestination(j_compress_ptr cinfo)
{
    auto* d = reinterpret_cast<ArchiveDestination*>(cinfo->dest);
    const int32_t n = kDestinationBufferSize - int32_t(d->pub.free_in_buffer);
    if (n > 0 && !WriteToArchive(d, d->buffer, n)) JumpToFrame(reinterpret_cast<j_common_ptr>(cinfo));
}

void SetUpArchiveDestination(ArchiveDestination& d, Archive* archive, std::exception_ptr* pending)
{
    d.pub.init_destination = &InitDestination;
    d.pub.empty_output_buffer = &EmptyOutputBuffer;
    d.pub.term_destination = &TermDestination;
    d.archive = archive;
    d.buffer = nullptr;
    d.pending = pending;
}

// ---- memory destination: one growing buffer, kept from image to image

constexpr size_t kFirstMemoryBufferSize = 64 * 1024;

struct MemoryDestination {
    jpeg_destination_mgr pub;
    JOCTET* buffer = nullptr; // malloc'd
    size_t capacity = 0;
};

void GrowMemoryBuffer(j_compress_ptr cinfo, MemoryDestination* d)
{
    const size_t used = d->capacity - d->pub.free_in_buffer;
    const size_t capacity = d->capacity ? 2 * d->capacity : kFirstMemoryBufferSize;
    auto* p = static_cast<JOCTET*>(std::realloc(d->buffer, capacity));
    if (!p) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 10);
    d->buffer = p;
    d->capacity = capacity;
    d->pub.next_output_byte = p + used;
    d->pub.free_in_buffer = capacity - used;
}

void InitMemoryDestination(j_compress_ptr cinfo)
{
    auto* d = reinterpret_cast<MemoryDestination*>(cinfo->dest);
    d->pub.next_output_byte = d->buffer;
    d->pub.free_in_buffer = d->capacity;
    if (!d->buffer) GrowMemoryBuffer(cinfo, d);
}

// Called with the whole buffer full.
boolean EmptyMemoryBuffer(j_compress_ptr cinfo)
{
    auto* d = reinterpret_cast<MemoryDestination*>(cinfo->dest);
    d->pub.free_in_buffer = 0;
    GrowMemoryBuffer(cinfo, d);
    return TRUE;
}

void TermMemoryDestination(j_compress_ptr) {}

void SetUpMemoryDestination(MemoryDestination& d)
{
    d.pub.init_destination = &InitMemoryDestination;
    d.pub.empty_output_buffer = &EmptyMemoryBuffer;
    d.pub.term_destination = &TermMemoryDestination;
}

// ---- memory source manager

void InitSource(j_decompress_ptr) {}
void TermSource(j_decompress_ptr) {}

// Only called when the data ran out: an end-of-image marker ends the image there.
boolean FillInputBuffer(j_decompress_ptr cinfo)
{
    cinfo->src->next_input_byte = kEndOfImage;
    cinfo->src->bytes_in_buffer = sizeof(kEndOfImage);
    return TRUE;
}

void SkipInputData(j_decompress_ptr cinfo, long n)
{
    if (n <= 0) return;
    jpeg_source_mgr* src = cinfo->src;
    while (n > long(src->bytes_in_buffer)) {
        n -= long(src->bytes_in_buffer);
        FillInputBuffer(cinfo);
    }
    src->next_input_byte += n;
    src->bytes_in_buffer -= size_t(n);
}

void InstallMemorySource(j_decompress_ptr cinfo, const uint8_t* bytes, size_t length)
{
    if (!cinfo->src) {
        cinfo->src = static_cast<jpeg_source_mgr*>((*cinfo->mem->alloc_small)(
            reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, sizeof(jpeg_source_mgr)));
    }
    jpeg_source_mgr* src = cinfo->src;
    src->init_source = &InitSource;
    src->fill_input_buffer = &FillInputBuffer;
    src->skip_input_data = &SkipInputData;
    src->resync_to_restart = &jpeg_resync_to_restart;
    src->term_source = &TermSource;
    src->next_input_byte = bytes;
    src->bytes_in_buffer = length;
}

// ---- compression

void TraceUnsupportedDepth(int depth)
{
    TraceStream t;
    t << "Cannot serialise as " << int32_t(depth) << "bpp JPEG\n";
}

// Palette rows (4 or 8 bits per pixel) to RGB scan lines.
void PaletteRowToRgb(const uint8_t* in, int32_t width, int depth, const RGBQUAD* palette, JSAMPLE* out)
{
    if (depth == 8) {
        for (int32_t x = 0; x < width; ++x, out += 3) {
            const RGBQUAD& c = palette[in[x]];
            out[0] = c.rgbRed;
            out[1] = c.rgbGreen;
            out[2] = c.rgbBlue;
        }
    } else {
        for (int32_t x = 0; x < width; ++x, out += 3) {
            const uint8_t b = in[x >> 1];
            const RGBQUAD& c = palette[(x & 1) ? (b & 0x0F) : (b >> 4)];
            out[0] = c.rgbRed;
            out[1] = c.rgbGreen;
            out[2] = c.rgbBlue;
        }
    }
}

// Frames that create the library objects (which can fail for want of memory).
int CreateCompressFrame(j_compress_ptr cinfo, JpegErrorManager* err)
{
    if (setjmp(err->jump)) return kLibraryError;
    jpeg_create_compress(cinfo);
    return kOk;
}

int CreateDecompressFrame(j_decompress_ptr cinfo, JpegErrorManager* err)
{
    if (setjmp(err->jump)) return kLibraryError;
    jpeg_create_decompress(cinfo);
    return kOk;
}

// The frame of a compression by a created object into dest: plain data only (see the
// note at the top). A finished compression leaves the object ready for the next image.
int CompressFrame(j_compress_ptr cinfo, JpegErrorManager* err, const ResDIB* bitmap, jpeg_destination_mgr* dest)
{
    if (setjmp(err->jump)) return kLibraryError;

    const BITMAPINFOHEADER* h = bitmap->GetHeader();
    const int depth = h->biBitCount;
    const int32_t width = h->biWidth;
    const int32_t height = h->biHeight;
    cinfo->image_width = JDIMENSION(width);
    cinfo->image_height = JDIMENSION(height);
    // 24- and 32-bit rows are handed over as they lie in memory; the library converts
    // from blue, green, red exactly as it would from RGB.
    cinfo->input_components = depth == 32 ? 4 : 3;
    cinfo->in_color_space = depth == 24 ? JCS_EXT_BGR : depth == 32 ? JCS_EXT_BGRX : JCS_RGB;
    jpeg_set_defaults(cinfo);
    cinfo->dest = dest;
    jpeg_start_compress(cinfo, TRUE);

    if (depth == 24 || depth == 32) {
        JSAMPROW rows[kRowBatch];
        while (cinfo->next_scanline < cinfo->image_height) {
            const int32_t top = int32_t(cinfo->next_scanline);
            const int32_t n = height - top < kRowBatch ? height - top : kRowBatch;
            for (int32_t i = 0; i < n; ++i)
                rows[i] = const_cast<JSAMPROW>(bitmap->GetMemoryRow(height - 1 - (top + i)));
            jpeg_write_scanlines(cinfo, rows, JDIMENSION(n));
        }
    } else if (depth == 8 || depth == 4) {
        JSAMPROW row = static_cast<JSAMPROW>((*cinfo->mem->alloc_small)(reinterpret_cast<j_common_ptr>(cinfo),
                                                                        JPOOL_IMAGE, size_t(width) * 3));
        const RGBQUAD* palette = bitmap->GetPalette();
        while (cinfo->next_scanline < cinfo->image_height) {
            PaletteRowToRgb(bitmap->GetMemoryRow(height - 1 - int32_t(cinfo->next_scanline)), width, depth, palette,
                            row);
            jpeg_write_scanlines(cinfo, &row, 1);
        }
    } else {
        TraceUnsupportedDepth(depth);
    }
    jpeg_finish_compress(cinfo);
    return kOk;
}

// ---- decompression

// By a created object; a finished decompression leaves it ready for the next image, an
// unsupported colour space or a refused shape leaves it with the header read. With a
// required shape, the header is checked before the library or the bitmap takes any
// memory for the image.
int DecompressFrame(j_decompress_ptr cinfo, JpegErrorManager* err, const uint8_t* bytes, size_t length,
                    const JpegShape* required, ResDIB* bitmap)
{
    if (setjmp(err->jump)) return kLibraryError;

    InstallMemorySource(cinfo, bytes, length);
    jpeg_read_header(cinfo, TRUE);
    // The default output space decides; RGB output is taken in the bitmap's byte order.
    const J_COLOR_SPACE space = cinfo->out_color_space;
    if (space != JCS_RGB && space != JCS_GRAYSCALE) return kUnsupportedColour;
    if (required) {
        // No scaling is asked for: the output is the frame's size.
        err->width = int32_t(cinfo->image_width);
        err->height = int32_t(cinfo->image_height);
        err->bitsPerPixel = space == JCS_GRAYSCALE ? 8 : 24;
        if (err->width != required->width || err->height != required->height ||
            err->bitsPerPixel != required->bitsPerPixel || cinfo->data_precision != 8)
            return kWrongShape;
    }
    if (space == JCS_RGB) cinfo->out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(cinfo);

    const int32_t width = int32_t(cinfo->output_width);
    const int32_t height = int32_t(cinfo->output_height);
    // Every row is written below: the bitmap needs no zeroing, and one of the right
    // shape is reused.
    err->bitmapTouched = true;
    if (space == JCS_GRAYSCALE) {
        bitmap->CreateForOverwrite(8, width, height);
        RGBQUAD* palette = bitmap->GetPalette();
        for (int i = 0; i < 256; ++i) palette[i] = RGBQUAD{uint8_t(i), uint8_t(i), uint8_t(i), 0};
    } else {
        bitmap->CreateForOverwrite(24, width, height);
    }
    // The first scan line is the top row: memory row height - 1.
    JSAMPROW rows[kRowBatch];
    while (cinfo->output_scanline < cinfo->output_height) {
        const int32_t top = int32_t(cinfo->output_scanline);
        const int32_t n = height - top < kRowBatch ? height - top : kRowBatch;
        for (int32_t i = 0; i < n; ++i) rows[i] = bitmap->GetMemoryRow(height - 1 - (top + i));
        jpeg_read_scanlines(cinfo, rows, JDIMENSION(n));
    }
    jpeg_finish_decompress(cinfo);
    return kOk;
}

int ProbeFrame(j_decompress_ptr cinfo, JpegErrorManager* err, FILE* file, const uint8_t* bytes, size_t length,
               JpegHeaderInfo* info)
{
    if (setjmp(err->jump)) return kLibraryError;

    jpeg_create_decompress(cinfo);
    if (file)
        jpeg_stdio_src(cinfo, file);
    else
        InstallMemorySource(cinfo, bytes, length);
    jpeg_read_header(cinfo, TRUE);
    // Output size and colour space as decompression would start with them.
    jpeg_calc_output_dimensions(cinfo);
    info->width = int32_t(cinfo->output_width);
    info->height = int32_t(cinfo->output_height);
    info->colour = cinfo->out_color_space == JCS_GRAYSCALE ? JpegOutputColour::Grey
                   : cinfo->out_color_space == JCS_RGB     ? JpegOutputColour::Rgb
                                                           : JpegOutputColour::Other;
    return kOk;
}

JpegHeaderInfo ProbeHeader(FILE* file, const uint8_t* bytes, size_t length)
{
    jpeg_decompress_struct cinfo;
    std::memset(&cinfo, 0, sizeof(cinfo));
    JpegErrorManager err;
    cinfo.err = SetUpErrorManager(err);
    // A probe reports only whether the header is usable; the data's warnings are traced
    // when the image is decoded.
    err.pub.output_message = [](j_common_ptr) {};
    JpegHeaderInfo info;
    const int rc = ProbeFrame(&cinfo, &err, file, bytes, length, &info);
    jpeg_destroy_decompress(&cinfo);
    if (rc != kOk) throw JpegException(err.message);
    return info;
}

} // namespace

void JpegErrorExit(jpeg_common_struct* cinfo)
{
    auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

// ---- JpegException

JpegException::JpegException(const char* message, bool outOfMemory) noexcept : m_outOfMemory(outOfMemory)
{
    std::memset(m_message, 0, sizeof(m_message));
    if (message) std::strncpy(m_message, message, sizeof(m_message) - 1);
}

void JpegException::Write(TextWriter& w) const { w << m_message; }

// ---- JpegImage

void JpegImage::Clear() noexcept
{
    m_bytes.Release();
    m_valid = false;
}

void JpegImage::Serialise(Archive& ar) const
{
    ar.WriteCompressedUInt32(1);
    ar.WriteByte(m_valid ? 1 : 0);
    if (m_valid) {
        ar.WriteCompressedUInt32(uint32_t(m_bytes.size()));
        ar.WriteBytes(m_bytes.data(), m_bytes.size());
    }
}

InputArchive JpegImage::Deserialise(InputArchive cursor)
{
    int schema;
    cursor = ReadSchema(cursor, 1, schema);
    uint8_t valid;
    cursor = ReadByteFromBuffer(cursor, valid);
    m_valid = valid != 0;
    if (m_valid)
        cursor = DeserialiseXvector(cursor, m_bytes);
    else
        m_bytes.Release();
    return cursor;
}

// ---- coding

void WriteResDibAsJpeg(const ResDIB& bitmap, Archive& archive)
{
    bitmap.GetWidth();
    bitmap.GetHeight(); // both throw for an empty bitmap
    jpeg_compress_struct cinfo;
    std::memset(&cinfo, 0, sizeof(cinfo));
    JpegErrorManager err;
    cinfo.err = SetUpErrorManager(err);
    std::exception_ptr pending;
    ArchiveDestination dest;
    SetUpArchiveDestination(dest, &archive, &pending);
    int rc;
    try {
        rc = CreateCompressFrame(&cinfo, &err);
        if (rc == kOk) rc = CompressFrame(&cinfo, &err, &bitmap, &dest.pub);
    } catch (...) {
        jpeg_destroy_compress(&cinfo);
        throw;
    }
    jpeg_destroy_compress(&cinfo);
    if (pending) std::rethrow_exception(pending);
    if (rc != kOk) throw JpegException(err.message);
}

void EncodeJpegImage(const ResDIB& bitmap, JpegImage& image)
{
    JpegCoder coder;
    coder.Encode(bitmap, image);
}

JpegCoder& GetThreadJpegCoder()
{
    thread_local JpegCoder coder;
    return coder;
}

void ResDIB::ReadJpeg(const uint8_t* bytes, size_t length, const char* source)
{
    GetThreadJpegCoder().Decode(bytes, length, *this, source);
}

void ResDIB::ReadJpeg(const uint8_t* bytes, size_t length, const JpegShape& required)
{
    GetThreadJpegCoder().Decode(bytes, length, required, *this);
}

// ---- JpegCoder

struct JpegCoder::State {
    jpeg_compress_struct compress;
    JpegErrorManager compressErr;
    bool compressCreated = false;
    MemoryDestination dest;
    jpeg_decompress_struct decompress;
    JpegErrorManager decompressErr;
    bool decompressCreated = false;

    State()
    {
        std::memset(&compress, 0, sizeof(compress));
        std::memset(&decompress, 0, sizeof(decompress));
        std::memset(&dest.pub, 0, sizeof(dest.pub));
        SetUpMemoryDestination(dest);
    }
    ~State()
    {
        DestroyCompress();
        DestroyDecompress();
        std::free(dest.buffer);
    }
    void DestroyCompress() noexcept
    {
        if (compressCreated) jpeg_destroy_compress(&compress);
        compressCreated = false;
    }
    void DestroyDecompress() noexcept
    {
        if (decompressCreated) jpeg_destroy_decompress(&decompress);
        decompressCreated = false;
    }
};

JpegCoder::~JpegCoder() { delete m_state; }

JpegCoder::State& JpegCoder::GetState()
{
    if (!m_state) m_state = new State();
    return *m_state;
}

void JpegCoder::Encode(const ResDIB& bitmap, JpegImage& image)
{
    image.Clear();
    if (bitmap.IsEmpty()) return;
    State& s = GetState();
    int rc = kOk;
    try {
        if (!s.compressCreated) {
            s.compress.err = SetUpErrorManager(s.compressErr);
            s.compressCreated = true; // destroying a half-created object is safe
            rc = CreateCompressFrame(&s.compress, &s.compressErr);
        }
        if (rc == kOk) rc = CompressFrame(&s.compress, &s.compressErr, &bitmap, &s.dest.pub);
    } catch (...) {
        s.DestroyCompress();
        throw;
    }
    if (rc != kOk) {
        // The object is left mid-image: the next image gets a new one.
        s.DestroyCompress();
        throw JpegException(s.compressErr.message);
    }
    const size_t n = s.dest.capacity - s.dest.pub.free_in_buffer;
    image.m_bytes.assign(s.dest.buffer, s.dest.buffer + n);
    image.m_valid = true;
}

void JpegCoder::Decode(const uint8_t* bytes, size_t length, ResDIB& bitmap, const char* source)
{
    Decode(bytes, length, nullptr, bitmap, source);
}

void JpegCoder::Decode(const uint8_t* bytes, size_t length, const JpegShape& required, ResDIB& bitmap)
{
    Decode(bytes, length, &required, bitmap, nullptr);
}

void JpegCoder::Decode(const uint8_t* bytes, size_t length, const JpegShape* required, ResDIB& bitmap,
                       const char* source)
{
    JpegErrorManager* errp = nullptr;
    int rc = kOk;
    ++m_decodes;
    try {
        State& s = GetState();
        JpegErrorManager& err = s.decompressErr;
        errp = &err;
        try {
            if (!s.decompressCreated) {
                s.decompress.err = SetUpErrorManager(err);
                s.decompressCreated = true;
                ++m_decompressorsCreated;
                rc = CreateDecompressFrame(&s.decompress, &err);
            }
            err.source = source;
            err.bitmapTouched = false;
            if (rc == kOk) rc = DecompressFrame(&s.decompress, &err, bytes, length, required, &bitmap);
        } catch (...) {
            s.DestroyDecompress();
            bitmap.Clear();
            throw;
        }
    } catch (const std::bad_alloc&) {
        // The bitmap's blocks (or the coder itself) could not be had: a decode failure
        // like any other.
        throw JpegException("Insufficient memory to decode the JPEG image", true);
    }
    State& s = *m_state;
    JpegErrorManager& err = *errp;
    err.source = nullptr;
    if (rc == kUnsupportedColour) {
        jpeg_abort_decompress(&s.decompress);
        throw JpegException("Unsupported color space on jpeg image");
    }
    if (rc == kWrongShape) {
        jpeg_abort_decompress(&s.decompress);
        char text[JpegException::kMessageLength];
        std::snprintf(text, sizeof text, "JPEG image is %d x %d at %d bits per pixel, not %d x %d at %d",
                      int(err.width), int(err.height), err.bitsPerPixel, int(required->width),
                      int(required->height), required->bitsPerPixel);
        throw JpegException(text);
    }
    if (rc != kOk) {
        const bool outOfMemory = err.pub.msg_code == JERR_OUT_OF_MEMORY;
        s.DestroyDecompress();
        // Rows not yet decoded hold whatever the blocks held before.
        if (err.bitmapTouched) bitmap.Clear();
        throw JpegException(err.message, outOfMemory);
    }
}

namespace {

// Reads the whole file into bytes, in one read where its length is known, reusing the
// vector's block; false when the file cannot be opened or read.
bool ReadWholeFile(const xstring& path, xvector<uint8_t>& bytes)
{
    File file;
    if (!file.OpenForReading(path)) return false;
    const int64_t length = file.GetLength();
    if (length <= 0 || length >= INT32_MAX) return ReadFileIntoBytes(bytes, path);
    bytes.resize(int32_t(length));
    int64_t total = 0;
    while (total < length) {
        const ssize_t got = file.ReadStream(bytes.data() + total, ssize_t(length - total));
        if (got <= 0) break;
        total += got;
    }
    if (file.HasReadError()) return false;
    uint8_t probe;
    // A file that grew since its length was taken is read again, whole.
    if (total == length && file.ReadStream(&probe, 1) > 0) return ReadFileIntoBytes(bytes, path);
    bytes.resize(int32_t(total));
    return true;
}

} // namespace

void ResDIB::LoadJpegFile(const xstring& path)
{
    xvector<uint8_t> bytes;
    LoadJpegFile(path, bytes);
}

void ResDIB::LoadJpegFile(const xstring& path, xvector<uint8_t>& fileBytes)
{
    if (!ReadWholeFile(path, fileBytes)) {
        xstring z(path);
        ThrowVornExceptionF(FileErrorCategory(), 2, "Can't open file %s", z.c_str());
    }
    xstring name(path);
    ReadJpeg(fileBytes.data(), size_t(fileBytes.size()), name.c_str());
}

JpegHeaderInfo ReadJpegFileHeader(FILE* file) { return ProbeHeader(file, nullptr, 0); }

JpegHeaderInfo ReadJpegMemoryHeader(const uint8_t* bytes, size_t length) { return ProbeHeader(nullptr, bytes, length); }

} // namespace vorn
