// Rules shared by every way of answering dialogues; see dialogue.h.
#include "host/dialogues/dialogue.h"

#include <string>

#include "host/dialogues/console.h"
#include "host/dialogues/rich_text.h"

namespace hvhost {

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

void echoAnswer(Console& console, std::string_view prompt, std::string_view answer) {
  console.prompt("? " + promptOnOneLine(prompt) + " -> " + std::string(answer) + '\n');
}

}  // namespace hvhost
