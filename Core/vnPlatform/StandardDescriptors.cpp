#include "vnPlatform/StandardDescriptors.h"
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace vorn {

void OpenClosedStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        int f;
        // The lowest free descriptor is this one: the lower ones are open by now.
        do f = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        while (f < 0 && errno == EINTR);
        if (f >= 0 && f != fd) {
            ::dup2(f, fd);
            ::close(f);
        }
    }
}

} // namespace vorn
