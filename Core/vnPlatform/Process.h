// Child processes: start a program with arguments and extra environment entries, end
// it with SIGKILL, wait for it; and an append to a file that is on the device before
// the call returns. Calls return 0 or an errno value.
#pragma once
#include <cstddef>
#include <cstdint>

namespace vorn {

struct ChildProcess {
    int32_t m_pid = 0; // 0: none
};

// The running program's own executable (for starting it again as a child).
constexpr const char* kSelfExecutable = "/proc/self/exe";

// Starts program with args (null-terminated; args[0] is the child's argv[0]) and the
// calling process's environment, in which every "NAME=VALUE" of extraEnv (null-
// terminated, may be null) replaces or adds its variable. The child's standard output
// and error go to outputPath (created or emptied) when it is given.
int StartProcess(const char* program, const char* const* args, const char* const* extraEnv, const char* outputPath,
                 ChildProcess* child);

// Sends SIGKILL.
int KillProcess(const ChildProcess& child);

// Sends SIGTERM (terminate) or SIGINT.
int InterruptProcess(const ChildProcess& child, bool terminate);

// Waits until the child ends. *exitCode is its exit status, or minus the number of the
// signal that ended it.
int WaitProcess(const ChildProcess& child, int* exitCode);

// Appends n bytes to the file at path (created when missing) and flushes them to the
// device before returning.
int AppendToFileDurably(const char* path, const void* bytes, size_t n);

} // namespace vorn
