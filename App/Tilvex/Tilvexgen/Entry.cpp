#include "Tilvex/Tilvexgen/Entry.h"
#include <cstdio>

namespace vorn {

int TilvexgenMain(int argc, const char**)
{
    if (argc != 2) {
        std::fputs("Usage: Tilvexgen pathToDirContainingImages\n", stdout);
        return -1;
    }
    return 0;
}

} // namespace vorn
