// The OpenGL 1.1 interface of the system's libGL, with the two extension values the
// drawing code passes (BGR pixel order and edge clamping) defined where the header
// lacks them.
#pragma once
#include <GL/gl.h>

#ifndef GL_BGR_EXT
#define GL_BGR_EXT 0x80E0
#endif
#ifndef GL_CLAMP_TO_EDGE
#define GL_CLAMP_TO_EDGE 0x812F
#endif
