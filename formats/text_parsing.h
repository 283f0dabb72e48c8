// Tokens and whole-text parses shared by the text formats (protocols, VOI lists, event
// tables, answers scripts), and the messages that report problems with them. Every
// problem becomes an InputError whose message names the file, the 1-based line and
// what was expected, in the form "FILE:LINE: expected ..., found ...".
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formats/errors.h"

namespace tolvane::formats {

// "FILE:LINE: WHAT", the one form of every message about a place in a file; "FILE: WHAT"
// when `line` is 0, for a place without a line of its own (a key that a file leaves out).
std::string messageAt(const std::filesystem::path& file, int line, std::string_view what);

// Throws InputError(messageAt(file, line, what)).
[[noreturn]] void failAt(const std::filesystem::path& file, int line, std::string_view what);

std::string_view trim(std::string_view text);
bool isCommentOrBlank(std::string_view line);  // blank, or '#' as first non-blank
std::vector<std::string_view> splitWhitespace(std::string_view text);
std::vector<std::string_view> splitTabs(std::string_view text);

// Whole-text parses: no leading or trailing junk, decimal only.
std::optional<int> parseInt(std::string_view text);
std::optional<double> parseFiniteNumber(std::string_view text);

// ASCII letters lowered; other bytes as they are. Keywords and answers are matched
// without regard to case.
std::string lowercase(std::string_view text);

// A byte below 0x20 or DEL: a tab, a line end, an escape sequence's start.
bool isControlCharacter(char c);
bool hasControlCharacters(std::string_view text);

// The shortest text that reads back as the same value (std::to_chars): for a float,
// the float's digits; a float passed as double gets the double's.
std::string shortestText(float value);
std::string shortestText(double value);

// "512 bytes", "16 MiB", "3.00 GiB": sizes in messages, in the largest unit that keeps
// a number of 1 or more. Amounts of memory are compared in GiB, the unit in which
// machines state theirs, so that need and supply read side by side.
enum class SizeUnit { Fitting, Gibibytes };
std::string describeSize(std::uint64_t bytes, SizeUnit unit = SizeUnit::Fitting);

// Control characters and bytes that are not well-formed UTF-8 shown as escapes (\t,
// \xNN), so that text from a binary or hostile file cannot garble the terminal.
std::string printable(std::string_view text);
// Printable, quoted for messages and shortened when long so that one message stays one
// line.
std::string inQuotes(std::string_view text);

}  // namespace tolvane::formats
