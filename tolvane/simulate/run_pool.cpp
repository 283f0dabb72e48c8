// The pool of jobs that makes a study's runs; see run_pool.h.
#include "tolvane/simulate/run_pool.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "formats/errors.h"
#include "formats/nifti/parallel_gzip.h"
#include "formats/populated_memory.h"
#include "tolvane/simulate/dataset_writer.h"
#include "tolvane/simulate/run_synthesis.h"

namespace tolvane::simulate {
namespace {

// A job's run values, and their int16 copy when the study stores int16.
class RunStorage {
 public:
  explicit RunStorage(const study::Study& study)
      : values_(study.grid.valueCount() * sizeof(float)),
        int16Copy_(study.datatype == study::StoredType::Int16
                       ? std::optional<formats::PopulatedMemory>(
                             std::in_place, study.grid.valueCount() * sizeof(std::int16_t))
                       : std::nullopt) {
    if (values_.data() == nullptr || (int16Copy_ && int16Copy_->data() == nullptr)) {
      throw formats::OutputError(
          "not enough memory for a run's values; use fewer --jobs, or a coarser grid "
          "(grid.resolution) or fewer volumes");
    }
  }
  float* values() const { return static_cast<float*>(values_.data()); }
  std::int16_t* int16Copy() const {
    return int16Copy_ ? static_cast<std::int16_t*>(int16Copy_->data()) : nullptr;
  }

 private:
  formats::PopulatedMemory values_;
  std::optional<formats::PopulatedMemory> int16Copy_;
};

}  // namespace

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
    // A job's runs are made in the same storage, one after another, populated when the
    // job takes its first run (formats/populated_memory.h): its pages are faulted in and
    // cleared by the kernel once, on every core, not at the first stores of each run.
    std::optional<RunStorage> storage;
    for (std::size_t i = next++; i < runs.size() && !failed && !stopRequested(); i = next++) {
      const RunFiles& files = runs[i];
      try {
        display.runStarted(job);
        if (!storage) storage.emplace(work.study);
        const Truth truth = runTruth(work.study, files.place);
        synthesiseRun(work.study, truth, files.place, storage->values(), share.perPiece);
        writeRunFiles(
            work.study, work.layout, files, truth, storage->values(), work.keepExisting,
            static_cast<unsigned>(share.perPiece),
            [&](std::int64_t volumes) { display.runVolumes(job, volumes); }, &compressionHelp,
            storage->int16Copy());
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
  std::vector<std::thread> workers;
  for (std::size_t job = 1; job < jobs; ++job) workers.emplace_back(runJob, static_cast<int>(job));
  runJob(0);
  for (std::thread& worker : workers) worker.join();
  outcome.written = written;
  return outcome;
}

}  // namespace tolvane::simulate
