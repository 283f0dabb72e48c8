// Dialogues answered by a person at a terminal.
//
// Each dialogue shows its prompt (rich text rendered as plain text) with its default
// and, for numbers, its range; an empty line (Enter) accepts the default, invalid
// input is asked again, and end of input (Ctrl-D) cancels.
#pragma once

#include <istream>

#include "host/dialogues/dialogue.h"

namespace hvhost {

class TerminalDialogue : public Dialogue {
 public:
  TerminalDialogue(std::istream& in, Console& console) : in_(in), console_(console) {}

  std::optional<int> askInteger(const IntegerRequest& request) override;
  std::optional<bool> askYesNo(std::string_view question) override;
  std::optional<std::string> askFileName(const FileRequest& request) override;

 private:
  // One line, trimmed; nullopt at end of input.
  std::optional<std::string> readAnswer(const std::string& cue);
  std::istream& in_;
  Console& console_;
};

}  // namespace hvhost
