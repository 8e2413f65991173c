// Helpers of the image tests: temporary directories, files, trace capture and test
// images made with the JPEG library's own encoder.
#pragma once
#include "vnImage/ResDIB.h"
#include "vnUtils/Trace.h"
#include <gtest/gtest.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <jpeglib.h>
#include <string>
#include <vector>

namespace vorn::test {

// A fresh directory under /tmp, removed with everything in it at the end.
class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/vnImageTest.XXXXXX";
        const char* p = mkdtemp(tmpl);
        m_path = p ? p : "";
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }
private:
    std::string m_path;
};

inline void WriteFile(const std::string& path, const void* data, size_t n)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    if (n) {
        ASSERT_EQ(std::fwrite(data, 1, n, f), n);
    }
    std::fclose(f);
}
inline void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    WriteFile(path, bytes.data(), bytes.size());
}

inline std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string Str(const xstring& s) { return std::string(s.data(), size_t(s.size())); }

// Sends the trace to a file, without time prefixes, while it lives.
class TraceCapture {
public:
    TraceCapture() : m_oldShowTime(TraceShowTime)
    {
        TraceShowTime = false;
        m_path = m_dir.File("trace.txt");
        GetLogSink()->Open(xstring(m_path.c_str()));
    }
    ~TraceCapture()
    {
        CloseLogSink();
        TraceShowTime = m_oldShowTime;
    }
    // Everything traced so far.
    std::string Text()
    {
        GetLogSink()->Flush();
        return ReadText(m_path);
    }
private:
    TempDir m_dir;
    std::string m_path;
    bool m_oldShowTime;
};

// A JPEG made by the library directly from interleaved samples of the given space.
inline std::vector<uint8_t> LibraryJpeg(int width, int height, int components, J_COLOR_SPACE space,
                                        const std::vector<uint8_t>& samples, int quality = 90)
{
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = JDIMENSION(width);
    c.image_height = JDIMENSION(height);
    c.input_components = components;
    c.in_color_space = space;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, quality, TRUE);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(samples.data() + size_t(c.next_scanline) * width * components);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::vector<uint8_t> bytes(out, out + size);
    std::free(out);
    return bytes;
}

// Decodes with the library's defaults (RGB or grey output) into interleaved samples.
struct Decoded {
    int width = 0, height = 0, components = 0;
    J_COLOR_SPACE jpegSpace = JCS_UNKNOWN;
    std::vector<uint8_t> samples;
    const uint8_t* At(int x, int y) const { return samples.data() + (size_t(y) * width + x) * components; }
};
inline Decoded LibraryDecode(const uint8_t* bytes, size_t n)
{
    jpeg_decompress_struct d;
    jpeg_error_mgr err;
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, bytes, static_cast<unsigned long>(n));
    jpeg_read_header(&d, TRUE);
    Decoded out;
    out.jpegSpace = d.jpeg_color_space;
    jpeg_start_decompress(&d);
    out.width = int(d.output_width);
    out.height = int(d.output_height);
    out.components = d.output_components;
    out.samples.resize(size_t(out.width) * out.height * out.components);
    while (d.output_scanline < d.output_height) {
        JSAMPROW row = out.samples.data() + size_t(d.output_scanline) * out.width * out.components;
        jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    return out;
}

// Samples of a smooth RGB test picture: red grows to the right, blue downwards.
inline std::vector<uint8_t> RgbGradient(int width, int height)
{
    std::vector<uint8_t> v(size_t(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = v.data() + (size_t(y) * width + x) * 3;
            p[0] = uint8_t(x * 255 / (width > 1 ? width - 1 : 1));
            p[1] = 64;
            p[2] = uint8_t(y * 255 / (height > 1 ? height - 1 : 1));
        }
    return v;
}

// A 24-bit bitmap whose top half is red and bottom half blue.
inline ResDIB RedOverBlue(int width, int height)
{
    ResDIB b;
    b.Create(24, width, height);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = b.GetImageRow(y);
        for (int x = 0; x < width; ++x) {
            row[3 * x + 0] = y < height / 2 ? 0 : 255; // blue
            row[3 * x + 1] = 0;
            row[3 * x + 2] = y < height / 2 ? 255 : 0; // red
        }
    }
    return b;
}

} // namespace vorn::test
