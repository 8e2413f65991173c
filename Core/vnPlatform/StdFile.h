// C streams over UTF-8 paths.
#pragma once
#include <cstdint>
#include <cstdio>

namespace vorn {

// Opens the file at a UTF-8 path with a C stdio mode ("r", "w", "rb" ...); null on
// failure, with the error code left in errno.
FILE* FOpenUtf8(const char* path, const char* mode);

// Opens the regular file at a UTF-8 path for reading in binary mode, without ever
// waiting for the open (a FIFO that became the path would otherwise wait for a writer
// for good). Null with *error an errno value when it cannot be opened, or -1 when the
// path is not a regular file.
FILE* FOpenRegularFileForReading(const char* path, int* error);

// The size in bytes of the open file, or -1 with *error an errno value.
int64_t OpenFileSize(FILE* f, int* error);

} // namespace vorn
