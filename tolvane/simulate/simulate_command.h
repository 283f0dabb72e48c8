// tolvane simulate: a study file in, a BIDS dataset with its truth out.
//
// The command is planned before anything is written: the study file and every file it
// names are read and checked, and the output folder is judged, so that bad input
// writes nothing. Then the dataset-level files are written and the runs are simulated
// by `jobs` threads (several to a run when there are fewer runs than jobs), a line on
// standard error as each run is finished.
#pragma once

#include <filesystem>
#include <iosfwd>

#include "tolvane/study/study.h"

namespace tolvane::simulate {

struct SimulateOptions {
  std::filesystem::path studyFile;
  std::filesystem::path output;
  study::Overrides overrides;
  int jobs = 1;
  bool overwrite = false;
};

// Throws InputError for bad input (before writing anything), OutputError or
// std::system_error when a file cannot be written.
void runSimulate(const SimulateOptions& options, std::ostream& progress);

}  // namespace tolvane::simulate
