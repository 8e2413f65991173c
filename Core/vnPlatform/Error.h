// Operating-system error codes (errno values) and their texts from the C library.
#pragma once
#include <cstdint>

namespace vorn {

// The calling thread's last error code (errno).
uint32_t GetLastSystemError();
void SetLastSystemError(uint32_t code);
// The C library's description of a code, or null when the library does not know it
// (where it would say "Unknown error N"). The text is static and never freed.
const char* SystemErrorDescription(uint32_t code);

} // namespace vorn
