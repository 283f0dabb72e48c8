// The experiment command; see experiment_command.h.
#include "tolvane/experiment/experiment_command.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <mutex>
#include <thread>
#include <sstream>

#include "formats/errors.h"
#include "formats/nifti/parallel_gzip.h"
#include "formats/text_parsing.h"
#include "tolvane/experiment/result_table.h"
#include "tolvane/simulate/simulate_command.h"

namespace tolvane::experiment {
namespace {

struct Shard {
  int index = 1, count = 1;  // K of N, from 1
};

Shard parseShard(const std::string& text) {
  Shard shard;
  const auto slash = text.find('/');
  const auto index = slash == std::string::npos ? std::nullopt : formats::parseInt(text.substr(0, slash));
  const auto count = slash == std::string::npos ? std::nullopt : formats::parseInt(text.substr(slash + 1));
  if (!index || !count || *count < 1 || *index < 1 || *index > *count) {
    throw formats::InputError("--shard " + formats::inQuotes(text) +
                              ": expected K/N with 1 <= K <= N, such as 2/4");
  }
  shard.index = int(*index);
  shard.count = int(*count);
  return shard;
}

// The repetition's dataset, as tolvane simulate writes the study with its seed.
void writeRepetitionData(const ExperimentCommand& command, const ExperimentPlan& plan,
                         int repetition) {
  std::string name = std::to_string(repetition);
  name = "rep-" + std::string(name.size() < 4 ? 4 - name.size() : 0, '0') + name;
  simulate::SimulateOptions options;
  options.studyFile = plan.settings.study;
  options.output = command.output / "data" / name;
  options.overrides.seed = repetitionSeed(plan.studySeed, repetition);
  options.overrides.subjects = plan.settings.subjects;
  options.jobs = 1;
  options.overwrite = true;
  std::ostringstream quiet;
  simulate::runSimulate(options, quiet);
}

// The repetitions' records in the order given, made `jobs` at a time: workers take the
// next repetition from a shared counter, and each keeps its own records, so that the
// rows are the same for any number of jobs. The first failure stops the others from
// starting new repetitions and is rethrown.
std::vector<std::vector<MapRecord>> runRepetitions(const ExperimentCommand& command,
                                                   const ExperimentPlan& plan,
                                                   const std::vector<int>& repetitions,
                                                   const analysis::Progress& progress) {
  std::vector<std::vector<MapRecord>> records(repetitions.size());
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr failure;
  std::mutex lock, simulating;
  const auto work = [&] {
    for (std::size_t i = next++; i < repetitions.size() && !failed; i = next++) {
      try {
        const auto start = std::chrono::steady_clock::now();
        records[i] = runRepetition(plan, repetitions[i]);
        if (command.keepData) {
          // simulate's command guards the process's signals: one at a time.
          const std::lock_guard<std::mutex> guard(simulating);
          writeRepetitionData(command, plan, repetitions[i]);
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const std::lock_guard<std::mutex> guard(lock);
        progress("repetition " + std::to_string(repetitions[i] + 1) + " of " +
                 std::to_string(plan.settings.repetitions) + " in " +
                 std::to_string(seconds).substr(0, 5) + " s");
      } catch (...) {
        const std::lock_guard<std::mutex> guard(lock);
        if (!failed.exchange(true)) failure = std::current_exception();
      }
    }
  };
  const unsigned jobs = std::min<unsigned>(command.jobs > 0 ? command.jobs : formats::usableCores(),
                                           unsigned(std::max<std::size_t>(repetitions.size(), 1)));
  std::vector<std::thread> workers;
  for (unsigned j = 1; j < jobs; ++j) workers.emplace_back(work);
  work();
  for (std::thread& worker : workers) worker.join();
  if (failure) std::rethrow_exception(failure);
  return records;
}

}  // namespace

void addExperiment(CLI::App& app, ExperimentCommand& command) {
  CLI::App* experiment = app.add_subcommand(
      "experiment", "Repeat a study N times with its own seeds, analysed in memory: error "
                    "rates, cluster thresholds and power with intervals");
  experiment->add_option("STUDY", command.settings.study, "Study file (TOML)");
  experiment->add_option("--repetitions", command.settings.repetitions, "How many repetitions")
      ->check(CLI::PositiveNumber);
  experiment->add_option("--contrast", command.settings.contrast,
                         "The contrast to test, such as \"Task\" or \"Faces - Houses\"");
  experiment->add_option("--subjects", command.settings.subjects,
                         "Subjects per repetition, in place of the study file's (a power curve "
                         "is one experiment per count)")
      ->check(CLI::PositiveNumber);
  experiment->add_option("--analysis", command.analysisName,
                         "group (one map per repetition) or first-level (one per run)")
      ->check(CLI::IsMember({"group", "first-level"}))
      ->capture_default_str();
  experiment->add_option("--prewhiten", command.prewhiten,
                         "none or ar1; default: ar1 when the study's noise is autocorrelated")
      ->check(CLI::IsMember({"none", "ar1"}));
  experiment->add_option("--cluster-p", command.settings.clusterP,
                         "Cluster-forming p values, two-sided (default 0.01 and 0.001)");
  experiment->add_option("--cluster-connectivity", command.clusterConnectivity, "6, 18 or 26")
      ->check(CLI::IsMember({6, 18, 26}))
      ->capture_default_str();
  experiment->add_flag("--no-mask", command.settings.wholeGrid,
                       "Analyse the whole grid, not the study's brain mask");
  experiment->add_option("--shard", command.shard, "Run only shard K of N, as K/N");
  experiment->add_option("--jobs", command.jobs,
                         "Repetitions at once, one thread each (default: one per usable core)");
  experiment->add_flag("--keep-data", command.keepData,
                       "Also write each repetition's BIDS dataset to DIR/data/rep-R");
  experiment->add_option("--output", command.output, "Folder of the results");
  CLI::App* merge = experiment->add_subcommand(
      "merge", "Combine the folders of an experiment's shards into its table and summary");
  merge->add_option("SHARD_DIR", command.shards, "The shards' folders")->required();
  merge->add_option("--output", command.output, "Folder of the merged results")->required();
  command.app = experiment;
  command.merge = merge;
}

void runExperimentCommand(const ExperimentCommand& command, const analysis::Progress& progress) {
  if (command.merge->parsed()) {
    mergeShards(command.shards, command.output);
    progress("merged " + std::to_string(command.shards.size()) + " shard(s) into " +
             command.output.string());
    return;
  }
  ExperimentSettings settings = command.settings;
  if (settings.study.empty() || settings.repetitions < 1 || settings.contrast.empty() ||
      command.output.empty()) {
    throw formats::InputError("expected a STUDY file, --repetitions N, --contrast and --output");
  }
  for (double p : settings.clusterP) {
    if (!(p > 0.0 && p < 0.5)) {
      throw formats::InputError("--cluster-p " + std::to_string(p) + ": expected a p in (0, 0.5)");
    }
  }
  settings.analysis = command.analysisName == "group" ? Analysis::Group : Analysis::FirstLevel;
  if (!command.prewhiten.empty()) {
    settings.prewhiten = command.prewhiten == "ar1" ? analysis::Prewhitening::Ar1
                                                    : analysis::Prewhitening::None;
  }
  settings.connectivity = *analysis::connectivityOf(command.clusterConnectivity);
  const Shard shard = command.shard.empty() ? Shard{} : parseShard(command.shard);
  const ExperimentPlan plan = planExperiment(settings);
  std::vector<int> repetitions;
  for (int r = shard.index - 1; r < settings.repetitions; r += shard.count) repetitions.push_back(r);
  ResultTable table{tableHeader(plan), {}};
  for (const std::vector<MapRecord>& records : runRepetitions(command, plan, repetitions, progress)) {
    for (const MapRecord& record : records) table.rows.push_back(tableRow(record));
  }
  writeShard(command.output, plan, std::to_string(shard.index) + "/" + std::to_string(shard.count),
             table);
  if (command.shard.empty()) {
    mergeShards({command.output}, command.output);
    progress("written " + (command.output / "results.tsv").string() + " and summary.json");
  } else {
    progress("written shard " + command.shard + " to " + command.output.string() +
             "; combine the shards with tolvane experiment merge");
  }
}

}  // namespace tolvane::experiment
