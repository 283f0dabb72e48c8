// Reading line-oriented text inputs (protocols, VOI lists, event tables, answer
// scripts). Every problem becomes an InputError whose message names the file, the
// 1-based line and what was expected, in the form "FILE:LINE: expected ..., found ...".
// Line numbers count every physical line, blank and comment lines included; a
// trailing carriage return (files written on Windows) is dropped.
#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace hvhost {

// A problem with something the user gave us: a file, an option, an answer.
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TextLine {
  int number;  // 1-based
  std::string text;
};

// All lines of a text file. Throws InputError when it cannot be read or holds a NUL
// byte (a binary file given where text was expected).
std::vector<TextLine> readTextLines(const std::filesystem::path& file);

// Throws InputError "FILE:LINE: WHAT".
[[noreturn]] void failAt(const std::filesystem::path& file, int line, std::string_view what);

std::string_view trim(std::string_view text);
bool isCommentOrBlank(std::string_view line);  // blank, or '#' as first non-blank
std::vector<std::string_view> splitWhitespace(std::string_view text);
std::vector<std::string_view> splitTabs(std::string_view text);

// Whole-text parses: no leading or trailing junk, decimal only.
std::optional<int> parseInt(std::string_view text);
std::optional<double> parseFiniteNumber(std::string_view text);

// Quoted for messages, shortened when long so that one message stays one line.
std::string inQuotes(std::string_view text);

}  // namespace hvhost
