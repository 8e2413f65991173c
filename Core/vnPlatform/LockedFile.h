// Opening a file for one owner: the file is opened and locked exclusively against
// every other open file description (another process, or another open in this
// process) before anything changes it, so a file someone else holds is never emptied.
// Internal to the platform layer: the flags are open(2) flags.
#pragma once

namespace vorn {

// Opens path (UTF-8) with the open flags (O_CLOEXEC is added; a created file gets mode
// 0666 less the umask), retrying interrupted calls, and takes the exclusive lock
// without waiting. With truncate the file is emptied once the lock is held. Returns 0
// with the descriptor in *fd, or an errno value with *fd -1: EBUSY when another open
// file description holds the lock (the file is left untouched).
int OpenLockedFile(const char* path, int openFlags, bool truncate, int* fd);

// Called with the path between the open and the lock of every OpenLockedFile, when set:
// a test puts another opener's work there (a race made certain). Null for none; not to
// be changed while files are being opened.
using BeforeLockHook = void (*)(const char* path);
void SetBeforeLockHook(BeforeLockHook hook);

} // namespace vorn
