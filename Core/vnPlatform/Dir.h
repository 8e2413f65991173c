// Directory listings and file-system entry queries.
//
// A listing enumerates the entries of one directory whose names match a wildcard
// pattern, sorted by name (byte order) with "." and ".." first, so that every scan is
// reproducible. Entries are described in the attribute bits and time scale of a
// Windows find record: directory 0x10, hidden 0x2 (a name beginning with '.', except
// "." and ".."), system 0x4 (anything that is neither a regular file nor a directory:
// FIFOs, sockets, devices, symbolic links, which are never followed), read-only 0x1
// (no owner write permission), sparse 0x200 (fewer blocks than the size needs),
// normal 0x80 (a regular file with none of these). Times count 100 ns since
// 1601-01-01 UTC; the creation time is the status-change time.
#pragma once
#include <cstdint>
#include <cstdio>

namespace vorn {

enum : uint32_t {
    kFileAttrReadOnly = 0x1,
    kFileAttrHidden = 0x2,
    kFileAttrSystem = 0x4,
    kFileAttrDirectory = 0x10,
    kFileAttrArchive = 0x20,
    kFileAttrNormal = 0x80,
    kFileAttrSparse = 0x200,
    kFileAttrCompressed = 0x800,
    kFileAttrOffline = 0x1000,
    kFileAttrEncrypted = 0x4000,
};

// One entry, laid out like the Windows find record; the name is the bytes the file
// system holds (UTF-8 where it is), NUL-terminated.
struct DirEntryRecord {
    static constexpr int kMaxName = 256;

    uint32_t attributes = kFileAttrNormal;
    uint64_t creationTime = 0;
    uint64_t lastAccessTime = 0;
    uint64_t lastWriteTime = 0;
    uint32_t sizeHigh = 0;
    uint32_t sizeLow = 0;
    uint32_t reserved0 = 0;
    uint32_t reserved1 = 0;
    char name[kMaxName] = {};
};

struct DirListing; // opaque

// Lists the entries that match a pattern "dir/name-pattern" (no '/' means the current
// directory). The name pattern is a shell wildcard ('*', '?', [...]) matched without
// regard to case; "*" and "*.*" match every name. Null when the directory cannot be
// read (errno tells why); an empty listing otherwise.
DirListing* OpenDirListing(const char* pattern);
// Fills the next entry; false at the end. An entry that vanished since the listing
// was made is passed over.
bool NextDirEntry(DirListing* listing, DirEntryRecord& out);
// Null is ignored.
void CloseDirListing(DirListing* listing);

// Fills the record of the entry at a path (not following a final symbolic link); the
// name is the path's last component. False when it cannot be queried (errno).
bool QueryDirEntry(const char* path, DirEntryRecord& out);

// The size of the open stream's file and whether it is a directory; false when the
// stream's file cannot be queried.
bool QueryStreamFile(FILE* stream, int64_t& size, bool& isDirectory);

// 0 when path is a directory that can be read; otherwise the errno value (ENOTDIR for
// anything else). Allocates nothing.
int CheckReadableDirectory(const char* path);

// Creates a named pipe (FIFO) with permissions 0600; false on failure (errno).
bool MakeFifo(const char* path);

} // namespace vorn
