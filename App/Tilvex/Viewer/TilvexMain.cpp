// The viewer program: Tilvex FILE.tvx
#include "Tilvex/Viewer/ViewerStartUp.h"

int main(int argc, char** argv)
{
    const int32_t status = RunViewer(JoinCommandLine(argc, argv));
    return status == -1 ? 255 : status;
}
