// The three ways of answering dialogues, and the spin-box rule that the host applies
// to every integer answer.
#include <gtest/gtest.h>

#include <sstream>

#include "formats/text_parsing.h"
#include "host/dialogues/console.h"
#include "host/dialogues/default_dialogue.h"
#include "host/dialogues/scripted_dialogue.h"
#include "host/dialogues/terminal_dialogue.h"
#include "host/shared_names.h"
#include "tests/support/temporary_folder.h"

using namespace hvhost;
using namespace tolvane::formats;

namespace {

const IntegerRequest kTimePoints{"Enter number of simulated time points:", 250, 1, 1000};
const IntegerRequest kCondition{"Select condition:\n\n1: Rest\n2: Task\n\n", 2, 1, 2};

FileRequest openRequest(std::string defaultName = "") {
  return {FileRequest::Kind::Open, "Provide a protocol file:", std::move(defaultName),
          "Protocol Files (*.prt)", [](const std::string& name) {
            return name == "missing.prt" ? name + ": no such readable file" : std::string();
          }};
}

class DialogueTest : public ::testing::Test {
 protected:
  std::ostringstream out;
  std::ostringstream err;
  Console console{out, err, false};
  TemporaryFolder folder;
};

}  // namespace

TEST_F(DialogueTest, ScriptAnswersInOrderCheckingPatternsWithoutRegardToCase) {
  const auto script = folder.write("answers.txt",
                                   "# comment\n120\nPROTOCOL FILE => examples/block.prt\n"
                                   "select condition => default\ncross position => no\n"
                                   "saving => cancel\n");
  ScriptedDialogue dialogue(script, console);
  EXPECT_EQ(dialogue.askInteger(kTimePoints), 120);
  EXPECT_EQ(dialogue.askFileName(openRequest()), "examples/block.prt");
  EXPECT_EQ(dialogue.askInteger(kCondition), 2);
  EXPECT_EQ(dialogue.askYesNo("Do you want to use the cross position as the cluster center ?"),
            false);
  EXPECT_EQ(dialogue.askFileName({FileRequest::Kind::Save, "Enter Name For Saving", "Simulated.vtc",
                                  "", [](const std::string&) { return std::string(); }}),
            std::nullopt);
  EXPECT_FALSE(dialogue.failed());
  EXPECT_EQ(dialogue.unusedAnswers(), 0u);
  EXPECT_NE(err.str().find("? Enter number of simulated time points: -> 120"), std::string::npos);
}

TEST_F(DialogueTest, EchoedAnswersShowEscapeSequencesInsteadOfSendingThem) {
  const auto script = folder.write("answers.txt", "protocol file => a\x1b[2Jb.prt\n");
  ScriptedDialogue dialogue(script, console);
  EXPECT_EQ(dialogue.askFileName(openRequest()), "a\x1b[2Jb.prt");
  EXPECT_NE(err.str().find("? Provide a protocol file: -> a\\x1b[2Jb.prt"), std::string::npos)
      << err.str();
  EXPECT_EQ(err.str().find('\x1b'), std::string::npos);
}

TEST_F(DialogueTest, ScriptOutOfStepFailsWithLinePatternAndPromptThenCancelsEverything) {
  const auto script = folder.write("answers.txt", "time points => 10\nprotocol => a.prt\n5\n");
  ScriptedDialogue dialogue(script, console);
  EXPECT_EQ(dialogue.askInteger(kTimePoints), 10);
  EXPECT_EQ(dialogue.askInteger(kCondition), std::nullopt);
  EXPECT_TRUE(dialogue.failed());
  const std::string message = err.str();
  EXPECT_NE(message.find(script.string() + ":2: expected the integer dialogue to contain "
                                           "\"protocol\", but it asks \"Select condition:"),
            std::string::npos)
      << message;
  EXPECT_NE(message.find("the run is cancelled"), std::string::npos);
  // Once failed, even a matching answer is not used.
  EXPECT_EQ(dialogue.askInteger(kTimePoints), std::nullopt);
  EXPECT_EQ(dialogue.askYesNo("anything"), std::nullopt);
}

TEST_F(DialogueTest, ScriptThatRunsOutCancelsWithAClearMessage) {
  ScriptedDialogue dialogue(folder.write("answers.txt", "250\n"), console);
  EXPECT_EQ(dialogue.askInteger(kTimePoints), 250);
  EXPECT_EQ(dialogue.askFileName(openRequest()), std::nullopt);
  EXPECT_TRUE(dialogue.failed());
  EXPECT_NE(err.str().find("no answer left for the file dialogue \"Provide a protocol file:\""),
            std::string::npos)
      << err.str();
}

