// The kinds of error that the shared file formats throw. Both programs built on the
// formats tell the user's mistakes (a file or value that cannot be used) from the
// system's refusals (a file that cannot be written), and choose what to do with each;
// the formats only say which it is and, in the message, which file and why.
#pragma once

#include <stdexcept>

namespace tolvane::formats {

// A problem with something the user gave us: a file, an option, an answer.
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A file could not be written; the message names it and says why.
class OutputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace tolvane::formats
