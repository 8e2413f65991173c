// The builder's entry: argument check, store path, messages around the build.
#pragma once
#include "vnUtils/XString.h"

namespace vorn {

// The store path for a program started as programPath with the directory dirArg: the
// program's directory joined with the directory's last name, plus ".tvx". Backslashes
// count as '/'; trailing '/' of dirArg are ignored; with no '/' the name is what follows
// the last ':'. A last name "." or ".." stands for the directory it resolves to. False
// (out untouched) when no name is left, as for "/" or "".
bool DeriveStorePath(SubString8 programPath, SubString8 dirArg, xstring& out);

// Registers the program's module record (no required module, one configuration row)
// with the image model's items; once per process.
void RegisterBuilderModule();

// Runs the builder with argv as given (UTF-8); returns the process's exit code: -1
// (status 255) on a usage error, 1 when the build failed, 0 when the store is complete.
int TilvexgenMain(int argc, const char** argv);

} // namespace vorn
