// How the study's loader refuses a key: every refusal names the study file, the key's
// line and what was expected (StudyFile::fail), so that a value's check reads as one
// line where it is made.
#pragma once

#include <cstdint>
#include <string>

#include "formats/errors.h"
#include "tolvane/study/study_file.h"

namespace tolvane::study {

class KeyChecker {
 public:
  explicit KeyChecker(const StudyFile& file) : file_(file) {}

  [[noreturn]] void fail(const std::string& key, const std::string& what) const {
    file_.fail(key, what);
  }

  // Runs a read of a file that `key` names; its error is told as the key's.
  template <typename Read>
  auto reading(const std::string& key, Read&& read) const {
    try {
      return read();
    } catch (const formats::InputError& error) {
      fail(key, error.what());
    }
  }

  std::int64_t within(const std::string& key, std::int64_t value, std::int64_t low,
                      std::int64_t high) const {
    if (value < low || value > high) {
      fail(key, "expected a whole number from " + std::to_string(low) + " to " +
                    std::to_string(high) + ", found " + std::to_string(value));
    }
    return value;
  }

 private:
  const StudyFile& file_;
};

}  // namespace tolvane::study
