// The host's modal dialogues, answered in one of three ways: by a person at a
// terminal, by an answers script, or with every dialogue's default.
//
// A dialogue returns nullopt when it is cancelled; the host turns that into the 0
// that the plug-in expects. A dialogue that cannot be answered as meant (a script
// that runs out or drifts out of step, a default that does not exist) says why on the
// console and marks itself failed; from then on every dialogue is cancelled, so the
// run ends without saving anything.
//
// Integer dialogues work like a spin box: when minimum <= maximum an answer outside
// that range is brought into it with a warning; when minimum > maximum the answer is
// taken as given. That rule is the host's (bringIntoRange), not each dialogue's; a
// person at a terminal is asked again instead, since a typo that changes the
// experiment should not pass with only a warning.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace hvhost {

class Console;

struct IntegerRequest {
  std::string prompt;
  int defaultValue;
  int minimum;
  int maximum;
};

struct FileRequest {
  enum class Kind { Open, Save };
  Kind kind;
  std::string prompt;
  std::string defaultName;
  std::string filter;
  // Why a name cannot be taken (a file that does not exist, a name too long), or an
  // empty text when it can.
  std::function<std::string(const std::string&)> problemWith;
};

// Yes/no questions default to yes: both questions the plug-in asks (whether to use the
// available VOIs, whether to centre the cluster on the cross) are ones a person who
// set up VOIs or a cross position wants answered yes.
constexpr bool kYesNoDefault = true;

class Dialogue {
 public:
  virtual ~Dialogue() = default;
  virtual std::optional<int> askInteger(const IntegerRequest& request) = 0;
  virtual std::optional<bool> askYesNo(std::string_view question) = 0;
  virtual std::optional<std::string> askFileName(const FileRequest& request) = 0;
  virtual bool failed() const { return false; }
};

// The spin-box rule; warns on the console when it changes the value.
int bringIntoRange(int value, const IntegerRequest& request, Console& console);

// "default 250, 1 to 1000", or "default 2" when the range is empty.
std::string describeRange(const IntegerRequest& request);

// A prompt rendered as plain text on one line, its line breaks as blanks, for
// messages that name a dialogue.
std::string promptOnOneLine(std::string_view prompt);

// A prompt in quotes for messages, shown as the terminal shows it: rendered as plain
// text, line by line (control characters escaped), shortened when long.
std::string quotedPrompt(std::string_view prompt);

// Reports an answer that was given without a person: "? PROMPT -> ANSWER".
void echoAnswer(Console& console, std::string_view prompt, std::string_view answer);

}  // namespace hvhost
