#include "Tilvex/Tilvexgen/Entry.h"

int main(int argc, char** argv)
{
    return vorn::TilvexgenMain(argc, const_cast<const char**>(argv));
}
