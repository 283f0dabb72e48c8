// Rules shared by every way of answering dialogues; see dialogue.h.
#include "host/dialogues/dialogue.h"

#include <algorithm>
#include <string>
#include <vector>

#include "formats/text_parsing.h"
#include "host/dialogues/console.h"
#include "host/dialogues/rich_text.h"
#include "host/shared_names.h"

namespace hvhost {

using namespace tolvane::formats;

int bringIntoRange(int value, const IntegerRequest& request, Console& console) {
  if (request.minimum > request.maximum) return value;
  int clamped = value;
  if (value < request.minimum) clamped = request.minimum;
  if (value > request.maximum) clamped = request.maximum;
  if (clamped != value) {
    console.warning(std::to_string(value) + " is outside " + std::to_string(request.minimum) +
                    " to " + std::to_string(request.maximum) + "; using " +
                    std::to_string(clamped));
  }
  return clamped;
}

std::string describeRange(const IntegerRequest& request) {
  std::string text = "default " + std::to_string(request.defaultValue);
  if (request.minimum <= request.maximum) {
    text += ", " + std::to_string(request.minimum) + " to " + std::to_string(request.maximum);
  }
  return text;
}

std::string promptOnOneLine(std::string_view prompt) {
  std::string shown = renderRichText(prompt);
  for (char& c : shown) {
    if (c == '\n') c = ' ';
  }
  while (!shown.empty() && shown.back() == ' ') shown.pop_back();
  return shown;
}

std::string quotedPrompt(std::string_view prompt) {
  constexpr std::size_t kLongestLine = 100;
  constexpr std::size_t kMostLines = 12;
  const std::string shown = renderRichText(prompt);
  std::vector<std::string_view> lines;
  for (std::size_t start = 0; start <= shown.size();) {
    const std::size_t end = std::min(shown.find('\n', start), shown.size());
    lines.push_back(std::string_view(shown).substr(start, end - start));
    start = end + 1;
  }
  while (lines.size() > 1 && trim(lines.back()).empty()) lines.pop_back();
  if (lines.size() == 1) return inQuotes(lines.front());
  std::string quoted = "\"";
  for (std::size_t i = 0; i < lines.size() && i < kMostLines; ++i) {
    if (i > 0) quoted += '\n';
    quoted += printable(lines[i].substr(0, kLongestLine));
    if (lines[i].size() > kLongestLine) quoted += "...";
  }
  if (lines.size() > kMostLines) quoted += "\n...";
  return quoted + '"';
}

void echoAnswer(Console& console, std::string_view prompt, std::string_view answer) {
  // An answer comes from a script, which may hold escape sequences: they are shown, not
  // sent to the terminal.
  console.prompt("? " + promptOnOneLine(prompt) + " -> " + printable(answer) + '\n');
}

}  // namespace hvhost
