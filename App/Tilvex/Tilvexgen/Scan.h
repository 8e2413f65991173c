// The builder's first phase: find every JPEG image below a directory, learn each
// image's size from its header alone, and lay the images out side by side in rows that
// together form a roughly square montage.
#pragma once
#include "vnUtils/XString.h"
#include <cstdint>

namespace vorn {

// One image found by the scan.
struct ImageFileRecord {
    xstring path; // UTF-8
    int32_t width = 0;
    int32_t height = 0;
};

// One placed image: its rectangle in montage pixels (y downwards, x2 and y2 exclusive).
struct MontageEntry {
    xstring path;
    int32_t x1 = 0;
    int32_t y1 = 0;
    int32_t x2 = 0;
    int32_t y2 = 0;
};

// The layout: a bounding box (filled in by the pyramid computation) and the entries in
// placement order.
struct Montage {
    int32_t x1 = 0;
    int32_t y1 = 0;
    int32_t x2 = 0;
    int32_t y2 = 0;
    xvector<MontageEntry> entries;
};

// Empties the montage's entries, scans the directory, prints "Hit a key...", waits for
// a key and lays the images out (LayOutImages).
void ScanAndLayOutImages(const xstring& directory, Montage& montage);

// Appends a record for every accepted image below the directory: first the files of
// the directory itself, then each subdirectory's, depth first, in the order of the
// directory search. A file is taken when it is a regular file, neither hidden nor
// system, and its extension lower-cased is "jpg"; directories that are hidden or
// system (symbolic links among them) are not entered. Paths are the directory, a '/'
// unless it ends with one, and the entry's own name.
void ScanDirectoryForJpegs(const xstring& directory, xvector<ImageFileRecord>& records);

// Reads the JPEG header of a file: true with the output size for a grey or RGB image.
// Otherwise prints why ("Can't open ", "Image ... is not JCS_GRAYSCALE or JCS_RGB",
// "Error reading header of image ") and returns false.
bool ReadJpegHeader(const xstring& path, int32_t& width, int32_t& height);

// Prints the total area and the suitable width (the truncated square root of the
// area), then places the records from the tallest to the lowest, images of equal height
// in the order of the records, printing a line for each: left to right in rows, a row
// ending with the image that carries it past the suitable width, each row as tall as its
// first image. The montage's entries are replaced; the records are left sorted,
// tallest first.
void LayOutImages(xvector<ImageFileRecord>& records, Montage& montage);

} // namespace vorn
