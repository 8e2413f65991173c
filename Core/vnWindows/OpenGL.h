// OpenGL for the window classes and the code that draws in their windows: the platform's
// GL entry points (vorn::Gl(), see vnPlatform/Gl.h), which exist in a program that links
// the window system, and the pixel-exact projection.
#pragma once
#include "vnPlatform/Gl.h"
#include "vnWindows/PixelProjection.h"
