// Console input: a wait for one key press.
#pragma once

namespace vorn {

// Flushes standard output, then waits for one key. On a terminal the key is read
// unbuffered and without echo (the terminal's mode is restored afterwards); otherwise
// one byte of standard input is read. Returns the byte, or -1 at once at the end of
// input or on an error.
int WaitForKey();

// Puts the terminal back in the mode it had before a key wait that is in progress, if
// any. Async-signal-safe: for an interrupt that ends the process during the wait.
void RestoreConsoleAfterInterrupt();

} // namespace vorn
