// How far a study has got, shown as it goes.
//
// On a terminal, one line redrawn in place about twice a second: a bar of the study's
// runs, the runs finished and being simulated, the time elapsed and an estimate of the
// time left (from the pace of the runs finished so far). Anywhere else (a log file, a
// batch system's output), one line per finished run, so that the record stays readable.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

namespace tolvane::simulate {

class StudyProgress {
 public:
  // `total` runs this invocation simulates; `terminal` chooses the redrawn line.
  StudyProgress(std::ostream& out, int total, bool terminal);
  ~StudyProgress();
  StudyProgress(const StudyProgress&) = delete;
  StudyProgress& operator=(const StudyProgress&) = delete;

  void runStarted();
  // `label` names the run ("sub-01 run 2"), for the line written off a terminal.
  void runFinished(const std::string& label);
  // Ends the redrawn line, so that what follows starts on a line of its own.
  void finish();

 private:
  void draw();  // with mutex_ held
  void tick();

  std::ostream& out_;
  const int total_;
  const bool terminal_;
  const std::chrono::steady_clock::time_point start_;
  std::mutex mutex_;
  std::condition_variable wake_;
  int started_ = 0, finished_ = 0;
  bool done_ = false;
  std::thread ticker_;
};

// "1:05", "2:03:09".
std::string clockTime(double seconds);

}  // namespace tolvane::simulate
