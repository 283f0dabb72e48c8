// tolvane's command line (parsed with CLI11):
//
//   tolvane simulate STUDY.toml --output DIR [--seed S] [--subjects N] [--runs N]
//                    [--jobs N] [--shard K/N] [--overwrite]
//   tolvane glm | evaluate | report ...   (see analysis_command_line.h)
//   tolvane fit-noise BOLD.nii.gz --output DIR ...   (see fit_noise/fit_noise_command.h)
//
// Each subcommand parses its options into a plain struct, which the command checks
// and acts on; runCommandLine is the one place that turns what happened into a
// message and an exit status, from the table both programs share
// (formats/exit_status.h): its own interruption, every other error as the shared
// description has it.
#pragma once

namespace tolvane {

int runCommandLine(int argc, char** argv);

}  // namespace tolvane
