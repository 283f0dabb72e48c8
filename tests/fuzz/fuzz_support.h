// What the fuzz targets share: the raw input as a stream, and the check that turns a
// broken promise of a reader into a finding.
//
// A reader may refuse any input with an InputError; that is its job, and the targets
// catch it. Anything else counts as a finding: a crash, a sanitizer report, a leak,
// an exception of another kind, a hang, a huge allocation, or an accepted result that
// breaks what the reader promises (checked with require()).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

namespace fuzzing {

inline std::istringstream inputStream(const std::uint8_t* data, std::size_t size) {
  return std::istringstream(std::string(reinterpret_cast<const char*>(data), size),
                            std::ios::in | std::ios::binary);
}

// Aborts, which the fuzzer reports with the input, when an accepted result breaks a
// promise of its reader.
inline void require(bool holds, const char* promise) {
  if (holds) return;
  std::fprintf(stderr, "broken promise: %s\n", promise);
  std::abort();
}

}  // namespace fuzzing
