// Where hvhost's output goes: the log untouched on standard output (and in the log
// file), everything else on standard error, and the spinner never left on screen.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "formats/text_parsing.h"
#include "host/dialogues/console.h"
#include "host/shared_names.h"
#include "tests/support/temporary_folder.h"

using namespace hvhost;
using namespace tolvane::formats;

TEST(Console, LogLinesGoUnchangedToStandardOutputAndAreAppendedToTheLogFile) {
  TemporaryFolder folder;
  const auto logFile = folder.write("run.log", "earlier run\n");
  std::ostringstream out, err;
  Console console(out, err, false);
  console.appendLogTo(logFile);
  console.logLine(" ");
  console.logLine("// Plugin>  Running Tolvane...");
  console.messageBox("Line one<br><b>bold</b> &amp; more");
  EXPECT_EQ(out.str(), " \n// Plugin>  Running Tolvane...\n");
  std::ifstream in(logFile);
  const std::string logged{std::istreambuf_iterator<char>(in), {}};
  EXPECT_EQ(logged, "earlier run\n \n// Plugin>  Running Tolvane...\n");
  EXPECT_NE(err.str().find("message from the plug-in"), std::string::npos);
  EXPECT_NE(err.str().find("| Line one\n| bold & more\n"), std::string::npos) << err.str();
  EXPECT_THROW(console.appendLogTo(folder.file("no/such/folder/run.log")), InputError);
}

TEST(Console, SpinnerIsClearedBeforeOtherOutputAndWhenWorkEnds) {
  std::ostringstream out, err;
  Console console(out, err, true);
  console.startBusy();
  console.startBusy();  // nested, as around a save inside a busy phase
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  console.logLine("// Plugin>    10 / 250 ...");
  console.stopBusy();
  console.note("still busy");
  console.stopBusy();
  EXPECT_EQ(out.str(), "// Plugin>    10 / 250 ...\n");
  const std::string shown = err.str();
  EXPECT_NE(shown.find("working..."), std::string::npos);
  EXPECT_NE(shown.find("\r\033[Khvhost: still busy\n"), std::string::npos) << shown;
  // Whatever the spinner drew last was wiped afterwards.
  EXPECT_LT(shown.rfind("working..."), shown.rfind("\r\033[K"));
}

TEST(Console, LogFileThatFillsUpIsReportedOnceAndTheLogGoesOnOnStandardOutput) {
  std::ostringstream out, err;
  Console console(out, err, false);
  console.appendLogTo("/dev/full");
  console.logLine("first");
  console.logLine("second");
  EXPECT_TRUE(console.logFileFailed());
  EXPECT_EQ(out.str(), "first\nsecond\n");
  const std::string reported = err.str();
  EXPECT_NE(reported.find("/dev/full: cannot be written: No space left on device"),
            std::string::npos);
  EXPECT_EQ(reported.find("cannot be written", reported.find("cannot be written") + 1),
            std::string::npos);
}
