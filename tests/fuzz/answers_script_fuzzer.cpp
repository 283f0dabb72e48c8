// Fuzz target: answers scripts, read and then consumed by the dialogues of a whole
// run in the order the plug-in asks them, each answer steering the run's course
// (VOIs or sphere, cross or entered centre) as it would for real.
#include <ostream>

#include "formats/text_parsing.h"
#include "host/dialogues/console.h"
#include "host/dialogues/dialogue.h"
#include "host/dialogues/scripted_dialogue.h"
#include "host/shared_names.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using hvhost::FileRequest;
using hvhost::IntegerRequest;

// File dialogues judge names without the file system, which a fuzzer must not roam.
std::string problemWithName(const std::string& name) {
  return name.size() > 260 ? "the name is too long" : "";
}

class RunDialogues {
 public:
  RunDialogues(hvhost::ScriptedDialogue& dialogue, hvhost::Console& console)
      : dialogue_(dialogue), console_(console) {}

  void run() {
    if (integer({"Enter number of simulated time points:", 250, 1, 1000}) <= 0) return;
    if (!file(FileRequest::Kind::Open, "Provide a protocol file:", "")) return;
    if (yesNo("Do you want to use the available VOIs to define simulated clusters?")) {
      for (const char* voi : {"Left cluster", "Right cluster"}) {
        const std::string prompt = std::string("Select predictor for VOI: <b>") + voi +
                                   "</b>:<br><br>1: Rest<br>2: Task<br>";
        if (integer({prompt, 2, 1, 2}) <= 0) return;
      }
    } else {
      if (integer({"Select condition:\n\n1: Rest\n2: Task\n\n", 2, 1, 2}) <= 0) return;
      if (!yesNo("Do you want to use the cross position as the cluster center ?")) {
        integer({"Enter X position of simulated cluster: ", 128, 59, 229});
        integer({"Enter Y position of simulated cluster: ", 128, 54, 170});
        integer({"Enter Z position of simulated cluster: ", 128, 61, 195});
      }
    }
    file(FileRequest::Kind::Save, "Enter Name For Saving Created VTC File:", "Simulated.vtc");
  }

 private:
  // What the host hands the plug-in: 0 for a cancelled dialogue, else the answer
  // brought into range.
  int integer(const IntegerRequest& request) {
    const bool failedBefore = dialogue_.failed();
    const std::optional<int> answer = dialogue_.askInteger(request);
    fuzzing::require(!failedBefore || !answer, "a failed script cancels every later dialogue");
    if (!answer) return 0;
    const int value = hvhost::bringIntoRange(*answer, request, console_);
    fuzzing::require(value >= request.minimum && value <= request.maximum,
                     "integer answers end up within the dialogue's range");
    return value;
  }

  bool yesNo(const char* question) {
    const bool failedBefore = dialogue_.failed();
    const std::optional<bool> answer = dialogue_.askYesNo(question);
    fuzzing::require(!failedBefore || !answer, "a failed script cancels every later dialogue");
    return answer.value_or(false);
  }

  bool file(FileRequest::Kind kind, const char* prompt, const char* defaultName) {
    const bool failedBefore = dialogue_.failed();
    const std::optional<std::string> name =
        dialogue_.askFileName({kind, prompt, defaultName, "", problemWithName});
    fuzzing::require(!failedBefore || !name, "a failed script cancels every later dialogue");
    if (name)
      fuzzing::require(!name->empty() && name->size() <= 260, "file names fit the run's buffer");
    return name.has_value();
  }

  hvhost::ScriptedDialogue& dialogue_;
  hvhost::Console& console_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream in = fuzzing::inputStream(data, size);
  std::ostream discarded(nullptr);
  hvhost::Console console(discarded, discarded, false);
  try {
    hvhost::ScriptedDialogue dialogue(in, "fuzz-answers.txt", console);
    RunDialogues(dialogue, console).run();
    if (dialogue.unusedAnswers() > 0) {
      fuzzing::require(dialogue.firstUnusedLine() > 0, "left-over answers know their line");
    }
  } catch (const tolvane::formats::InputError&) {
  }
  return 0;
}
