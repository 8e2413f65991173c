// The standard descriptors 0, 1 and 2 of a program started with some of them closed.
// A closed one would be the next file the program opens, and what the program means
// for standard output would go into that file; so each closed one is opened on
// /dev/null before anything else is.
#pragma once

namespace vorn {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is not open (input on 0,
// output on 1 and 2). Call first thing, before any file is opened.
void OpenClosedStandardDescriptors();

} // namespace vorn
