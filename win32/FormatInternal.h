//===-- win32/FormatInternal.h - wsprintf with a caller's buffer size -----===//
#pragma once

#include <cstdarg>
#include <cstddef>

namespace w32 {

// wvsprintfA's rules with an output buffer of size bytes (the terminating
// zero included); output beyond it is cut. Returns the characters written.
int FormatV(char* buffer, size_t size, const char* format, va_list args);

}  // namespace w32
