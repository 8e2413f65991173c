#include "vnPlatform/Gl.h"
#include <stdexcept>

namespace vorn {

namespace {

const GlCalls* g_calls = nullptr;

} // namespace

const GlCalls& Gl()
{
    if (!g_calls) throw std::runtime_error("OpenGL is not available: this program is built without a window system");
    return *g_calls;
}

void InstallGlCalls(const GlCalls* calls) { g_calls = calls; }

} // namespace vorn
