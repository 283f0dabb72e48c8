// The pool of jobs that makes a study's runs; see run_pool.h.
#include "tolvane/simulate/run_pool.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "formats/nifti/parallel_gzip.h"
#include "formats/threads.h"
#include "tolvane/simulate/dataset_writer.h"
#include "tolvane/simulate/run_synthesis.h"

namespace tolvane::simulate {

RunPoolOutcome makeRuns(const RunPoolWork& work, const std::vector<RunFiles>& runs,
                        const ThreadShare& share, StudyProgress& display,
                        const std::function<bool()>& stopRequested) {
  RunPoolOutcome outcome;
  if (runs.empty()) return outcome;
  const auto jobs = static_cast<std::size_t>(share.atOnce);
  // The last job to finish its own runs sends the helpers home.
  formats::GzipHelpDesk compressionHelp;
  std::atomic<std::size_t> jobsMakingRuns{jobs};
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::atomic<int> written{0};
  std::mutex failureLock;

  const auto makeOwnRuns = [&](int job) {
    // A job's runs are made in the same storage, one after another, so that its pages are
    // first touched (faulted in and cleared by the kernel) once, not once per run.
    std::unique_ptr<float[]> values;
    std::unique_ptr<std::int16_t[]> int16Copy;
    for (std::size_t i = next++; i < runs.size() && !failed && !stopRequested(); i = next++) {
      const RunFiles& files = runs[i];
      try {
        display.runStarted(job);
        const Truth truth = runTruth(work.study, files.place);
        values = synthesiseRun(work.study, truth, files.place, share.perPiece, std::move(values));
        const RunFiles staged = work.commits.staged(files);
        writeRunFiles(
            work.study, work.layout, staged, truth, values.get(), false,
            static_cast<unsigned>(share.perPiece),
            [&](std::int64_t volumes) { display.runVolumes(job, volumes); }, &compressionHelp,
            &int16Copy);
        work.commits.commitRun(files, staged);
      } catch (...) {
        const std::lock_guard<std::mutex> guard(failureLock);
        if (!failed.exchange(true)) outcome.failure = std::current_exception();
        return;
      }
      ++written;
      display.runFinished(
          job, work.layout.subjectEntity(files.subject) + " run " + std::to_string(files.run));
    }
  };
  const auto runJob = [&](int job) {
    makeOwnRuns(job);
    if (--jobsMakingRuns == 0) {
      compressionHelp.close();
    } else {
      compressionHelp.helpUntilClosed();
    }
  };
  // Every job must run: the last to finish its runs is the one that closes the desk.
  formats::onThreads(static_cast<unsigned>(jobs),
                     [&](unsigned job) { runJob(static_cast<int>(job)); });
  outcome.written = written;
  return outcome;
}

}  // namespace tolvane::simulate
