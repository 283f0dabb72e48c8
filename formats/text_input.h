// Reading line-oriented text inputs (protocols, VOI lists, event tables, answers
// scripts) within limits, one line at a time.
//
// A reader never holds more than one line and never reads past its limits: a file
// larger than its format allows, a line longer than any the format needs, or a NUL
// byte (a binary file given where text was expected) is an InputError naming the
// file and the line, before memory or time is spent on it. Line numbers count every
// physical line, blank and comment lines included; a trailing carriage return (files
// written on Windows) is dropped. The same reader serves files, standard input and
// in-memory text, so every parser can be driven from memory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <istream>
#include <string>

namespace tolvane::formats {

struct TextLimits {
  std::uint64_t maxBytes;
  std::size_t maxLineLength;
};

struct TextLine {
  int number;  // 1-based
  std::string text;
};

class TextLineReader {
 public:
  // Problems are reported as coming from `name`, a file name or "<standard input>".
  TextLineReader(std::istream& in, std::filesystem::path name, TextLimits limits);

  // Reads the next line, without its line end, into `line`; false at the end of the
  // input. Throws InputError.
  bool next(TextLine& line);
  const std::filesystem::path& name() const { return name_; }

 private:
  std::istream& in_;
  std::filesystem::path name_;
  TextLimits limits_;
  std::uint64_t bytesRead_ = 0;
  int lineNumber_ = 0;
};

// Opens a text file for a TextLineReader. A missing or unreadable file, a folder, and
// a regular file larger than limits.maxBytes are refused (InputError) before anything
// is read; devices and pipes are bounded by the reader as it goes.
std::ifstream openTextFile(const std::filesystem::path& file, const TextLimits& limits);

}  // namespace tolvane::formats
