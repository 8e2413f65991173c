#include "vnWindows/PixelProjection.h"
#include "vnPlatform/Gl.h"

namespace vorn {

void GLSetPixelProjection(const Rect2i& rect)
{
    const GlCalls& gl = Gl();
    gl.Viewport(0, 0, rect.x2 - rect.x1, rect.y2 - rect.y1);
    gl.MatrixMode(GL_PROJECTION);
    gl.LoadIdentity();
    gl.Ortho(rect.x1, rect.x2, rect.y2, rect.y1, -1.0, 1.0);
    gl.MatrixMode(GL_MODELVIEW);
    gl.LoadIdentity();
    gl.Translatef(0.375f, 0.375f, 0.0f);
}

} // namespace vorn
