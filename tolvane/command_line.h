// tolvane's command line (parsed with CLI11):
//
//   tolvane simulate STUDY.toml --output DIR [--seed S] [--subjects N] [--runs N]
//                    [--jobs N] [--shard K/N] [--overwrite]
//   tolvane glm | evaluate | report ...   (see analysis_command_line.h)
//   tolvane fit-noise BOLD.nii.gz --output DIR ...   (see fit_noise/fit_noise_command.h)
//
// Each subcommand parses its options into a plain struct, which the command checks
// and acts on; runCommandLine is the one place that turns what happened into a
// message and an exit status: 0 done, 2 bad input or usage (nothing written),
// 130 interrupted by a signal (every file written is complete), 1 any other failure.
#pragma once

namespace tolvane {

// 130 is what a shell reports for a command ended by SIGINT.
enum ExitStatus { kExitOk = 0, kExitFailure = 1, kExitBadInput = 2, kExitInterrupted = 130 };

int runCommandLine(int argc, char** argv);

}  // namespace tolvane
