#include "vnPlatform/StandardDescriptors.h"
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace vorn {

namespace {

bool IsDescriptorOpen(int fd) { return ::fcntl(fd, F_GETFD) >= 0 || errno != EBADF; }

} // namespace

int OpenClosedStandardDescriptors(const char* nullDevice)
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (IsDescriptorOpen(fd)) continue;
        int f;
        // The lowest free descriptor is this one: the lower ones are open by now.
        do f = ::open(nullDevice, fd == 0 ? O_RDONLY : O_WRONLY);
        while (f < 0 && errno == EINTR);
        if (f < 0) return errno;
        if (f != fd) {
            ::dup2(f, fd);
            ::close(f);
        }
    }
    return 0;
}

void WriteToAnOpenStandardStream(const char* text, size_t n)
{
    const int fd = IsDescriptorOpen(2) ? 2 : IsDescriptorOpen(1) ? 1 : -1;
    while (fd >= 0 && n > 0) {
        const ssize_t w = ::write(fd, text, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        text += w;
        n -= size_t(w);
    }
}

} // namespace vorn
