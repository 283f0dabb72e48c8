// The simulate command; see simulate_command.h.
#include "tolvane/simulate/simulate_command.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <thread>
#include <vector>

#include "engine/noise_models.h"
#include "formats/nifti/parallel_gzip.h"
#include "formats/text_parsing.h"
#include "tolvane/simulate/dataset_layout.h"
#include "tolvane/simulate/dataset_writer.h"
#include "tolvane/simulate/output_folder.h"
#include "tolvane/simulate/run_synthesis.h"
#include "tolvane/simulate/study_progress.h"
#include "tolvane/study/run_seeds.h"

namespace tolvane::simulate {
namespace {

// ran1 runs are spaced this many draws apart on the generator's one cycle; a run that
// draws more (about 1.27 uniforms per deviate) reaches into the next run's stream.
constexpr double kUniformsPerDeviate = 1.27;

bool complete(const RunFiles& files) {
  const auto all = files.all();
  return std::all_of(all.begin(), all.end(), [](const std::filesystem::path& file) {
    return std::filesystem::exists(file);
  });
}

void warnAboutRan1Overlap(const study::Study& study, std::ostream& progress) {
  if (study.generator != study::Generator::Ran1 || study.runCount() < 2) return;
  const double draws = kUniformsPerDeviate * static_cast<double>(study.grid.valueCount());
  const bool overlapping = draws >= static_cast<double>(study::kRan1RunSpacing) ||
                           study.runCount() > (1 << (31 - study::kRan1RunSpacingLog2));
  if (overlapping) {
    progress << "tolvane: warning: with ran1 the streams of these runs overlap (each run "
                "needs about "
             << static_cast<long long>(draws) << " uniforms, runs start " << study::kRan1RunSpacing
             << " apart); use generator = \"philox\" for "
                "independent runs\n";
  }
}

// The mask and, where the thermal noise alone exceeds the tSNR's budget, how much of the
// mask gets thermal noise only: the study then has a lower tSNR there than it asked for.
void describeVoxelLevels(const study::Study& study, std::ostream& progress) {
  if (!study.voxelLevels) return;
  const study::VoxelLevelMaps& levels = *study.voxelLevels;
  progress << "tolvane: brain mask of " << levels.maskVoxels << " of " << study.voxelCount()
           << " voxels" << (levels.automaticMask ? " (automatic, from the baseline)" : "")
           << "; thermal noise sd " << levels.thermalSd << "\n";
  if (levels.thermalOnlyShare > 0.0) {
    char share[32];
    std::snprintf(share, sizeof share, "%.1f", 100.0 * levels.thermalOnlyShare);
    progress << "tolvane: in " << share
             << "% of the mask the thermal noise alone exceeds baseline / tsnr; those voxels "
                "get thermal noise only (raise noise.snr to lower it)\n";
  }
}

// Memory that a job needs besides its run's image (and its int16 copy): the compressed
// writer's pieces and members and the design, with room to spare; the run's truth is
// counted on its own.
constexpr std::uint64_t kJobOverheadBytes = std::uint64_t{64} << 20;

// Refuses, before anything is written, jobs whose runs cannot all be held at once.
// `jobs` runs at once, with `threads` threads in all.
void checkMemory(const study::Study& study, std::size_t jobs, int threads) {
  const long pages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0 || jobs == 0) return;
  const std::uint64_t available = static_cast<std::uint64_t>(pages) * pageSize;
  // The spatial model's work space, per thread, shared out among the jobs.
  const std::uint64_t smoothing =
      spatialWorkBytes(study) * static_cast<std::uint64_t>(std::max<std::size_t>(
                                    static_cast<std::size_t>(threads) / jobs, 1));
  // An int16 run is quantised into a copy of its own before it is compressed.
  const std::uint64_t bytesPerValue =
      sizeof(float) + (study.datatype == study::StoredType::Int16 ? sizeof(std::int16_t) : 0);
  const std::uint64_t perJob =
      study.grid.valueCount() * bytesPerValue + kJobOverheadBytes + smoothing +
      static_cast<std::uint64_t>(study.voxelCount()) * (study.protocol.conditions.size() + 1) *
          sizeof(float);
  if (perJob * jobs <= available) return;
  const std::uint64_t fitting = available / perJob;
  throw formats::InputError(
      "the study's runs need " + formats::describeSize(perJob) + " each, " +
      formats::describeSize(perJob * jobs) + " for " + std::to_string(jobs) +
      " jobs at once, but this machine has " + formats::describeSize(available) +
      (fitting > 0 ? "; use --jobs " + std::to_string(fitting) + " or fewer"
                   : "; use a coarser grid (grid.resolution) or fewer volumes"));
}

bool isTerminal(const std::ostream& stream) {
  return &stream == &std::cerr && ::isatty(STDERR_FILENO) == 1;
}

// SIGINT and SIGTERM ask the study to stop, for as long as the guard lives; the first
// signal resets the handler, so that a second one ends the process at once.
std::atomic<bool> stopRequested{false};

extern "C" void requestStop(int) { stopRequested = true; }

class InterruptionGuard {
 public:
  InterruptionGuard() {
    stopRequested = false;
    struct sigaction action {};
    action.sa_handler = requestStop;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &previousInterrupt_);
    ::sigaction(SIGTERM, &action, &previousTerminate_);
  }
  ~InterruptionGuard() {
    ::sigaction(SIGINT, &previousInterrupt_, nullptr);
    ::sigaction(SIGTERM, &previousTerminate_, nullptr);
  }
  InterruptionGuard(const InterruptionGuard&) = delete;
  InterruptionGuard& operator=(const InterruptionGuard&) = delete;
  bool requested() const { return stopRequested; }

