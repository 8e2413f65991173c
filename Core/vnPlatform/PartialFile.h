// A file written under a temporary name and renamed to its final one when complete:
// clearing what is left at the temporary name, and the rename that survives a power cut.
// Calls return 0 or an errno value.
#pragma once

namespace vorn {

// Removes what is at path (UTF-8) so that the file can be created new there: a link,
// or any other entry that is not a directory, is removed without being followed; a
// regular file only when no other open file description holds it locked (EBUSY then,
// and the file is left as it is). Nothing there gives 0; a directory gives EISDIR.
int ClearPartialFile(const char* path);

// Renames from to to (replacing to), then makes the rename stable on the device by
// syncing the directory that holds to.
int RenameDurably(const char* from, const char* to);

} // namespace vorn
