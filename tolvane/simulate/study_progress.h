// How far a study has got, shown as it goes.
//
// On a terminal, one line redrawn in place about twice a second: a bar of the study's
// runs, the runs finished, the volumes written of each run in progress, the time elapsed
// and an estimate of the time left (from the pace so far, counting the runs in progress
// by the share of their volumes written). Anywhere else (a log file, a batch system's
// output), one line per finished run, so that the record stays readable.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace tolvane::simulate {

class StudyProgress {
 public:
  // `total` runs of `volumes` volumes each, which this invocation simulates on `jobs`
  // jobs; `terminal` chooses the redrawn line.
  StudyProgress(std::ostream& out, int total, std::int64_t volumes, int jobs, bool terminal);
  ~StudyProgress();
  StudyProgress(const StudyProgress&) = delete;
  StudyProgress& operator=(const StudyProgress&) = delete;

  // Job `job` (0 .. jobs - 1) starts a run, has written `written` of its volumes, and
  // has finished it; `label` names the run ("sub-01 run 2"), for the line written off a
  // terminal.
  void runStarted(int job);
  void runVolumes(int job, std::int64_t written);
  void runFinished(int job, const std::string& label);
  // Ends the redrawn line, so that what follows starts on a line of its own.
  void finish();

 private:
  void draw();  // with mutex_ held
  void tick();

  std::ostream& out_;
  const int total_;
  const std::int64_t volumes_;
  const bool terminal_;
  const std::chrono::steady_clock::time_point start_;
  std::mutex mutex_;
  std::condition_variable wake_;
  int started_ = 0, finished_ = 0;
  std::vector<std::int64_t> written_;  // per job: volumes of its run written, -1 when idle
  bool done_ = false;
  std::thread ticker_;
};

// "1:05", "2:03:09".
std::string clockTime(double seconds);

}  // namespace tolvane::simulate
