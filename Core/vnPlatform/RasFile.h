// File access for the log-structured store: one file opened for positioned reads and
// writes with 64-bit offsets, locked exclusively against every other opener (another
// process, or another open in this process), optionally with direct I/O and
// write-through; and the sector-aligned buffers that direct I/O needs.
// All functions return 0 or an errno value.
#pragma once
#include <cstddef>
#include <cstdint>

namespace vorn {

// Creation dispositions, numbered as vorn::EOpenMode.
enum RasDisposition : int {
    RAS_CREATE_NEW = 0,        // fails with EEXIST when the file exists, EBUSY when another
                               // file took the name before the new one was locked
    RAS_CREATE_ALWAYS = 1,     // an existing file is emptied (after the lock is held)
    RAS_OPEN_EXISTING = 2,     // fails with ENOENT when the file is missing
    RAS_OPEN_ALWAYS = 3,       // a missing file is created empty
    RAS_TRUNCATE_EXISTING = 4, // an existing file is emptied; fails with ENOENT when missing
};

// Alignment of the buffers from RasAllocAligned, and the largest direct-I/O alignment
// (of offsets, lengths and buffers) under which a file is opened for direct I/O.
constexpr size_t kRasBufferAlignment = 4096;
constexpr uint32_t kRasMaxDirectAlignment = 512;

struct RasFileInfo {
    int fd = -1;
    uint64_t size = 0;   // the file's size once opened (and emptied where the mode says)
    bool direct = false; // opened for direct I/O
};

// Opens path (UTF-8) for reading and writing. A file that another open file
// description holds locked is refused with EBUSY and is left untouched. With
// wantDirect the file uses direct I/O when its file system supports it with an
// alignment of at most kRasMaxDirectAlignment; otherwise it stays buffered (info->direct
// tells which). writeThrough makes every write reach the device before it returns.
// An unknown disposition gives EINVAL.
int RasFileOpen(const char* path, int disposition, bool wantDirect, bool writeThrough, RasFileInfo* info);
// Closes the descriptor (and so releases the lock).
int RasFileClose(int fd);

// Reads up to length bytes at offset, retrying after interruptions and short
// transfers, until length bytes came or the end of the file; *done gets the count.
int RasFileReadAt(int fd, void* buffer, size_t length, uint64_t offset, size_t* done);
// Writes all length bytes at offset, retrying after interruptions and short transfers
// (a write that makes no progress gives EIO).
int RasFileWriteAt(int fd, const void* buffer, size_t length, uint64_t offset);
// Sets the file's length (grows with zeros or cuts).
int RasFileSetLength(int fd, uint64_t size);
// Makes the file's data (and the metadata needed to read it back) stable on the device.
int RasFileSync(int fd);
// Turns direct I/O of the open file on or off.
int RasFileSetDirect(int fd, bool on);

// A zero-filled block of at least size bytes aligned to kRasBufferAlignment, or null.
void* RasAllocAligned(size_t size);
void RasFreeAligned(void* p);

} // namespace vorn
