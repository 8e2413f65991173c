// Process-wide state that exists before either program's entry function runs.
//
// Thread-local slots: each is a C++ thread_local variable defined by the code that owns
// it (null or zero on a new thread; values stored in them belong to their owners):
//   current object space (CSpace*), object stack frame, operation callbacks,
//   current persistent space (PSpace*), ambient resource table, window state,
//   current view, trace indentation (Trace.cpp), module index table,
//   object-identifier remapping.
// The CRC-32 table is built by its own unit.
#include "vnPlatform/Console.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/Guid.h"
#include "vnUtils/TextWriter.h"
#include <cstdio>

namespace vorn {

namespace {

// The error categories are compile-time values: no unit can see them unset.
constexpr Guid kGeneralErrorCategory = {0x7C3E52A0, 0x58B1, 0x12C4, {0xA4, 0xE7, 0x00, 0xC0, 0xF0, 0x3D, 0x81, 0xB6}};
constexpr Guid kFileErrorCategory = {0x7C3E52A5, 0x58B1, 0x12C4, {0xA4, 0xE7, 0x00, 0xC0, 0xF0, 0x3D, 0x81, 0xB6}};

struct ConsoleOutput {
    StdioOutputStream stream;
    TextWriter writer{&stream};
};

// Made at start-up so that it exists before user code and, being made early, is
// destroyed late (after the objects that may still write to it).
const bool s_consoleReady = (GetConsoleWriter(), true);

} // namespace

const Guid& GeneralErrorCategory() { return kGeneralErrorCategory; }
const Guid& FileErrorCategory() { return kFileErrorCategory; }

TextWriter& GetConsoleWriter()
{
    // Its destructor writes what the writer still holds to standard output.
    static ConsoleOutput console;
    return console.writer;
}

void WaitForKeyPress()
{
    try {
        GetConsoleWriter().Flush();
    } catch (...) {
        // stdout's own errors are not the wait's business.
    }
    WaitForKey();
}

} // namespace vorn
