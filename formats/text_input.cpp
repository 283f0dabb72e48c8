// Bounded line reading; see text_input.h.
#include "formats/text_input.h"

#include <cerrno>
#include <cstring>

#include "formats/text_parsing.h"

namespace tolvane::formats {

TextLineReader::TextLineReader(std::istream& in, std::filesystem::path name, TextLimits limits)
    : in_(in), name_(std::move(name)), limits_(limits) {}

bool TextLineReader::next(TextLine& line) {
  std::streambuf* const buffer = in_.rdbuf();
  line.text.clear();
  bool anything = false;
  while (true) {
    const int c = buffer->sbumpc();
    if (c == std::char_traits<char>::eof()) break;
    anything = true;
    if (++bytesRead_ > limits_.maxBytes) {
      failAt(name_, lineNumber_ + 1,
             "expected at most " + describeSize(limits_.maxBytes) + " of text, found more");
    }
    if (c == '\n') break;
    if (c == '\0') {
      failAt(name_, lineNumber_ + 1, "expected text, found a NUL byte (is this a binary file?)");
    }
    if (line.text.size() == limits_.maxLineLength) {
      failAt(name_, lineNumber_ + 1,
             "expected a line of at most " + std::to_string(limits_.maxLineLength) +
                 " characters, found a longer one");
    }
    line.text.push_back(static_cast<char>(c));
  }
  if (!anything) return false;
  line.number = ++lineNumber_;
  if (!line.text.empty() && line.text.back() == '\r') line.text.pop_back();
  return true;
}

std::ifstream openTextFile(const std::filesystem::path& file, const TextLimits& limits) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(file, error);
  if (!std::filesystem::exists(status)) {
    throw InputError(file.string() + ": cannot be opened for reading: " +
                     (error ? error.message() : "no such file"));
  }
  if (std::filesystem::is_directory(status)) {
    throw InputError(file.string() + ": expected a text file, found a folder");
  }
  if (std::filesystem::is_regular_file(status)) {
    const std::uintmax_t size = std::filesystem::file_size(file, error);
    if (!error && size > limits.maxBytes) {
      throw InputError(file.string() + ": expected a text file of at most " +
                       describeSize(limits.maxBytes) + ", found one of " + describeSize(size));
    }
  }
  errno = 0;
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    throw InputError(file.string() + ": cannot be opened for reading" +
                     (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string()));
  }
  return in;
}

}  // namespace tolvane::formats
