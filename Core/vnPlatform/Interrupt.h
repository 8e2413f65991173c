// What a signal that would end the process (SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT and
// every other one whose default action ends it, unless it is ignored or handled when the
// handlers are installed) does to a program that is writing a file it will rename when
// done: while armed, the file is removed (only while it is still the program's own, by
// its identity) and the process ends with status 1. Otherwise the signal does what it
// did before. Either way a key wait in progress gives the terminal its mode back first.
// One file at a time, for the whole process.
#pragma once
#include "vnPlatform/PartialFile.h"

namespace vorn {

// Installs the handlers, once; a program calls it at its start, so that every key wait
// gives the terminal back whatever signal ends it.
void CatchInterrupts();

// From now on such a signal removes path (UTF-8, copied; at most 4095 bytes) while it
// names the file id, and ends the process with status 1. Installs the handlers.
void RemoveOnInterrupt(const char* path, const FileIdentity& id);

// The file is about to be renamed or removed by the program itself: a signal that
// comes now waits for ReleaseInterrupts.
void HoldInterrupts();

// The file is still there and still the program's after all (its rename failed):
// signals remove it again, as after RemoveOnInterrupt; one that came while they were
// held takes effect now. Only after RemoveOnInterrupt.
void ResumeInterrupts();

// Signals act as they did before RemoveOnInterrupt (the file is never removed by them
// again); one that came while they were held takes effect now.
void ReleaseInterrupts();

} // namespace vorn