TEST_F(DialogueTest, ScriptAnswerOfTheWrongKindFailsNamingTheLine) {
  const auto script = folder.write("answers.txt", "\n\nmany\n");
  ScriptedDialogue numbers(script, console);
  EXPECT_EQ(numbers.askInteger(kTimePoints), std::nullopt);
  EXPECT_TRUE(numbers.failed());
  EXPECT_NE(err.str().find(script.string() + ":3: expected a whole number, 'default' or 'cancel'"),
            std::string::npos);

  ScriptedDialogue files(folder.write("files.txt", "missing.prt\n"), console);
  EXPECT_EQ(files.askFileName(openRequest()), std::nullopt);
  EXPECT_TRUE(files.failed());
  EXPECT_NE(err.str().find(":1: missing.prt: no such readable file"), std::string::npos);
}

TEST_F(DialogueTest, ScriptWithPatternButNoAnswerIsRefusedWhenRead) {
  const auto script = folder.write("answers.txt", "250\ncondition =>\n");
  EXPECT_THROW(ScriptedDialogue(script, console), InputError);
}

TEST_F(DialogueTest, ScriptCountsAnswersLeftOver) {
  ScriptedDialogue dialogue(folder.write("answers.txt", "1\n2\n# note\n3\n"), console);
  dialogue.askInteger(kTimePoints);
  EXPECT_EQ(dialogue.unusedAnswers(), 2u);
  EXPECT_EQ(dialogue.firstUnusedLine(), 2);
}

TEST_F(DialogueTest, DefaultsTakeEachDialoguesDefaultAndYesForQuestions) {
  DefaultDialogue dialogue(console);
  EXPECT_EQ(dialogue.askInteger(kTimePoints), 250);
  EXPECT_EQ(dialogue.askYesNo("Do you want to use the available VOIs?"), true);
  EXPECT_EQ(dialogue.askFileName(openRequest("block.prt")), "block.prt");
  EXPECT_FALSE(dialogue.failed());
}

TEST_F(DialogueTest, DefaultsFailWhenTheOpenDialogueHasNoUsableFile) {
  DefaultDialogue withoutProtocol(console);
  EXPECT_EQ(withoutProtocol.askFileName(openRequest()), std::nullopt);
  EXPECT_TRUE(withoutProtocol.failed());
  EXPECT_NE(err.str().find("use --protocol FILE"), std::string::npos);
  EXPECT_EQ(withoutProtocol.askInteger(kTimePoints), std::nullopt);

  DefaultDialogue missing(console);
  EXPECT_EQ(missing.askFileName(openRequest("missing.prt")), std::nullopt);
  EXPECT_TRUE(missing.failed());
}

TEST_F(DialogueTest, TerminalTakesDefaultOnEnterAsksAgainOnNonsenseAndCancelsAtEnd) {
  std::istringstream in("\nabc\n 42 \nmaybe\nn\n");
  TerminalDialogue dialogue(in, console);
  EXPECT_EQ(dialogue.askInteger(kTimePoints), 250);
  EXPECT_EQ(dialogue.askInteger(kTimePoints), 42);
  EXPECT_EQ(dialogue.askYesNo("Proceed?"), false);
  EXPECT_EQ(dialogue.askInteger(kTimePoints), std::nullopt);
  const std::string shown = err.str();
  EXPECT_NE(shown.find("[default 250, 1 to 1000] > "), std::string::npos);
  EXPECT_NE(shown.find("please enter a whole number"), std::string::npos);
  EXPECT_NE(shown.find("please answer yes or no"), std::string::npos);
}

TEST_F(DialogueTest, TerminalRendersRichPromptsAsPlainLines) {
  std::istringstream in("1\n");
  TerminalDialogue dialogue(in, console);
  dialogue.askInteger({"Select predictor for VOI: <b>Left</b>:<br><br>1: Rest<br>", 2, 1, 0});
  EXPECT_NE(err.str().find("Select predictor for VOI: Left:\n\n1: Rest\n"), std::string::npos)
      << err.str();
  EXPECT_NE(err.str().find("[default 2] > "), std::string::npos);  // min > max: no range shown
}

TEST_F(DialogueTest, TerminalOpenDialogueInsistsOnAReadableFile) {
  std::istringstream in("\nmissing.prt\nblock.prt\n");
  TerminalDialogue dialogue(in, console);
  EXPECT_EQ(dialogue.askFileName(openRequest()), "block.prt");
  EXPECT_NE(err.str().find("please enter a file name"), std::string::npos);
  EXPECT_NE(err.str().find("missing.prt: no such readable file"), std::string::npos);
}

TEST_F(DialogueTest, SpinBoxBringsAnswersIntoRangeVisiblyUnlessTheRangeIsEmpty) {
  EXPECT_EQ(bringIntoRange(5000, kTimePoints, console), 1000);
  EXPECT_NE(err.str().find("5000 is outside 1 to 1000; using 1000"), std::string::npos);
  EXPECT_EQ(bringIntoRange(-3, kTimePoints, console), 1);
  EXPECT_EQ(bringIntoRange(17, kTimePoints, console), 17);
  const IntegerRequest oneCondition{"Select condition:", 2, 1, 0};
  err.str("");
  EXPECT_EQ(bringIntoRange(2, oneCondition, console), 2);
  EXPECT_EQ(err.str(), "");
}
