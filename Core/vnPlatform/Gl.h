// The OpenGL 1.1 entry points the framework draws with, with the two extension values
// the drawing code passes (BGR pixel order and edge clamping) defined where the system
// header lacks them.
//
// The entry points are reached through Gl(), the table of the GL library that the
// program links: vnPlatformWindows installs the system's libGL at start-up; a program
// without it (the console builder) links no GL library, and Gl() throws there.
#pragma once
#include <GL/gl.h>

#ifndef GL_BGR_EXT
#define GL_BGR_EXT 0x80E0
#endif
#ifndef GL_CLAMP_TO_EDGE
#define GL_CLAMP_TO_EDGE 0x812F
#endif

namespace vorn {

// One member for each glName function the framework calls, named without "gl".
struct GlCalls {
    void (*Begin)(GLenum mode);
    void (*End)();
    void (*Vertex2i)(GLint x, GLint y);
    void (*TexCoord2f)(GLfloat s, GLfloat t);
    void (*Color3f)(GLfloat red, GLfloat green, GLfloat blue);
    void (*Enable)(GLenum cap);
    void (*Disable)(GLenum cap);
    void (*PolygonMode)(GLenum face, GLenum mode);
    void (*PixelStorei)(GLenum pname, GLint param);
    void (*TexEnvi)(GLenum target, GLenum pname, GLint param);
    void (*TexParameteri)(GLenum target, GLenum pname, GLint param);
    void (*TexImage2D)(GLenum target, GLint level, GLint internalFormat, GLsizei width, GLsizei height,
                       GLint border, GLenum format, GLenum type, const GLvoid* pixels);
    void (*BindTexture)(GLenum target, GLuint texture);
    void (*Clear)(GLbitfield mask);
    void (*ClearColor)(GLclampf red, GLclampf green, GLclampf blue, GLclampf alpha);
    void (*ClearDepth)(GLclampd depth);
    void (*Viewport)(GLint x, GLint y, GLsizei width, GLsizei height);
    void (*MatrixMode)(GLenum mode);
    void (*LoadIdentity)();
    void (*Ortho)(GLdouble left, GLdouble right, GLdouble bottom, GLdouble top, GLdouble nearVal, GLdouble farVal);
    void (*Translatef)(GLfloat x, GLfloat y, GLfloat z);
};

// The installed table; throws std::runtime_error when the program has no GL library.
const GlCalls& Gl();
// Makes calls the table Gl() returns (vnPlatformWindows calls it during static
// initialisation); null removes it.
void InstallGlCalls(const GlCalls* calls);

} // namespace vorn
