// Answers-script dialogues; see scripted_dialogue.h for the syntax.
#include "host/dialogues/scripted_dialogue.h"

#include <iostream>

#include "formats/text_parsing.h"
#include "host/dialogues/console.h"
#include "host/dialogues/rich_text.h"
#include "host/shared_names.h"

namespace hvhost {

using namespace tolvane::formats;
namespace {

constexpr std::string_view kSeparator = "=>";

}  // namespace

ScriptedDialogue::ScriptedDialogue(const std::filesystem::path& script, Console& console)
    : console_(console) {
  if (script == "-") {
    scriptName_ = "<standard input>";
    readAnswers(std::cin);
  } else {
    scriptName_ = script.string();
    std::ifstream in = openTextFile(script, kAnswersScriptLimits);
    readAnswers(in);
  }
}

ScriptedDialogue::ScriptedDialogue(std::istream& script, std::string name, Console& console)
    : scriptName_(std::move(name)), console_(console) {
  readAnswers(script);
}

void ScriptedDialogue::readAnswers(std::istream& script) {
  TextLineReader reader(script, scriptName_, kAnswersScriptLimits);
  TextLine line;
  while (reader.next(line)) {
    if (isCommentOrBlank(line.text)) continue;
    const std::string_view content = trim(line.text);
    const std::size_t separator = content.find(kSeparator);
    Answer answer{line.number, "", std::string(content)};
    if (separator != std::string_view::npos) {
      answer.pattern = trim(content.substr(0, separator));
      answer.text = trim(content.substr(separator + kSeparator.size()));
      if (answer.text.empty()) {
        failAt(scriptName_, line.number, "expected an answer after '=>', found nothing");
      }
    }
    answers_.push_back(std::move(answer));
  }
}

std::string ScriptedDialogue::at(const Answer& answer, std::string_view what) const {
  return formats::messageAt(scriptName_, answer.line, what);
}

void ScriptedDialogue::fail(const std::string& message) {
  failed_ = true;
  console_.error(message + "; the run is cancelled");
}

const ScriptedDialogue::Answer* ScriptedDialogue::take(std::string_view kind,
                                                       std::string_view prompt) {
  if (failed_) return nullptr;
  if (next_ == answers_.size()) {
    fail(scriptName_ + ": no answer left for the " + std::string(kind) + " " +
         quotedPrompt(prompt));
    return nullptr;
  }
  const Answer& answer = answers_[next_++];
  if (!answer.pattern.empty() &&
      lowercase(renderRichText(prompt)).find(lowercase(answer.pattern)) == std::string::npos) {
    fail(at(answer, "expected the " + std::string(kind) + " to contain " +
                        inQuotes(answer.pattern) + ", but it asks " + quotedPrompt(prompt)));
    return nullptr;
  }
  return &answer;
}

std::optional<int> ScriptedDialogue::askInteger(const IntegerRequest& request) {
  const Answer* answer = take("integer dialogue", request.prompt);
  if (answer == nullptr) return std::nullopt;
  echoAnswer(console_, request.prompt, answer->text);
  if (answer->text == "cancel") return std::nullopt;
  if (answer->text == "default") return request.defaultValue;
  const auto value = parseInt(answer->text);
  if (!value) {
    fail(at(*answer, "expected a whole number, 'default' or 'cancel' for the integer dialogue, "
                     "found " +
                         inQuotes(answer->text)));
  }
  return value;
}

std::optional<bool> ScriptedDialogue::askYesNo(std::string_view question) {
  const Answer* answer = take("yes/no question", question);
  if (answer == nullptr) return std::nullopt;
  echoAnswer(console_, question, answer->text);
  if (answer->text == "cancel") return std::nullopt;
  const std::string word = lowercase(answer->text);
  if (word == "default") return kYesNoDefault;
  if (word == "yes" || word == "y") return true;
  if (word == "no" || word == "n") return false;
  fail(at(*answer, "expected yes, no, 'default' or 'cancel' for the question, found " +
                       inQuotes(answer->text)));
  return std::nullopt;
}

std::optional<std::string> ScriptedDialogue::askFileName(const FileRequest& request) {
  const Answer* answer = take("file dialogue", request.prompt);
  if (answer == nullptr) return std::nullopt;
  echoAnswer(console_, request.prompt, answer->text);
  if (answer->text == "cancel") return std::nullopt;
  const std::string name = answer->text == "default" ? request.defaultName : answer->text;
  if (name.empty()) {
    fail(at(*answer, "the file dialogue has no default name"));
    return std::nullopt;
  }
  if (const std::string problem = request.problemWith(name); !problem.empty()) {
    fail(at(*answer, problem));
    return std::nullopt;
  }
  return name;
}

}  // namespace hvhost
