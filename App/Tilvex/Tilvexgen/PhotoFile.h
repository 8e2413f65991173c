// Reading a source photo's file for the builder.
#pragma once
#include "vnUtils/XString.h"
#include "vnUtils/XVector.h"
#include <cstdint>

namespace vorn {

// Reads the whole photo file at path into bytes. The file is opened without waiting
// (a photo that has become a FIFO since the scan would hold the build up for good) and
// only when it is a regular file; otherwise, or on a read error, throws
// vorn::FileException (a vorn::VornException for a file that is not regular).
void ReadPhotoFile(const xstring& path, xvector<uint8_t>& bytes);

} // namespace vorn
