// Parsing tolvane's command line and mapping outcomes to exit statuses; see
// command_line.h.
#include "tolvane/command_line.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <system_error>

#include <unistd.h>

#include "formats/atomic_file.h"
#include "formats/exit_status.h"
#include "formats/text_parsing.h"
#include "formats/threads.h"
#include "tolvane/analysis_command_line.h"
#include "tolvane/experiment/experiment_command.h"
#include "tolvane/fit_noise/fit_noise_command.h"
#include "tolvane/fit_noise/fit_outputs.h"
#include "tolvane/simulate/simulate_command.h"
#include "tolvane/version.h"

namespace tolvane {
namespace {

// --jobs is read as given (kUnset when not given) and checked by formats::jobsOption.
void addSimulate(CLI::App& app, simulate::SimulateOptions& options, std::int64_t& seed,
                 std::int64_t& subjects, std::int64_t& runs, std::int64_t& jobs,
                 std::string& shard) {
  CLI::App* command = app.add_subcommand(
      "simulate", "Simulate the runs of a study file into a BIDS dataset with its ground truth");
  command->add_option("STUDY", options.studyFile, "Study file (TOML); see the README")->required();
  command->add_option("--output", options.output, "Output folder of the dataset")->required();
  command->add_option("--seed", seed, "Study seed, 1 to 2147483646 (overrides the file's)");
  command->add_option("--subjects", subjects, "Number of subjects (overrides the file's)");
  command->add_option("--runs", runs, "Runs per subject (overrides the file's)");
  command->add_option("--jobs", jobs,
                      "Threads, across runs and within a run, 1 to 1024 (default: one per core)");
  command->add_option("--shard", shard,
                      "K/N: simulate only the K-th of N equal parts of the study's runs");
  command->add_flag("--overwrite", options.overwrite,
                    "Write into a folder that holds other files or another study, replacing "
                    "an earlier study's files");
}

CLI::App* addFitNoise(CLI::App& app, fit_noise::FitNoiseRequest& request, std::int64_t& jobs) {
  CLI::App* command = app.add_subcommand(
      "fit-noise", "Measure a run's noise and write the study keys that simulate data like it");
  command->add_option("BOLD", request.bold, "4-D NIfTI run; its TR comes from the header")
      ->required();
  command->add_option("--mask", request.mask,
                      "Brain mask on the run's grid (non-zero inside); default: automatic");
  command->add_option("--events", request.events,
                      "Events (BIDS events.tsv or .prt) whose task is removed before the fit");
  command->add_option("--highpass", request.highpassSeconds,
                      "Drift cutoff in seconds: cosines of longer periods are drift")
      ->capture_default_str();
  command->add_option("--jobs", jobs, "Threads, 1 to 1024 (default: one per core)");
  command->add_option("--output", request.output,
                      "Folder for noise.toml, mean.nii.gz, mask.nii.gz, noise_fit.json")
      ->required();
  return command;
}

// On a terminal, a step's percentages redraw one line, as simulate's progress does;
// elsewhere every line stays, for the record.
void runFitNoiseCommand(const fit_noise::FitNoiseRequest& request) {
  const bool terminal = ::isatty(STDERR_FILENO) == 1;
  bool redrawing = false;
  const auto progress = [&](const std::string& line) {
    const bool percentage = line.find('%') != std::string::npos;
    if (terminal && percentage) {
      std::cerr << "\r" << line << "\033[K" << std::flush;
    } else {
      std::cerr << (redrawing ? "\n" : "") << line << "\n";
    }
    redrawing = terminal && percentage;
  };
  const fit_noise::FitNoiseRun run = fit_noise::runFitNoise(request, progress);
  if (redrawing) std::cerr << "\n";
  fit_noise::printEstimateTable(run, std::cout);
  std::cerr << run.files.size() << " files written to " << request.output.string() << "\n";
}

// Standard output carries results (evaluate's scores, fit-noise's table): when it
// cannot take them (a full disk, a closed descriptor), a file could not be written.
bool standardOutputWritten() {
  std::cout.flush();
  return std::cout.good() && std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
}

}  // namespace

int runCommandLine(int argc, char** argv) {
  CLI::App app{"tolvane: simulated fMRI studies with known effects"};
  app.set_version_flag("--version", kTolvaneVersion);
  app.require_subcommand(1);
  simulate::SimulateOptions options;
  constexpr std::int64_t kUnset = INT64_MIN;
  std::int64_t seed = kUnset, subjects = kUnset, runs = kUnset;
  std::int64_t simulateJobs = kUnset, fitNoiseJobs = kUnset;
  const auto jobs = [&](std::int64_t given) {
    return formats::jobsOption(given == kUnset ? std::nullopt : std::optional(given));
  };
  std::string shard;
  addSimulate(app, options, seed, subjects, runs, simulateJobs, shard);
  GlmCommand glm;
  EvaluateCommand evaluate;
  ReportCommand report;
  GroupCommand group;
  addGlm(app, glm);
  addEvaluate(app, evaluate);
  addGroup(app, group);
  addReport(app, report);
  experiment::ExperimentCommand experiment;
  experiment::addExperiment(app, experiment);
  fit_noise::FitNoiseRequest fitNoise;
  CLI::App* fitNoiseApp = addFitNoise(app, fitNoise, fitNoiseJobs);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error);
    return status == 0 ? formats::kExitDone : formats::kExitUsage;
  }
  if (seed != kUnset) options.overrides.seed = seed;
  if (subjects != kUnset) options.overrides.subjects = subjects;
  if (runs != kUnset) options.overrides.runs = runs;
  try {
    if (glm.app->parsed()) {
      runGlmCommand(glm);
    } else if (evaluate.app->parsed()) {
      runEvaluateCommand(evaluate);
    } else if (group.app->parsed()) {
      runGroupCommand(group);
    } else if (report.app->parsed()) {
      runReportCommand(report);
    } else if (experiment.app->parsed()) {
      experiment::runExperimentCommand(experiment,
                                       [](const std::string& line) { std::cerr << line << "\n"; });
    } else if (fitNoiseApp->parsed()) {
      fitNoise.threads = jobs(fitNoiseJobs);
      runFitNoiseCommand(fitNoise);
    } else {
      options.jobs = static_cast<int>(jobs(simulateJobs));
      if (!shard.empty()) options.shard = simulate::parseShard(shard);
      simulate::runSimulate(options, std::cerr);
    }
  } catch (const simulate::Interrupted& error) {
    std::cerr << "tolvane: " << error.what() << "\n";
    return formats::kExitInterrupted;
  } catch (...) {
    const formats::Failure failure = formats::describeFailure(std::current_exception());
    std::cerr << "tolvane: error: " << failure.message << "\n";
    return failure.status;
  }
  if (!standardOutputWritten()) {
    std::cerr << "tolvane: error: standard output cannot be written: " << std::strerror(errno)
              << "; the results printed there are lost\n";
    return formats::kExitOutputFailed;
  }
  return formats::kExitDone;
}

}  // namespace tolvane
