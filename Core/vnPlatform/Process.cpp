#include "vnPlatform/Process.h"
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace vorn {

namespace {

// The length of the name part of "NAME=VALUE" (the whole text when there is no '=').
size_t NameLength(const char* entry)
{
    const char* eq = std::strchr(entry, '=');
    return eq ? size_t(eq - entry) : std::strlen(entry);
}

} // namespace

int StartProcess(const char* program, const char* const* args, const char* const* extraEnv, const char* outputPath,
                 ChildProcess* child)
{
    child->m_pid = 0;
    std::vector<char*> env;
    for (char** e = environ; e && *e; ++e) {
        bool replaced = false;
        for (const char* const* x = extraEnv; x && *x && !replaced; ++x) {
            const size_t n = NameLength(*x);
            replaced = NameLength(*e) == n && std::strncmp(*e, *x, n) == 0;
        }
        if (!replaced) env.push_back(*e);
    }
    for (const char* const* x = extraEnv; x && *x; ++x) env.push_back(const_cast<char*>(*x));
    env.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    int rc = posix_spawn_file_actions_init(&actions);
    if (rc != 0) return rc;
    if (outputPath) {
        // No O_CLOEXEC: the child closes its descriptor 1 before the open, so the file
        // lands on 1 itself and must stay open across the exec.
        rc = posix_spawn_file_actions_addopen(&actions, 1, outputPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (rc == 0) rc = posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    pid_t pid = 0;
    if (rc == 0) rc = posix_spawn(&pid, program, &actions, nullptr, const_cast<char* const*>(args), env.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc == 0) child->m_pid = int32_t(pid);
    return rc;
}

int KillProcess(const ChildProcess& child)
{
    if (child.m_pid <= 0) return ESRCH;
    return ::kill(pid_t(child.m_pid), SIGKILL) == 0 ? 0 : errno;
}

int InterruptProcess(const ChildProcess& child, bool terminate)
{
    if (child.m_pid <= 0) return ESRCH;
    return ::kill(pid_t(child.m_pid), terminate ? SIGTERM : SIGINT) == 0 ? 0 : errno;
}

int WaitProcess(const ChildProcess& child, int* exitCode)
{
    if (child.m_pid <= 0) return ECHILD;
    int status = 0;
    for (;;) {
        const pid_t r = ::waitpid(pid_t(child.m_pid), &status, 0);
        if (r >= 0) break;
        if (errno != EINTR) return errno;
    }
    if (WIFEXITED(status)) *exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status)) *exitCode = -WTERMSIG(status);
    else *exitCode = -1;
    return 0;
}

int AppendToFileDurably(const char* path, const void* bytes, size_t n)
{
    const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    const char* p = static_cast<const char*>(bytes);
    int rc = 0;
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            rc = errno;
            break;
        }
        p += w;
        n -= size_t(w);
    }
    if (rc == 0 && ::fsync(fd) != 0) rc = errno;
    if (::close(fd) != 0 && rc == 0) rc = errno;
    return rc;
}

} // namespace vorn
