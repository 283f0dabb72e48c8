// What a reader says when it refuses its input, for tests of hvhost's readers.
#pragma once

#include <string>

#include "host/text_parsing.h"

// The InputError message of running `read`, or "" when the input was accepted.
template <typename Read>
std::string refusal(Read read) {
  try {
    read();
  } catch (const hvhost::InputError& error) {
    return error.what();
  }
  return "";
}
