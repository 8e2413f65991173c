// The builder's entry: argument check, store path, messages around the build.
#pragma once
#include "vnUtils/XString.h"

namespace vorn {

// Runs the builder with argv as given (UTF-8); returns the process's exit code
// (-1, so status 255, on a usage error).
int TilvexgenMain(int argc, const char** argv);

} // namespace vorn
