#include "Tilvex/Tilvexgen/BuildMontage.h"
#include "Tilvex/Tilvexgen/Scan.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/Trace.h"

namespace vorn {

// The scan and layout phase; the store and the pyramid computation are not in place
// yet, so nothing is written to storePath.
bool BuildMontage(const xstring&, const xstring& dir)
{
    try {
        Montage montage;
        ScanAndLayOutImages(dir, montage);
        return true;
    } catch (const IException& e) {
        TraceStream t;
        t << "Error : " << e.Describe() << "\n";
        return false;
    }
}

} // namespace vorn
