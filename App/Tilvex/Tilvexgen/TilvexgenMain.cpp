#include "Tilvex/Tilvexgen/Entry.h"

// Linux hands the arguments over as UTF-8 already.
int main(int argc, char** argv)
{
    return vorn::TilvexgenMain(argc, const_cast<const char**>(argv));
}
