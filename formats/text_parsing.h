// Tokens and whole-text parses shared by the text formats (protocols, VOI lists, event
// tables, answers scripts), and the messages that report problems with them. Every
// problem becomes an InputError whose message names the file, the 1-based line and
// what was expected, in the form "FILE:LINE: expected ..., found ...".
#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane::formats {

// A problem with something the user gave us: a file, an option, an answer.
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws InputError "FILE:LINE: WHAT".
[[noreturn]] void failAt(const std::filesystem::path& file, int line, std::string_view what);

std::string_view trim(std::string_view text);
bool isCommentOrBlank(std::string_view line);  // blank, or '#' as first non-blank
std::vector<std::string_view> splitWhitespace(std::string_view text);
std::vector<std::string_view> splitTabs(std::string_view text);

// Whole-text parses: no leading or trailing junk, decimal only.
std::optional<int> parseInt(std::string_view text);
std::optional<double> parseFiniteNumber(std::string_view text);

// Control characters shown as escapes (\t, \xNN), so that text from a binary or
// hostile file cannot garble the terminal.
std::string printable(std::string_view text);
// Printable, quoted for messages and shortened when long so that one message stays one
// line.
std::string inQuotes(std::string_view text);

}  // namespace tolvane::formats
