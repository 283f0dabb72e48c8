// What a reader says when it refuses its input, for tests of the readers.
#pragma once

#include <string>

#include "formats/text_parsing.h"

// The InputError message of running `read`, or "" when the input was accepted.
template <typename Read>
std::string refusal(Read read) {
  try {
    read();
  } catch (const tolvane::formats::InputError& error) {
    return error.what();
  }
  return "";
}
