// JPEG coding through libjpeg-turbo (libjpeg API, version 62): bitmaps to JPEG streams
// written into an archive, JPEG streams in memory decoded into bitmaps, and a probe that
// reads only a file's header. Every library error arrives as a vorn::JpegException
// carrying the library's message; the library object is destroyed on the way out.
#pragma once
#include "vnImage/ResDIB.h"
#include "vnUtils/Exceptions.h"
#include <cstdint>
#include <cstdio>

struct jpeg_common_struct;

namespace vorn {

class Archive;
struct InputArchive;

// A JPEG library error (or a coding failure of the framework) with its message.
class JpegException : public IException {
public:
    static constexpr int kMessageLength = 200; // the library's longest message
    // Keeps at most kMessageLength - 1 characters of the message.
    explicit JpegException(const char* message, bool outOfMemory = false) noexcept;
    void Write(TextWriter& w) const override; // the message
    const char* GetMessage() const { return m_message; }
    // Whether the image could not be coded for want of memory (the library's or the
    // bitmap's), rather than for what its bytes hold.
    bool IsOutOfMemory() const { return m_outOfMemory; }
private:
    char m_message[kMessageLength];
    bool m_outOfMemory;
};

// A complete JPEG stream (SOI to EOI) and whether it holds an image.
class JpegImage {
public:
    // Frees the bytes; not valid.
    void Clear() noexcept;
    bool IsValid() const { return m_valid; }

    // Schema 1 (compressed), valid (one byte), and when valid the byte count
    // (compressed) and the bytes.
    void Serialise(Archive& ar) const;
    // Accepts schema 1 only (vorn::DeserialisationException otherwise).
    InputArchive Deserialise(InputArchive cursor);

    bool operator==(const JpegImage& o) const { return m_valid == o.m_valid && m_bytes == o.m_bytes; }

    xvector<uint8_t> m_bytes;
    bool m_valid = false;
};

// Compresses a non-empty bitmap of 4, 8, 24 or 32 bits per pixel into the archive
// (default quality, RGB scan lines top row first). Other depths trace "Cannot serialise
// as <depth>bpp JPEG" and fail with the library's error for too few scan lines.
// Exceptions of the archive's stream pass through unchanged.
void WriteResDibAsJpeg(const ResDIB& bitmap, Archive& archive);

// Replaces image with the JPEG encoding of bitmap; an empty bitmap gives an empty,
// invalid image.
void EncodeJpegImage(const ResDIB& bitmap, JpegImage& image);

// A JPEG encoder and decoder that keeps its library objects and its output buffer from
// one image to the next, for a thread that codes many small images (a pyramid's tiles):
// creating the library's objects is a sizeable share of coding a 256 x 256 tile. Its
// bytes and pixels are exactly those of EncodeJpegImage and ResDIB::ReadJpeg, and so are
// its failures; after a failure the next image starts with fresh library objects.
// Not shared between threads: one coder per thread (see GetThreadJpegCoder).
class JpegCoder {
public:
    JpegCoder() noexcept = default;
    ~JpegCoder();
    JpegCoder(const JpegCoder&) = delete;
    JpegCoder& operator=(const JpegCoder&) = delete;

    // EncodeJpegImage.
    void Encode(const ResDIB& bitmap, JpegImage& image);
    // bitmap.ReadJpeg(bytes, length, source).
    void Decode(const uint8_t* bytes, size_t length, ResDIB& bitmap, const char* source = nullptr);
    // bitmap.ReadJpeg(bytes, length, required).
    void Decode(const uint8_t* bytes, size_t length, const JpegShape& required, ResDIB& bitmap);

    // The decodes this coder was asked for, failed ones included, and the library
    // decompressors it created for them: one, and one more after each failure that
    // left the library's object mid-image.
    int64_t GetDecodeCount() const { return m_decodes; }
    int64_t GetDecompressorsCreated() const { return m_decompressorsCreated; }

private:
    void Decode(const uint8_t* bytes, size_t length, const JpegShape* required, ResDIB& bitmap, const char* source);
    struct State;
    State& GetState();
    State* m_state = nullptr;
    int64_t m_decodes = 0;
    int64_t m_decompressorsCreated = 0;
};

// The calling thread's own coder, made on its first use and destroyed when the thread
// ends; ResDIB::ReadJpeg decodes with it, so a thread that decodes tile after tile
// creates the library's objects once.
JpegCoder& GetThreadJpegCoder();

// The library's error exit: formats the library's message into the error manager and
// returns to the framework frame that drives the library, which throws it as a
// vorn::JpegException. Only for error managers set up by this module.
[[noreturn]] void JpegErrorExit(jpeg_common_struct* cinfo);

// What a JPEG header tells once the library's default output parameters apply.
enum class JpegOutputColour { Grey, Rgb, Other };
struct JpegHeaderInfo {
    int32_t width = 0;
    int32_t height = 0;
    JpegOutputColour colour = JpegOutputColour::Other;
};

// Reads the header of the JPEG stream at the file's position with the library's file
// source (no image data is decoded). A damaged or non-JPEG stream throws
// vorn::JpegException.
JpegHeaderInfo ReadJpegFileHeader(FILE* file);
// The same over a stream in memory.
JpegHeaderInfo ReadJpegMemoryHeader(const uint8_t* bytes, size_t length);

} // namespace vorn
