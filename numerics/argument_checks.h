// Refusing an argument that a routine cannot work with. Module-internal: nothing here
// is exported.
//
// A routine that meets an argument outside its range ends the process through vcerror
// with a message that names the routine, the argument and its value, for example
// "select: k = 4 is outside 1..n = 3", so that a caller reading the log knows which
// call was wrong. The check comes first, before anything is read, written or
// allocated. The formatting is inline, so that every caller refers to vcerror itself.
#pragma once

#include <cstdarg>
#include <cstdio>

#include "numerics/arrays.h"

#pragma GCC visibility push(hidden)

namespace tolvane::numerics {

// Formats the message like printf and ends the process through vcerror. Messages are
// short; a longer one is cut, never overrun.
[[noreturn]] __attribute__((format(printf, 1, 2))) inline void refuseArgument(const char* format,
                                                                              ...) {
  char message[256];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(message, sizeof message, format, arguments);
  va_end(arguments);
  vcerror(message);
}

// 1, 2, 4, ...; 0 is not a power of 2.
constexpr bool isPowerOfTwo(unsigned long n) { return n != 0 && (n & (n - 1)) == 0; }

}  // namespace tolvane::numerics

#pragma GCC visibility pop
