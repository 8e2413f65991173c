// The platform layer: the only code that includes operating-system headers. Everything
// above it reaches the system through these declarations.
#pragma once
