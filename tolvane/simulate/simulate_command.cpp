// The simulate command; see simulate_command.h.
#include "tolvane/simulate/simulate_command.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <iostream>
#include <optional>
#include <ostream>
#include <vector>

#include "formats/text_parsing.h"
#include "tolvane/simulate/dataset_layout.h"
#include "tolvane/simulate/dataset_writer.h"
#include "tolvane/simulate/int16_scale.h"
#include "tolvane/simulate/interruption_guard.h"
#include "tolvane/simulate/output_folder.h"
#include "tolvane/simulate/run_pool.h"
#include "tolvane/simulate/run_synthesis.h"
#include "tolvane/simulate/study_commits.h"
#include "tolvane/simulate/study_progress.h"
#include "tolvane/simulate/thread_share.h"
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

// The shard's runs (simulate_command.h), leaving out those already complete when the
// folder's files are kept.
std::vector<RunFiles> runsToMake(const study::Study& study, const DatasetLayout& layout,
                                 const Shard& shard, bool keepExisting) {
  const int runCount = study.runCount();
  const int firstPlace = runCount * (shard.index - 1) / shard.count;
  const int endPlace = runCount * shard.index / shard.count;
  std::vector<RunFiles> runs;
  for (int subject = 1; subject <= study.subjects; ++subject) {
    for (int run = 1; run <= study.runs; ++run) {
      RunFiles files = layout.run(subject, run);
      if (files.place < firstPlace || files.place >= endPlace) continue;
      if (!(keepExisting && complete(files))) runs.push_back(std::move(files));
    }
  }
  return runs;
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

// Refuses, before anything is written, jobs whose runs cannot all be held at once:
// share.atOnce runs at once, each on share.perPiece threads.
void checkMemory(const study::Study& study, const ThreadShare& share) {
  const long pages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGESIZE);
  const auto jobs = static_cast<std::uint64_t>(share.atOnce);
  if (pages <= 0 || pageSize <= 0 || jobs == 0) return;
  const std::uint64_t available = static_cast<std::uint64_t>(pages) * pageSize;
  // The spatial model's work space, held by each thread of a run.
  const std::uint64_t smoothing =
      spatialWorkBytes(study) * static_cast<std::uint64_t>(share.perPiece);
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

// A study stored as int16 with no noise anywhere has no scale (int16_scale.h): refused
// before any work rather than at its first run.
void checkInt16HasNoise(const study::Study& study) {
  if (study.datatype != study::StoredType::Int16 || smallestTemporalNoiseSd(study) > 0.0) return;
  throw formats::InputError(study.file.string() +
                            ": key datatype: \"int16\" rounds the values to a step small "
                            "against the noise, but the runs' smallest noise sd is 0; use "
                            "datatype = \"float32\", or give noise.sd above 0");
}

bool isTerminal(const std::ostream& stream) {
  return &stream == &std::cerr && ::isatty(STDERR_FILENO) == 1;
}

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
  const int jobs = options.jobs;
  const study::Study study = study::loadStudy(options.studyFile, options.overrides);
  for (const std::string& warning : study.warnings) progress << "tolvane: warning: " << warning << "\n";
  checkInt16HasNoise(study);
  if (options.overwrite && options.shard.count > 1) {
    throw formats::InputError(
        "--overwrite with --shard: shards started together would remove each other's runs; "
        "give --overwrite to one process without --shard, or clear the folder first and "
        "start the shards without it");
  }
  const DatasetLayout layout(study, options.output);
  const OutputFolder folder = openOutputFolder(study, layout, options.overwrite, progress);
  // From here on a refusal removes the folder again if it was made for this study.
  StudyCommits commits(study, layout, folder);
  const bool keepExisting = folder.use == FolderUse::Resume;
  const std::vector<RunFiles> pending = runsToMake(study, layout, options.shard, keepExisting);
  // Jobs left over when there are fewer runs than jobs share the runs' work.
  const ThreadShare share = shareThreads(jobs, static_cast<std::int64_t>(pending.size()));
  checkMemory(study, share);
  warnAboutRan1Overlap(study, progress);
  describeVoxelLevels(study, progress);

  if (pending.empty()) commits.commitDatasetFiles();

  const InterruptionGuard interruption;
  StudyProgress display(progress, static_cast<int>(pending.size()), study.grid.timePoints,
                        static_cast<int>(share.atOnce), isTerminal(progress));
  const RunPoolOutcome outcome = makeRuns({study, layout, commits}, pending, share, display,
                                          [&] { return interruption.requested(); });
  display.finish();
  if (outcome.failure) std::rethrow_exception(outcome.failure);
  if (interruption.requested() && static_cast<std::size_t>(outcome.written) < pending.size()) {
    throw Interrupted("interrupted: " + std::to_string(outcome.written) + " of " +
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
