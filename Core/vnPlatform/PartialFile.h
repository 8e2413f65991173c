// A file written under a temporary name and renamed to its final one when complete:
// clearing what is left at the temporary name, knowing the file by its identity (so
// that only the file a program created is renamed or removed, never another that has
// taken its name), and the rename that survives a power cut.
// Calls return 0 or an errno value.
#pragma once
#include <cstdint>

namespace vorn {

// Which file a name stands for: the device and the file's number on it.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
};

// Removes what is at path (UTF-8) so that the file can be created new there: a link,
// or any other entry that is not a directory, is removed without being followed; a
// regular file only when no other open file description holds it locked (EBUSY then,
// and the file is left as it is), and only while it is still the file that was locked.
// A regular file of the caller's that the caller may not read (mode 000, left so by a
// build under a umask that took every permission) is given read permission to be
// locked, and has its mode back when another holds it. Nothing there gives 0; a
// directory gives EISDIR.
int ClearPartialFile(const char* path);

// The identity of the entry at path (a final link is not followed).
int QueryFileIdentity(const char* path, FileIdentity* id);

// Removes path only while it names the file id; 0 also when it names another file or
// nothing (that one is left).
int RemoveFileIfIdentity(const char* path, const FileIdentity& id);

// What RenameDurably did: whether the rename took place, which name a failure before it
// concerns, and a failure after it (the sync), which is never the call's result.
struct RenameOutcome {
    enum Where { kNothing, kFolder, kFrom, kTo };
    bool renamed = false;
    Where failedAt = kNothing;
    int syncError = 0;
};

// Renames from, which must still name the file id (EBUSY otherwise, and nothing is
// renamed), to to (replacing to), then makes the rename stable on the device by syncing
// the directory that holds to. That directory is opened before the rename: when it
// cannot be (a folder that may be written and searched but not read), nothing is
// renamed and its error is returned.
int RenameDurably(const char* from, const FileIdentity& id, const char* to, RenameOutcome* out);

} // namespace vorn
