// The viewer program's run: registers the window class and the program's module,
// opens the store named by the command line with its space "P" as the thread's
// spaces, starts the tile-decode pool (4 threads), creates the viewer window in a
// transaction, runs the message loop until the window is gone, and closes everything
// in reverse order: the decode executer first (waiting for queued decodes), then the
// pool, then the space and the store; only then the window system stops, and the run
// waits for the user to close its error boxes (a stop signal takes them down instead).
// An error box does not stop the run: the window is drawn and tours go on under it.
//
// Exit statuses: -1 when the window class cannot be registered (no display) or without
// a command line ("Command line required"); 1 at the end of a normal run, and also after any
// failure to open the store, its space or its root, to create the window, or to draw,
// each reported on standard error, in the trace and in an error box.
#pragma once
#include "vnUtils/XString.h"

// The viewer's module registration, once per process, first thing in RunViewer: the
// core framework module (with the object-space items), the persistence module, the
// 2-D geometry types, the utility-and-window module, the GUI value types, the image
// model's module, and last the image module followed by PaletteChannelCalculator.
void RegisterViewerModule();
// The command line: the arguments joined by single spaces.
vorn::xstring JoinCommandLine(int argc, char** argv);
// The store path of a command line: a line longer than 2 bytes that starts and ends
// with a double quote loses both; nothing else is parsed.
vorn::xstring StorePathOf(const vorn::xstring& commandLine);
// The program's run; returns its exit status.
int32_t RunViewer(const vorn::xstring& commandLine);
