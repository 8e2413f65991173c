// What an interrupt (SIGINT or SIGTERM) does to a program that is writing a file it
// will rename when done: while armed, the file is removed and the process ends with
// status 1. One file at a time, for the whole process.
#pragma once

namespace vorn {

// From now on an interrupt removes path (UTF-8, copied; at most 4095 bytes) and ends the
// process with status 1.
void RemoveOnInterrupt(const char* path);

// The file is about to be renamed or removed by the program itself: an interrupt that
// comes now waits for ReleaseInterrupts.
void HoldInterrupts();

// Interrupts act as they did before RemoveOnInterrupt; one that came while they were
// held takes effect now.
void ReleaseInterrupts();

} // namespace vorn