 private:
  struct sigaction previousInterrupt_ {};
  struct sigaction previousTerminate_ {};
};

}  // namespace

Shard parseShard(const std::string& text) {
  const std::size_t slash = text.find('/');
  const auto index = slash == std::string::npos
                         ? std::nullopt
                         : formats::parseInt(std::string_view(text).substr(0, slash));
  const auto count = slash == std::string::npos
                         ? std::nullopt
                         : formats::parseInt(std::string_view(text).substr(slash + 1));
  if (!index || !count || *count < 1 || *index < 1 || *index > *count) {
    throw formats::InputError("--shard: expected K/N with 1 <= K <= N, found " +
                              formats::inQuotes(text));
  }
  return {*index, *count};
}

void runSimulate(const SimulateOptions& options, std::ostream& progress) {
  if (options.jobs < 0) throw formats::InputError("--jobs: expected 1 or more");
  const int jobs = options.jobs == 0 ? static_cast<int>(formats::usableCores()) : options.jobs;
  const study::Study study = study::loadStudy(options.studyFile, options.overrides);
  for (const std::string& warning : study.warnings) progress << "tolvane: warning: " << warning << "\n";
  const DatasetLayout layout(study, options.output);
  const FolderUse use = judgeOutputFolder(study, layout, options.overwrite);
  const bool keepExisting = use == FolderUse::Resume;

  // The shard's runs, those of them not yet complete.
  const int runCount = study.runCount();
  const int firstPlace = runCount * (options.shard.index - 1) / options.shard.count;
  const int endPlace = runCount * options.shard.index / options.shard.count;
  std::vector<RunFiles> pending;
  for (int subject = 1; subject <= study.subjects; ++subject) {
    for (int run = 1; run <= study.runs; ++run) {
      RunFiles files = layout.run(subject, run);
      if (files.place < firstPlace || files.place >= endPlace) continue;
      if (!(keepExisting && complete(files))) pending.push_back(std::move(files));
    }
  }
  const std::size_t threads = std::min<std::size_t>(static_cast<std::size_t>(jobs), pending.size());
  checkMemory(study, threads, jobs);
  warnAboutRan1Overlap(study, progress);
  describeVoxelLevels(study, progress);

  prepareOutputFolder(layout, use);
  writeDatasetFiles(study, layout, keepExisting);
  writeGroupTruth(study, layout, keepExisting);

  // Jobs left over when there are fewer runs than jobs share the runs' work.
  const int threadsPerRun =
      static_cast<int>(static_cast<std::size_t>(jobs) / std::max<std::size_t>(threads, 1));
  const InterruptionGuard interruption;
  StudyProgress display(progress, static_cast<int>(pending.size()), study.grid.timePoints,
                        static_cast<int>(threads), isTerminal(progress));
  // Jobs that run out of runs help compress the runs still being written, so that no
  // core waits while another run's data is ready; the last job to finish its own runs
  // sends them home.
  formats::GzipHelpDesk compressionHelp;
  std::atomic<std::size_t> jobsMakingRuns{threads};
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::atomic<int> written{0};
  std::exception_ptr failure;
  std::mutex lock;
  const auto makeRuns = [&](int job) {
    // A job's runs are made in the same storage, one after another, so that its pages are
    // first touched (faulted in and cleared by the kernel) once, not once per run.
    std::unique_ptr<float[]> values;
    std::unique_ptr<std::int16_t[]> int16Copy;
    for (std::size_t i = next++; i < pending.size() && !failed && !interruption.requested();
         i = next++) {
      const RunFiles& files = pending[i];
      try {
        display.runStarted(job);
        const Truth truth = runTruth(study, files.place);
        values = synthesiseRun(study, truth, files.place, threadsPerRun, std::move(values));
        writeRunFiles(
            study, layout, files, truth, values.get(), keepExisting,
            static_cast<unsigned>(threadsPerRun),
            [&](std::int64_t volumes) { display.runVolumes(job, volumes); }, &compressionHelp,
            &int16Copy);
      } catch (...) {
        const std::lock_guard<std::mutex> guard(lock);
        if (!failed.exchange(true)) failure = std::current_exception();
        return;
      }
      ++written;
      display.runFinished(
          job, layout.subjectEntity(files.subject) + " run " + std::to_string(files.run));
    }
  };
  const auto work = [&](int job) {
    makeRuns(job);
    if (--jobsMakingRuns == 0) {
      compressionHelp.close();
    } else {
      compressionHelp.helpUntilClosed();
    }
  };
  std::vector<std::thread> workers;
  for (std::size_t t = 1; t < threads; ++t) workers.emplace_back(work, static_cast<int>(t));
  work(0);
  for (std::thread& worker : workers) worker.join();
  display.finish();
  if (failure) std::rethrow_exception(failure);
  if (interruption.requested() && static_cast<std::size_t>(written) < pending.size()) {
    throw Interrupted("interrupted: " + std::to_string(written) + " of " +
                      std::to_string(pending.size()) +
                      " runs were written, each complete; "
                      "run the same command again to simulate the rest");
  }
  if (pending.empty()) {
    progress << "tolvane: " << options.output.string() << " already holds every run of this "
             << (options.shard.count > 1 ? "shard" : "study") << "; nothing was rewritten\n";
  }
}

}  // namespace tolvane::simulate
