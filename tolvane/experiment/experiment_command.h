// tolvane experiment: a methods experiment in one command. The study is drawn again
// for each of N repetitions with its own seed, analysed in memory (no BOLD file is
// written), and each map's figures go into a table whose summary gives the error rates
// and the power with intervals (repetition.h, result_table.h, experiment_summary.h).
//
//   tolvane experiment STUDY.toml --repetitions N --contrast "A - B" --output DIR
//       [--analysis group|first-level] [--subjects S] [--prewhiten none|ar1] [--cluster-p P]...
//       [--cluster-connectivity 6|18|26] [--no-mask] [--shard K/N] [--keep-data] [--jobs N]
//   tolvane experiment merge SHARD_DIR... --output DIR
//
// With --shard K/N the command runs the repetitions r with r mod N = K - 1 and writes
// their rows (no summary); merge combines the shards' folders into the table and
// summary that the unsharded command writes, byte for byte, whatever the split.
//
// --jobs N runs N repetitions at once, each on one thread; the rows do not depend on N.
//
// --keep-data also writes each repetition's dataset, DIR/data/rep-R (R from 0, four
// digits), as tolvane simulate writes the study with the repetition's seed: the
// repetition is simulated a second time for it, so the analysis stays in memory.
#pragma once

#include <CLI/CLI.hpp>
#include <filesystem>
#include <string>
#include <vector>

#include "tolvane/analysis/progress.h"
#include "tolvane/experiment/repetition.h"

namespace tolvane::experiment {

struct ExperimentCommand {
  CLI::App* app = nullptr;
  CLI::App* merge = nullptr;
  ExperimentSettings settings;
  std::filesystem::path output;
  std::string analysisName = "group";
  std::string prewhiten;  // empty: the study's noise decides
  int clusterConnectivity = 26;
  std::string shard;  // "K/N"; empty: the whole experiment
  bool keepData = false;  // also write each repetition's dataset
  unsigned jobs = 0;      // repetitions at once; 0: one per usable core
  std::vector<std::filesystem::path> shards;  // merge's inputs
};

void addExperiment(CLI::App& app, ExperimentCommand& command);
// Progress on standard error, and the files written.
void runExperimentCommand(const ExperimentCommand& command, const analysis::Progress& progress);

}  // namespace tolvane::experiment
