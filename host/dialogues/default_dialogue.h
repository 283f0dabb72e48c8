// Dialogues that take their defaults without asking: integer dialogues their default
// value, questions kYesNoDefault (yes), file dialogues their default name (for the
// protocol dialogue, the file given with --protocol). Each answer is echoed on the
// console. A file dialogue without a usable default fails.
#pragma once

#include "host/dialogues/dialogue.h"

namespace hvhost {

class DefaultDialogue : public Dialogue {
 public:
  explicit DefaultDialogue(Console& console) : console_(console) {}

  std::optional<int> askInteger(const IntegerRequest& request) override;
  std::optional<bool> askYesNo(std::string_view question) override;
  std::optional<std::string> askFileName(const FileRequest& request) override;
  bool failed() const override { return failed_; }

 private:
  Console& console_;
  bool failed_ = false;
};

}  // namespace hvhost
