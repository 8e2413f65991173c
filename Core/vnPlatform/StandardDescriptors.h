// The standard descriptors 0, 1 and 2 of a program started with some of them closed.
// A closed one would be the next file the program opens, and what the program means
// for standard output would go into that file; so each closed one is opened on
// /dev/null before anything else is.
#pragma once
#include <cstddef>

namespace vorn {

constexpr const char* kNullDevice = "/dev/null";

// Opens nullDevice (kNullDevice but in tests) on each of descriptors 0, 1 and 2 that is
// not open (input on 0, output on 1 and 2). Call first thing, before any file is
// opened. Returns 0, or the errno value of the first open that failed: that descriptor
// and the closed ones above it are left closed, and the program must then open no file
// at all (the first would take a standard descriptor's place).
int OpenClosedStandardDescriptors(const char* nullDevice = kNullDevice);

// Writes text (n bytes) to standard error when it is open, else to standard output
// when that is open, else nowhere; without buffering, for a program that cannot go on.
void WriteToAnOpenStandardStream(const char* text, size_t n);

} // namespace vorn
