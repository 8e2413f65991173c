// A pixel-exact 2-D projection: with the current context, maps the client rectangle
// rect (x2, y2 exclusive; y growing downwards) onto the viewport one unit per pixel,
// with pixel centres shifted by 0.375 so that integer coordinates hit whole pixels.
#pragma once
#include "vnUtils/Geometry.h"

namespace vorn {

void GLSetPixelProjection(const Rect2i& rect);

} // namespace vorn
