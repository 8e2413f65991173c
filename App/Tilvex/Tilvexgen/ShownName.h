// Names as the builder shows them. A file name here is the bytes the file system gives,
// kept as they are for every file operation; in a message a name that is not UTF-8, or
// that holds control characters (a line break in a name would break the line), shows
// each such byte as \xHH. Valid UTF-8 without control characters shows as it is.
#pragma once
#include "vnUtils/XString.h"

namespace vorn {

xstring ShownName(SubString8 name);

} // namespace vorn
