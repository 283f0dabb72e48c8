// Dialogues answered from an answers script.
//
// One answer per line, consumed in order, one per dialogue:
//
//   # comment lines start with '#'; blank lines are ignored
//   250                                   an answer alone
//   protocol file => examples/block.prt   a pattern, "=>", then the answer
//
// With a pattern, the dialogue's prompt (rendered as plain text) must contain it,
// ignoring case; otherwise the script has drifted out of step with the run. Answers:
// a whole number for integer dialogues; yes/y/no/n for questions; a file name for
// file dialogues; "default" takes the dialogue's default, "cancel" cancels it.
#pragma once

#include <filesystem>
#include <istream>
#include <string>
#include <vector>

#include "formats/text_input.h"
#include "host/dialogues/dialogue.h"
#include "host/shared_names.h"

namespace hvhost {

// A script answers one run: a few lines, plus one per VOI.
constexpr formats::TextLimits kAnswersScriptLimits{1u << 20, 64u << 10};

class ScriptedDialogue : public Dialogue {
 public:
  // Reads the script; throws InputError. "-" reads standard input.
  ScriptedDialogue(const std::filesystem::path& script, Console& console);
  // Reads the script from `script`, reporting problems as coming from `name`.
  ScriptedDialogue(std::istream& script, std::string name, Console& console);

  std::optional<int> askInteger(const IntegerRequest& request) override;
  std::optional<bool> askYesNo(std::string_view question) override;
  std::optional<std::string> askFileName(const FileRequest& request) override;
  bool failed() const override { return failed_; }

  // Answers not yet consumed, and the line of the first of them.
  std::size_t unusedAnswers() const { return answers_.size() - next_; }
  int firstUnusedLine() const { return unusedAnswers() ? answers_[next_].line : 0; }

 private:
  struct Answer {
    int line;
    std::string pattern;  // empty: no check
    std::string text;
  };
  // The next answer for a dialogue of this kind and prompt, or nullptr when the script
  // has failed (now or before).
  const Answer* take(std::string_view kind, std::string_view prompt);
  void readAnswers(std::istream& script);
  void fail(const std::string& message);
  // "SCRIPT:LINE: WHAT" for the line of `answer`.
  std::string at(const Answer& answer, std::string_view what) const;

  std::string scriptName_;
  Console& console_;
  std::vector<Answer> answers_;
  std::size_t next_ = 0;
  bool failed_ = false;
};

}  // namespace hvhost
