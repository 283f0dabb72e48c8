// tolvane simulate: a study file in, a BIDS dataset with its truth out.
//
// The command is planned before anything is written: the study file and every file it
// names are read and checked, the output folder is judged and the memory that the jobs
// need is weighed against the machine's, so that bad input writes nothing. Then the
// dataset-level files are written and the runs are simulated by `jobs` threads
// (several to a run when there are fewer runs than jobs), with progress on standard
// error.
//
// A shard K/N simulates only the runs of places [R (K - 1) / N, R K / N) of the study's
// R runs (subjects in turn, each with its runs in turn), and writes the same
// dataset-level files as every other shard: N shards run anywhere, into one folder or
// into several later merged, give the whole study, byte for byte.
//
// Interrupted by SIGINT or SIGTERM, the command starts no further run, lets the runs in
// progress finish their files and ends with kExitInterrupted; a second signal ends it
// at once. Every file is written to a temporary and renamed when whole, so a study
// stopped in any way holds complete files only (a hard kill may leave a hidden
// temporary, which the next writer of that run removes), and the same command run
// again simulates exactly the runs that are missing.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <stdexcept>
#include <string>

#include "tolvane/study/study.h"

namespace tolvane::simulate {

struct Shard {
  int index = 1;  // 1-based
  int count = 1;
};

struct SimulateOptions {
  std::filesystem::path studyFile;
  std::filesystem::path output;
  study::Overrides overrides;
  int jobs = 0;  // 1 ... formats::kMaxJobs, checked by formats::jobsOption
  Shard shard;
  bool overwrite = false;
};

// "K/N" with 1 <= K <= N; throws InputError.
Shard parseShard(const std::string& text);

// Thrown when a signal stopped the study before every run was written.
class Interrupted : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws InputError for bad input (before writing anything), OutputError or
// std::system_error when a file cannot be written, Interrupted after a signal.
void runSimulate(const SimulateOptions& options, std::ostream& progress);

}  // namespace tolvane::simulate
