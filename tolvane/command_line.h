// tolvane's command line (parsed with CLI11):
//
//   tolvane simulate STUDY.toml --output DIR [--seed S] [--subjects N] [--runs N]
//                    [--jobs N] [--overwrite]
//   tolvane glm | evaluate | report ...   (see analysis_command_line.h)
//
// Each subcommand parses its options into a plain struct, which the command checks
// and acts on; runCommandLine is the one place that turns what happened into a
// message and an exit status: 0 done, 2 bad input or usage (nothing written),
// 1 any other failure.
#pragma once

namespace tolvane {

enum ExitStatus { kExitOk = 0, kExitFailure = 1, kExitBadInput = 2 };

int runCommandLine(int argc, char** argv);

}  // namespace tolvane
