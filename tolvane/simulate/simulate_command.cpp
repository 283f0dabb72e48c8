// The simulate command; see simulate_command.h.
#include "tolvane/simulate/simulate_command.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <ostream>
#include <thread>
#include <vector>

#include "formats/text_parsing.h"
#include "tolvane/simulate/dataset_layout.h"
#include "tolvane/simulate/dataset_writer.h"
#include "tolvane/simulate/output_folder.h"
#include "tolvane/simulate/run_synthesis.h"
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
                "needs about " << static_cast<long long>(draws) << " uniforms, runs start "
             << study::kRan1RunSpacing << " apart); use generator = \"philox\" for "
                "independent runs\n";
  }
}

}  // namespace

void runSimulate(const SimulateOptions& options, std::ostream& progress) {
  if (options.jobs < 1) throw formats::InputError("--jobs: expected 1 or more");
  const study::Study study = study::loadStudy(options.studyFile, options.overrides);
  const DatasetLayout layout(study, options.output);
  const FolderUse use = judgeOutputFolder(study, layout, options.overwrite);
  const bool keepExisting = use == FolderUse::Resume;

  std::vector<RunFiles> pending;
  for (int subject = 1; subject <= study.subjects; ++subject) {
    for (int run = 1; run <= study.runs; ++run) {
      RunFiles files = layout.run(subject, run);
      if (!(keepExisting && complete(files))) pending.push_back(std::move(files));
    }
  }
  warnAboutRan1Overlap(study, progress);

  prepareOutputFolder(layout, use);
  writeDatasetFiles(study, layout, keepExisting);
  const Truth truth = studyTruth(study);

  const std::size_t threads =
      std::min<std::size_t>(static_cast<std::size_t>(options.jobs), pending.size());
  // Jobs left over when there are fewer runs than jobs share the runs' noise fields.
  const int threadsPerRun = static_cast<int>(
      static_cast<std::size_t>(options.jobs) / std::max<std::size_t>(threads, 1));
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr failure;
  std::mutex lock;
  std::size_t finished = static_cast<std::size_t>(study.runCount()) - pending.size();
  const auto work = [&] {
    for (std::size_t i = next++; i < pending.size() && !failed; i = next++) {
      const RunFiles& files = pending[i];
      try {
        const auto data = synthesiseRun(study, truth, files.place, threadsPerRun);
        writeRunFiles(study, layout, files, truth, data.get(), keepExisting);
      } catch (...) {
        const std::lock_guard<std::mutex> guard(lock);
        if (!failed.exchange(true)) failure = std::current_exception();
        return;
      }
      const std::lock_guard<std::mutex> guard(lock);
      ++finished;
      progress << "tolvane: sub-" << layout.subjectLabel(files.subject) << " run "
               << files.run << " written (" << finished << " of " << study.runCount()
               << " runs)\n" << std::flush;
    }
  };
  std::vector<std::thread> workers;
  for (std::size_t t = 1; t < threads; ++t) workers.emplace_back(work);
  work();
  for (std::thread& worker : workers) worker.join();
  if (failure) std::rethrow_exception(failure);
  if (pending.empty()) {
    progress << "tolvane: " << options.output.string() << " already holds every run of this "
             << "study; nothing was rewritten\n";
  }
}

}  // namespace tolvane::simulate
