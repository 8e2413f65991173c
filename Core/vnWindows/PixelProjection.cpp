#include "vnWindows/PixelProjection.h"
#include "vnPlatform/Gl.h"

namespace vorn {

void GLSetPixelProjection(const Rect2i& rect)
{
    glViewport(0, 0, rect.x2 - rect.x1, rect.y2 - rect.y1);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(rect.x1, rect.x2, rect.y2, rect.y1, -1.0, 1.0);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glTranslatef(0.375f, 0.375f, 0.0f);
}

} // namespace vorn
