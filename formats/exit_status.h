// How both programs end: the one table of exit statuses that hvhost and tolvane share,
// and the one description of the errors the shared formats throw.
//
// Each program turns what stopped it into a Failure in one place: its own kinds of
// error first (hvhost's usage and storage errors and the stage it was in, tolvane's
// interruption), then everything else through describeFailure below, so that the same
// error reads the same and exits the same in both. The table is documented for users in
// docs/reliability.md.
#pragma once

#include <exception>
#include <string>

namespace tolvane::formats {

enum ExitStatus : int {
  kExitDone = 0,          // done: the run completed, or the command did what it was asked,
                          // and every file was written
  kExitFailed = 1,        // the work ended early: hvhost's run ended or a dialogue could not
                          // be answered; not enough memory; an unexpected problem
  kExitUsage = 2,         // usage or bad input: nothing was run or written
  kExitOutputFailed = 3,  // a file could not be written; the files already written are whole
  kExitInterrupted = 130, // stopped by SIGINT or SIGTERM (tolvane): every file written is
                          // whole; 130 is what a shell reports for a command ended by SIGINT
};

struct Failure {
  ExitStatus status;
  std::string message;
};

// The status and message for an error of the shared kinds: InputError is usage (2),
// OutputError an output failure (3); not enough memory, any other exception and
// anything that is not one end the work (1), with a message rather than a crash.
Failure describeFailure(const std::exception_ptr& error);

}  // namespace tolvane::formats
