#include "vnPlatform/StdFile.h"

namespace vorn {

// Linux paths are bytes: the UTF-8 text is the name as it is.
FILE* FOpenUtf8(const char* path, const char* mode) { return std::fopen(path, mode); }

} // namespace vorn
