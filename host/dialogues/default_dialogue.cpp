// Dialogues answered with their defaults; see default_dialogue.h.
#include "host/dialogues/default_dialogue.h"

#include <string>

#include "host/dialogues/console.h"

namespace hvhost {

std::optional<int> DefaultDialogue::askInteger(const IntegerRequest& request) {
  if (failed_) return std::nullopt;
  echoAnswer(console_, request.prompt, std::to_string(request.defaultValue) + " (default)");
  return request.defaultValue;
}

std::optional<bool> DefaultDialogue::askYesNo(std::string_view question) {
  if (failed_) return std::nullopt;
  echoAnswer(console_, question, kYesNoDefault ? "yes (default)" : "no (default)");
  return kYesNoDefault;
}

std::optional<std::string> DefaultDialogue::askFileName(const FileRequest& request) {
  if (failed_) return std::nullopt;
  std::string problem;
  if (request.defaultName.empty()) {
    problem = request.kind == FileRequest::Kind::Open
                  ? "no file given for the dialogue (use --protocol FILE)"
                  : "the dialogue has no default name";
  } else {
    problem = request.problemWith(request.defaultName);
  }
  if (!problem.empty()) {
    failed_ = true;
    console_.error(quotedPrompt(request.prompt) + ": " + problem + "; the run is cancelled");
    return std::nullopt;
  }
  echoAnswer(console_, request.prompt, request.defaultName + " (default)");
  return request.defaultName;
}

}  // namespace hvhost
