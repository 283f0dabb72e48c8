// Interactive dialogues; see terminal_dialogue.h.
#include "host/dialogues/terminal_dialogue.h"

#include <string>

#include "formats/text_parsing.h"
#include "host/dialogues/console.h"
#include "host/dialogues/rich_text.h"
#include "host/shared_names.h"

namespace hvhost {

using namespace tolvane::formats;

std::optional<std::string> TerminalDialogue::readAnswer(const std::string& cue) {
  console_.prompt(cue);
  std::string line;
  if (!std::getline(in_, line)) {
    console_.prompt("\n");
    return std::nullopt;
  }
  return std::string(trim(line));
}

std::optional<int> TerminalDialogue::askInteger(const IntegerRequest& request) {
  console_.prompt("\n" + renderRichText(request.prompt) + "\n");
  while (true) {
    const auto answer = readAnswer("  [" + describeRange(request) + "] > ");
    if (!answer) return std::nullopt;
    if (answer->empty()) return request.defaultValue;
    const auto value = parseInt(*answer);
    const bool ranged = request.minimum <= request.maximum;
    if (value && (!ranged || (*value >= request.minimum && *value <= request.maximum))) {
      return value;
    }
    console_.prompt(ranged
                        ? "  please enter a whole number from " + std::to_string(request.minimum) +
                              " to " + std::to_string(request.maximum) + "\n"
                        : std::string("  please enter a whole number\n"));
  }
}

std::optional<bool> TerminalDialogue::askYesNo(std::string_view question) {
  console_.prompt("\n" + renderRichText(question) + "\n");
  while (true) {
    const auto answer = readAnswer(kYesNoDefault ? "  [Y/n] > " : "  [y/N] > ");
    if (!answer) return std::nullopt;
    const std::string word = lowercase(*answer);
    if (word.empty()) return kYesNoDefault;
    if (word == "y" || word == "yes") return true;
    if (word == "n" || word == "no") return false;
    console_.prompt("  please answer yes or no\n");
  }
}

std::optional<std::string> TerminalDialogue::askFileName(const FileRequest& request) {
  console_.prompt("\n" + renderRichText(request.prompt) + "  (" + request.filter + ")\n");
  const std::string cue =
      request.defaultName.empty() ? "  > " : "  [default " + request.defaultName + "] > ";
  while (true) {
    const auto answer = readAnswer(cue);
    if (!answer) return std::nullopt;
    const std::string name = answer->empty() ? request.defaultName : *answer;
    if (name.empty()) {
      console_.prompt("  please enter a file name\n");
      continue;
    }
    if (const std::string problem = request.problemWith(name); !problem.empty()) {
      console_.prompt("  " + problem + "\n");
      continue;
    }
    return name;
  }
}

}  // namespace hvhost
