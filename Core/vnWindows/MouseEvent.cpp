#include "vnWindows/MouseEvent.h"
#include "vnUtils/TextWriter.h"

namespace vorn {

TextWriter& operator<<(TextWriter& w, const MouseEvent& e)
{
    return w << "MouseEvent(" << e.pos << "," << e.prevPos << "," << e.zDelta << "," << e.flags << ","
             << int32_t(e.type) << ")";
}

} // namespace vorn
