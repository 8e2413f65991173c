// The builder's entry: argument check, store path, messages around the build.
#pragma once
#include "vnUtils/XString.h"
#include "vnPlatform/StandardDescriptors.h"

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

// Runs the builder with argv as given (the bytes of the names, UTF-8 where they are;
// messages show bytes that are not as \xHH); returns the process's exit code: -1
// (status 255) on a usage error, 1 when the build failed or a signal ended it, 0 when
// the store is complete. First of all, closed standard descriptors are opened on
// nullDevice (/dev/null but in tests; when that fails, "Error : " and the file error go
// to standard error or output, whichever is open, nothing is opened and the result is
// 1) and the signals that would end the process are caught (so that a key wait gives
// the terminal back however it ends).
int TilvexgenMain(int argc, const char** argv, const char* nullDevice = kNullDevice);

} // namespace vorn
