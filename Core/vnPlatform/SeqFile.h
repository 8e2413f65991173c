// Write-only files that are filled from the start, such as copies of a log: created
// empty (an existing file is replaced), held exclusively, and written through to the
// device (every write returns once its data is stable). The handle is the descriptor;
// every function returns 0 or an errno value. Writes and lengths go through
// RasFileWriteAt and RasFileSetLength (RasFile.h).
#pragma once
#include <cstddef>
#include <cstdint>

namespace vorn {

// Creates path (UTF-8) empty for writing only. A file that another open file
// description holds locked is refused with EBUSY and left untouched; *fd is -1 on
// failure.
int SeqFileCreate(const char* path, int* fd);
// Closes the descriptor (and so releases the lock).
int SeqFileClose(int fd);
// Renames from to to (UTF-8 paths), replacing an existing file of that name.
int SeqFileRename(const char* from, const char* to);

} // namespace vorn
