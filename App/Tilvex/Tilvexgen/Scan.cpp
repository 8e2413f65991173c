#include "Tilvex/Tilvexgen/Scan.h"
#include "Tilvex/Tilvexgen/ShownName.h"
#include "vnImage/Jpeg.h"
#include "vnImage/ResDIB.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/File.h"
#include "vnUtils/TextWriter.h"
#include "vnUtils/Trace.h"
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace vorn {

namespace {

// dir, a '/' unless it already ends with one, and name.
xstring JoinPath(const xstring& dir, const char* name)
{
    xstring path;
    const int32_t n = int32_t(std::strlen(name));
    path.reserve(dir.size() + 1 + n);
    path += dir;
    if (dir.empty() || dir.back() != '/') path += '/';
    path.append(name, n);
    return path;
}

// True when the name's extension (after its last '.'), lower-cased, is "jpg".
bool HasJpgExtension(const char* name)
{
    const char* dot = std::strrchr(name, '.');
    if (!dot) return false;
    const char* ext = dot + 1;
    return std::strlen(ext) == 3 && (ext[0] | 0x20) == 'j' && (ext[1] | 0x20) == 'p' && (ext[2] | 0x20) == 'g';
}

bool IsDotOrDotDot(const char* name)
{
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

// Closes a stdio stream when it goes.
struct FileCloser {
    FILE* f;
    ~FileCloser()
    {
        if (f) std::fclose(f);
    }
};

} // namespace

bool ReadJpegHeader(const xstring& path, int32_t& width, int32_t& height)
{
    xstring z(path);
    FileCloser file{OpenFileUtf8(z.c_str(), "rb")};
    if (!file.f) {
        TraceStream t;
        t << "Can't open " << ShownName(path.Range()) << "\n";
        return false;
    }
    JpegHeaderInfo info;
    try {
        info = ReadJpegFileHeader(file.f);
    } catch (const IException&) {
        TraceStream t;
        t << "Error reading header of image " << ShownName(path.Range()) << "\n";
        return false;
    }
    if (info.colour == JpegOutputColour::Other) {
        TraceStream t;
        t << "Image " << ShownName(path.Range()) << " is not JCS_GRAYSCALE or JCS_RGB\n";
        return false;
    }
    // A header may claim more pixels than any bitmap can hold: such a photo could never
    // be painted, and is not laid out.
    try {
        ResDIB::CheckShape(info.colour == JpegOutputColour::Grey ? 8 : 24, info.width, info.height);
    } catch (const VornException& e) {
        TraceStream t;
        t << "Image " << ShownName(path.Range()) << " cannot be decoded : " << e.GetMessage() << "\n";
        return false;
    }
    width = info.width;
    height = info.height;
    return true;
}

void ScanDirectoryForJpegs(const xstring& directory, xvector<ImageFileRecord>& records)
{
    const xstring pattern = JoinPath(directory, "*.*");
    DirSearch search;

    // Files first. The directory search describes symbolic links, FIFOs, sockets and
    // devices as system entries, so only regular files are probed. A folder that cannot
    // be searched is reported, not passed over in silence.
    search.Start(pattern);
    if (const int32_t e = search.GetError()) {
        TraceStream t;
        t << "Error : " << ShownName(FileException(uint32_t(e), directory).Describe().Range()) << "\n";
        return;
    }
    while (search.Next()) {
        const FileOrDirInfo& e = search.Current();
        if (e.IsDirectory() || e.IsSystem() || e.IsHidden()) continue;
        const char* name = e.GetNameZ();
        if (!HasJpgExtension(name)) continue;
        ImageFileRecord r;
        r.path = JoinPath(directory, name);
        try {
            if (!ReadJpegHeader(r.path, r.width, r.height)) continue;
        } catch (const IException&) {
            continue;
        }
        records.push_back(std::move(r));
    }

    // Then the subdirectories, depth first. Links to directories are system entries and
    // are not entered, so a link cycle cannot make the walk recurse forever.
    search.Start(pattern);
    while (search.Next()) {
        const FileOrDirInfo& e = search.Current();
        if (!e.IsDirectory() || e.IsSystem() || e.IsHidden()) continue;
        const char* name = e.GetNameZ();
        if (IsDotOrDotDot(name)) continue;
        ScanDirectoryForJpegs(JoinPath(directory, name), records);
    }
}

void LayOutImages(xvector<ImageFileRecord>& records, Montage& montage)
{
    montage.entries.Release();

    int64_t total = 0;
    for (const ImageFileRecord& r : records) total += int64_t(r.width) * int64_t(r.height);
    {
        TraceStream t;
        t << "Total area = " << static_cast<long long>(total) << "\n";
    }
    const double root = std::sqrt(double(total));
    const int32_t suitableWidth = root >= double(INT32_MAX) ? INT32_MAX : int32_t(root);
    {
        TraceStream t;
        t << "Suitable width = " << suitableWidth << "\n";
    }

    // Tallest first; images of equal height keep the order in which they were found.
    std::stable_sort(records.begin(), records.end(),
                     [](const ImageFileRecord& a, const ImageFileRecord& b) { return b.height < a.height; });

    montage.entries.reserve(records.size());
    int64_t x = 0;
    int64_t y = 0;
    int64_t rowHeight = 0;
    for (int32_t k = 0; k < records.size(); ++k) {
        const ImageFileRecord& r = records[k];
        {
            TraceStream t;
            t << "  " << k << "  " << ShownName(r.path.Range()) << "  size = (" << r.width << "," << r.height << ")\n";
        }
        if (rowHeight == 0) rowHeight = r.height;
        if (x + r.width > INT32_MAX || y + r.height > INT32_MAX)
            ThrowVornException("The montage is too large for 32-bit coordinates");
        MontageEntry e;
        e.path = r.path;
        e.x1 = int32_t(x);
        e.y1 = int32_t(y);
        e.x2 = int32_t(x + r.width);
        e.y2 = int32_t(y + r.height);
        montage.entries.push_back(std::move(e));
        x += r.width;
        if (x > suitableWidth) {
            x = 0;
            y += rowHeight;
            rowHeight = 0;
        }
    }
}

void ScanAndLayOutImages(const xstring& directory, Montage& montage)
{
    montage.entries.Release();
    xvector<ImageFileRecord> records;
    ScanDirectoryForJpegs(directory, records);
    {
        TraceStream t;
        t << "Hit a key...\n";
    }
    WaitForKeyPress();
    LayOutImages(records, montage);
}

} // namespace vorn
