// C streams over UTF-8 paths.
#pragma once
#include <cstdio>

namespace vorn {

// Opens the file at a UTF-8 path with a C stdio mode ("r", "w", "rb" ...); null on
// failure, with the error code left in errno.
FILE* FOpenUtf8(const char* path, const char* mode);

} // namespace vorn
