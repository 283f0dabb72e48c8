// Tokens, whole-token parsers and messages shared by the text formats.
#include "formats/text_parsing.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>

namespace tolvane::formats {

std::string messageAt(const std::filesystem::path& file, int line, std::string_view what) {
  std::string message = file.string();
  if (line > 0) message += ':' + std::to_string(line);
  message += ": ";
  message += what;
  return message;
}

void failAt(const std::filesystem::path& file, int line, std::string_view what) {
  throw InputError(messageAt(file, line, what));
}

std::string_view trim(std::string_view text) {
  const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool isCommentOrBlank(std::string_view line) {
  const std::string_view content = trim(line);
  return content.empty() || content.front() == '#';
}

std::vector<std::string_view> splitWhitespace(std::string_view text) {
  std::vector<std::string_view> tokens;
  std::size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
    const std::size_t start = pos;
    while (pos < text.size() && text[pos] != ' ' && text[pos] != '\t') ++pos;
    if (pos > start) tokens.push_back(text.substr(start, pos - start));
  }
  return tokens;
}

std::vector<std::string_view> splitTabs(std::string_view text) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  while (true) {
    const std::size_t tab = text.find('\t', start);
    fields.push_back(text.substr(start, tab == std::string_view::npos ? tab : tab - start));
    if (tab == std::string_view::npos) return fields;
    start = tab + 1;
  }
}

std::optional<int> parseInt(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<double> parseFiniteNumber(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
      !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

std::string lowercase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

bool isControlCharacter(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7f;
}

bool hasControlCharacters(std::string_view text) {
  for (const char c : text) {
    if (isControlCharacter(c)) return true;
  }
  return false;
}

std::string describeSize(std::uint64_t bytes, SizeUnit unit) {
  constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
  constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;
  char text[48];
  if (unit == SizeUnit::Gibibytes || bytes >= kGiB) {
    std::snprintf(text, sizeof text, "%.2f GiB", static_cast<double>(bytes) / kGiB);
  } else if (bytes < kMiB) {
    std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
  } else if (bytes % kMiB == 0) {
    std::snprintf(text, sizeof text, "%llu MiB", static_cast<unsigned long long>(bytes / kMiB));
  } else {
    std::snprintf(text, sizeof text, "%.2f MiB", static_cast<double>(bytes) / kMiB);
  }
  return text;
}

namespace {

// Length of the well-formed UTF-8 sequence that starts text, or 0: names in UTF-8 are
// shown as they are, while stray bytes of a binary file are not.
std::size_t utf8SequenceLength(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xbf;  // range of the second byte
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;   // no overlong forms
    if (lead == 0xed) high = 0x9f;  // no surrogates
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;  // nothing past U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xbf) return 0;
  }
  return length;
}

}  // namespace

std::string printable(std::string_view text) {
  std::string shown;
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    const auto byte = static_cast<unsigned char>(c);
    const std::size_t utf8Length = byte >= 0x80 ? utf8SequenceLength(text.substr(i)) : 0;
    if (utf8Length > 0) {
      shown.append(text.substr(i, utf8Length));
      i += utf8Length;
      continue;
    }
    if (c == '\t') {
      shown += "\\t";
    } else if (byte >= 0x80 || isControlCharacter(c)) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", byte);
      shown += escape;
    } else {
      shown += c;
    }
    ++i;
  }
  return shown;
}

std::string inQuotes(std::string_view text) {
  constexpr std::size_t kLongest = 60;
  return '"' + printable(text.substr(0, kLongest)) + (text.size() > kLongest ? "...\"" : "\"");
}

namespace {

template <typename Number>
std::string shortestTextOf(Number value) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

}  // namespace

std::string shortestText(float value) { return shortestTextOf(value); }
std::string shortestText(double value) { return shortestTextOf(value); }

}  // namespace tolvane::formats
