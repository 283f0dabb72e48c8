// The runs of a study made by a pool of jobs.
//
// share.atOnce jobs (the calling thread is job 0, the others are started here) each
// take the next run that no job has taken, make its truth and data on share.perPiece
// threads and write its files, until no run is left. A job that runs out of runs helps
// compress the runs still being written, so that no core waits while another run's
// data is ready. After the first failure, or once `stopRequested` says so, no job takes
// another run; the runs in progress finish (or fail) first, so that every file written
// is complete.
#pragma once

#include <exception>
#include <functional>
#include <vector>

#include "tolvane/simulate/dataset_layout.h"
#include "tolvane/simulate/study_commits.h"
#include "tolvane/simulate/study_progress.h"
#include "tolvane/simulate/thread_share.h"
#include "tolvane/study/study.h"

namespace tolvane::simulate {

// What the runs have to know of the study and its folder: each run is written into
// the staging folder of `commits` and moved into place when whole.
struct RunPoolWork {
  const study::Study& study;
  const DatasetLayout& layout;
  StudyCommits& commits;
};

struct RunPoolOutcome {
  int written = 0;             // runs whose files were all written
  std::exception_ptr failure;  // the first that a run threw, if any
};

// Makes `runs` (none when it is empty), telling `display` of each run's start, volumes
// and end, and returns when every job has stopped.
RunPoolOutcome makeRuns(const RunPoolWork& work, const std::vector<RunFiles>& runs,
                        const ThreadShare& share, StudyProgress& display,
                        const std::function<bool()>& stopRequested);

}  // namespace tolvane::simulate
