// Strict UTF-8 / UTF-16 conversion, the platform's stand-in for the system's code-page
// conversions. UTF-8 input must be well formed: overlong forms, encoded surrogates
// (U+D800..U+DFFF), values above U+10FFFF, truncated sequences, stray continuation
// bytes and the bytes C0, C1, F5..FF are rejected. UTF-16 input must pair every
// surrogate. Both directions work in two passes: count (which validates), then convert.
#pragma once
#include <cstddef>
#include <cstdint>

namespace vorn {

// The number of UTF-16 units that the n bytes at s decode to, or -1 when they are not
// well-formed UTF-8.
int64_t CountUtf8AsUtf16(const char* s, size_t n);
// Decodes n bytes of UTF-8 at s into out, which has room for CountUtf8AsUtf16(s, n)
// units; returns the number of units written. Stops at the first malformed sequence.
size_t ConvertUtf8ToUtf16(const char* s, size_t n, char16_t* out);

// The number of UTF-8 bytes that the n units at s encode to, or -1 when a surrogate is
// unpaired.
int64_t CountUtf16AsUtf8(const char16_t* s, size_t n);
// Encodes n UTF-16 units at s into out, which has room for CountUtf16AsUtf8(s, n)
// bytes; returns the number of bytes written. Stops at the first unpaired surrogate.
size_t ConvertUtf16ToUtf8(const char16_t* s, size_t n, char* out);

} // namespace vorn
