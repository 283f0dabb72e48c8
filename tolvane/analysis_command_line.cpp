// The glm, evaluate and report subcommands; see analysis_command_line.h.
#include "tolvane/analysis_command_line.h"

#include <cmath>
#include <cstdio>
#include <iostream>

#include "formats/text_parsing.h"
#include "tolvane/analysis/contrast_truth.h"
#include "tolvane/analysis/evaluation_text.h"
#include "tolvane/analysis/glm_design.h"
#include "tolvane/analysis/matrix_scores.h"

namespace tolvane {
namespace {

using analysis::fixed;

void progressLine(const std::string& line) { std::cerr << line << "\n"; }

// The most degrees of freedom a t map may be given (--dof): beyond any run or group,
// where Student's t is the normal distribution to many digits.
constexpr int kMaxDegreesOfFreedom = 100000000;

// Numbers that would give meaningless scores, refused before any map is read.
void checkScoringOptions(const analysis::EvaluationRequest& request) {
  for (const double threshold : request.thresholds) {
    if (!std::isfinite(threshold)) {
      throw formats::InputError("--threshold: expected a finite value of the statistic, found " +
                                formats::shortestText(threshold));
    }
  }
  for (const double p : request.pThresholds) {
    if (!(p > 0.0 && p < 1.0)) {
      throw formats::InputError("--p-threshold: expected a p value above 0 and below 1, found " +
                                formats::shortestText(p));
    }
  }
  if (request.clusterThreshold && !std::isfinite(*request.clusterThreshold)) {
    throw formats::InputError("--cluster-threshold: expected a finite value of the statistic");
  }
  if (request.clusterSize < 0) {
    throw formats::InputError("--cluster-size: expected a number of voxels of 1 or more");
  }
}

analysis::Prewhitening prewhitening(const std::string& name) {
  return name == "ar1" ? analysis::Prewhitening::Ar1 : analysis::Prewhitening::None;
}

// --prewhiten of a command over a dataset: absent follows the study's noise.
std::optional<analysis::Prewhitening> askedPrewhitening(const std::string& name) {
  if (name.empty()) return std::nullopt;
  return prewhitening(name);
}

// --mask IMAGE and --no-mask, which exclude each other.
void addMaskOptions(CLI::App* app, analysis::MaskChoice& mask) {
  CLI::Option* image = app->add_option(
      "--mask", mask.image,
      "Brain mask (non-zero inside, on the maps' grid); default: the dataset's truth mask, "
      "else the whole grid");
  app->add_flag("--no-mask", mask.wholeGrid, "Analyse and count the whole grid")->excludes(image);
}

constexpr const char* kDatasetPrewhitenHelp =
    "Noise model of the first-level fits: none or ar1; default: ar1 when the study's noise is "
    "autocorrelated (its study file), else none";

}  // namespace

void addGlm(CLI::App& app, GlmCommand& command) {
  analysis::GlmRequest& request = command.request;
  CLI::App* glm = app.add_subcommand(
      "glm", "Fit the reference GLM to a BOLD series and write effect, variance, t and p maps");
  glm->add_option("BOLD", request.bold, "4-D NIfTI series; its TR comes from the header")
      ->required();
  glm->add_option("--events", request.events,
                  "Events (BIDS events.tsv or .prt); default: the run's own _events.tsv");
  glm->add_option("--output", request.outputFolder, "Folder for the maps and the design")
      ->required();
  glm->add_option("--hrf", request.hrf,
                  "Response function: twogamma, twogamma+derivatives (temporal and dispersion) "
                  "or fir:N (N bins of one TR)")
      ->capture_default_str();
  glm->add_option("--highpass", request.highpassSeconds,
                  "Cutoff of the cosine high-pass set in seconds (0: none)")
      ->capture_default_str();
  glm->add_option("--prewhiten", command.prewhiten, "Noise model: none or ar1")
      ->check(CLI::IsMember({"none", "ar1"}))
      ->capture_default_str();
  glm->add_option("--contrast", request.contrasts,
                  "A contrast of conditions, such as \"Task - Rest\" (repeatable)");
  command.restOption =
      glm->add_option("--rest", command.rest,
                      "Conditions left out of the design as the implicit baseline (none: "
                      "keep every condition); default: those named rest, baseline, fixation "
                      "or off, in any case, unless a contrast names them")
          ->expected(0, CLI::detail::expected_max_vector_size);
  glm->add_option("--confounds", request.confounds,
                  "Confounds table (TSV, a header and one row per volume) whose columns join "
                  "the design, such as the truth's _desc-confounds_timeseries.tsv");
  glm->add_option("--confound-columns", request.confoundColumns,
                  "Columns of the confounds table, comma-separated; default: trans_x, trans_y, "
                  "trans_z, rot_x, rot_y, rot_z")
      ->delimiter(',');
  addMaskOptions(glm, request.mask);
  command.app = glm;
}

void addEvaluate(CLI::App& app, EvaluateCommand& command) {
  analysis::EvaluationRequest& request = command.request;
  CLI::App* evaluate = app.add_subcommand(
      "evaluate", "Score a statistical map, or every run of a dataset, against the truth");
  evaluate->add_option("DATASET", command.datasetFolder,
                       "Dataset written by tolvane simulate: score every run's t map");
  evaluate->add_option(
      "--truth", request.truth,
      "Truth: a label image (integers), a condition's amplitude map (floats), or with "
      "--contrast any file of the run's truth or its folder");
  evaluate->add_option("--stat", request.stat, "Statistical map, larger is stronger (t, z)");
  evaluate->add_option("--threshold", request.thresholds,
                       "Threshold for counts and detection (repeatable)");
  evaluate->add_option("--p-threshold", request.pThresholds,
                       "Threshold as a p value of the test's side (repeatable)");
  evaluate->add_option("--effect", request.effect,
                       "Estimated effect map, for bias and RMS error inside the regions");
  evaluate->add_option("--true-effect", request.trueEffect,
                       "The true effect in data units, for a label truth with --effect");
  evaluate->add_option("--contrast", request.contrast,
                       "Score this contrast of conditions, such as \"Faces - Houses\"");
  evaluate->add_option("--sign", command.sign,
                       "Side of the test: both (|t|), positive (t) or negative (-t); default "
                       "both for a contrast or a null study, else positive")
      ->check(CLI::IsMember({"both", "positive", "negative"}));
  evaluate->add_option("--dof", command.degreesOfFreedom,
                       "Degrees of freedom of the t map (default: from its sidecar)")
      ->check(CLI::Range(1, kMaxDegreesOfFreedom));
  evaluate->add_option("--cluster-threshold", request.clusterThreshold,
                       "Null study: the threshold that forms clusters");
  evaluate->add_option("--cluster-size", request.clusterSize,
                       "Null study: a family-wise error is a cluster of at least this many voxels")
      ->check(CLI::PositiveNumber);
  evaluate->add_option("--cluster-p", request.clusterP,
                       "Null study: the cluster-forming p whose cluster size K comes from random "
                       "field theory with the residuals' smoothness (family-wise 0.05)")
      ->check(CLI::Range(0.0, 0.5).description("above 0 and up to 0.5"))
      ->check([](const std::string& text) {
        return std::stod(text) > 0.0 ? std::string() : std::string("expected a p above 0");
      });
  evaluate->add_option("--cluster-connectivity", command.clusterConnectivity,
                       "Neighbours that join a cluster: 6 (faces), 18 (and edges) or 26 (and "
                       "corners)")
      ->check(CLI::IsMember({6, 18, 26}))
      ->capture_default_str();
  evaluate->add_option("--glm-dir", command.dataset.glmRoot,
                       "Dataset: the glm outputs' root (default DATASET/derivatives/tolvane-glm)");
  evaluate->add_option("--group-dir", command.dataset.groupRoot,
                       "Dataset: the group maps (default DATASET/derivatives/tolvane-group)");
  evaluate->add_option("--prewhiten", command.prewhiten,
                       std::string("Dataset: ") + kDatasetPrewhitenHelp)
      ->check(CLI::IsMember({"none", "ar1"}));
  addMaskOptions(evaluate, request.mask);
  evaluate->add_option("--run", command.dataset.runs,
                       "Dataset: only this run, as sub-XX/run-N or sub-XX (repeatable)");
  evaluate->add_option("--connectivity", command.connectivity,
                       "Score this connectivity matrix (TSV) against --truth, a run's "
                       "_desc-network_connectivity.tsv");
  evaluate->add_option("--connectivity-from-run", command.connectivityFromRun,
                       "Score the regions' mean courses' correlation in this BOLD run, after "
                       "its drift and task, against --truth");
  evaluate->add_option("--rsa", command.rsa,
                       "Score this condition similarity matrix (TSV) against --truth, a "
                       "run's _desc-patterns_similarity.tsv");
  evaluate->add_option("--region", command.region, "With --rsa: the region whose patterns");
  evaluate->add_option("--output", command.output, "Write the evaluation as JSON");
  evaluate->add_flag("--allow-incomplete", command.dataset.allowIncomplete,
                     "Score a DATASET that lacks runs its study promises");
  command.app = evaluate;
}

void addGroup(CLI::App& app, GroupCommand& command) {
  group::GroupRequest& request = command.request;
  CLI::App* groupApp = app.add_subcommand(
      "group", "Combine a dataset's runs: fixed effects within subjects, a t test across them");
  groupApp->add_option("DATASET", request.dataset, "Dataset written by tolvane simulate")
      ->required();
  groupApp->add_option("--contrast", request.contrasts,
                       "A contrast of conditions, such as \"Faces - Houses\" (repeatable)")
      ->required();
  groupApp->add_option("--glm-dir", request.glmRoot,
                       "Root of the runs' glm outputs, reused when they match "
                       "(default DATASET/derivatives/tolvane-glm)");
  groupApp->add_option("--prewhiten", command.prewhiten, kDatasetPrewhitenHelp)
      ->check(CLI::IsMember({"none", "ar1"}));
  addMaskOptions(groupApp, request.mask);
  groupApp->add_option("--covariate", command.covariate,
                       "A table with participant_id and a column of numbers, and the column's "
                       "name: a two-group or covariate design")
      ->expected(2);
  groupApp->add_flag("--allow-incomplete", request.allowIncomplete,
                     "Analyse a dataset that lacks runs its study promises");
  groupApp->add_option("--output", request.output,
                       "Folder of the maps (default DATASET/derivatives/tolvane-group)");
  command.app = groupApp;
}

void addReport(CLI::App& app, ReportCommand& command) {
  report::ReportOptions& options = command.options;
  CLI::App* reportApp = app.add_subcommand(
      "report", "Write one self-contained HTML page per dataset: slices, design, time courses");
  reportApp->add_option("DATASET", options.dataset, "Dataset written by tolvane simulate")
      ->required();
  reportApp->add_flag("--allow-incomplete", options.allowIncomplete,
                      "Report on a dataset that lacks runs its study promises");
  reportApp->add_option("--output", options.output,
                        "HTML file (default: DATASET/derivatives/tolvane-report/report.html)");
  reportApp->add_option("--run", options.runs,
                        "Only this run, as sub-XX/run-N or sub-XX (repeatable)");
  reportApp->add_option("--contrast", options.contrasts,
                        "Contrast to fit when a run has no GLM outputs (repeatable)");
  reportApp->add_option("--t-threshold", options.tThreshold, "Smallest |t| overlaid")
      ->capture_default_str();
  addMaskOptions(reportApp, options.mask);
  reportApp->add_option("--glm-dir", options.glmRoot,
                        "Root of the runs' glm outputs, laid out sub-XX/func/ (default "
                        "DATASET/derivatives/tolvane-glm); only read");
  command.app = reportApp;
}

void runGlmCommand(const GlmCommand& command) {
  analysis::GlmRequest request = command.request;
  // "--rest" alone (which CLI11 gives as one empty name) keeps every condition.
  if (command.restOption->count() > 0) {
    request.rest.emplace();
    for (const std::string& name : command.rest) {
      if (!name.empty()) request.rest->push_back(name);
    }
  }
  request.prewhiten =
      command.prewhiten == "ar1" ? analysis::Prewhitening::Ar1 : analysis::Prewhitening::None;
  // The shortest cutoff depends on the run (glm_design.h); this is what any run refuses.
  if (!(request.highpassSeconds >= 0.0 && std::isfinite(request.highpassSeconds))) {
    throw formats::InputError("--highpass: expected a cutoff of 0 (none) or more seconds, found " +
                              formats::shortestText(request.highpassSeconds));
  }
  const analysis::GlmSummary summary = analysis::runGlm(request, progressLine);
  for (const std::string& warning : summary.warnings) {
    std::cerr << "tolvane: warning: " << warning << "\n";
  }
  std::cerr << "events " << summary.eventsFile.string() << "; " << summary.volumes
            << " volumes of TR " << summary.trSeconds << " s; ";
  if (!summary.restConditions.empty()) {
    std::cerr << "rest (the baseline)";
    for (const std::string& name : summary.restConditions) std::cerr << " " << name;
    std::cerr << "; ";
  }
  std::cerr << "design columns";
  for (const std::string& column : summary.columnNames) std::cerr << " " << column;
  std::cerr << "\n" << summary.degreesOfFreedom << " degrees of freedom; ";
  if (request.prewhiten == analysis::Prewhitening::Ar1) {
    std::cerr << "AR(1) prewhitening with rho " << fixed(summary.ar1, 4) << "\n";
  } else {
    std::cerr << "no prewhitening\n";
  }
  std::cerr << "inside " << summary.mask.describe() << "\n";
  std::cerr << summary.files.size() << " files written to " << request.outputFolder.string()
            << "; read " << fixed(summary.readSeconds, 2) << " s, fit "
            << fixed(summary.fitSeconds, 2) << " s, write " << fixed(summary.writeSeconds, 2)
            << " s\n";
}

namespace {

// --connectivity, --connectivity-from-run and --rsa: one estimate against --truth.
void runMatrixEvaluation(const EvaluateCommand& command) {
  const int given = int(command.connectivity.has_value()) +
                    int(command.connectivityFromRun.has_value()) + int(command.rsa.has_value());
  if (given != 1 || command.request.truth.empty() || !command.request.stat.empty()) {
    throw formats::InputError(
        "expected --truth with one of --connectivity, --connectivity-from-run and --rsa "
        "(and no --stat)");
  }
  const std::filesystem::path& truthFile = command.request.truth;
  std::string what;
  analysis::MatrixScores scores;
  if (command.rsa) {
    what = "pattern similarity";
    scores = analysis::scoreMatrix(analysis::readRegionSimilarity(truthFile, command.region),
                                   analysis::readLabelledMatrix(*command.rsa), *command.rsa);
  } else {
    const analysis::LabelledMatrix truth = analysis::readLabelledMatrix(truthFile);
    what = "connectivity";
    if (command.connectivity) {
      scores = analysis::scoreMatrix(truth, analysis::readLabelledMatrix(*command.connectivity),
                                     *command.connectivity);
    } else {
      what = "connectivity from the run's region means";
      scores = analysis::scoreMatrix(
          truth,
          analysis::connectivityFromRun(*command.connectivityFromRun, truthFile,
                                        analysis::kDefaultHighpassSeconds),
          *command.connectivityFromRun);
    }
  }
  std::cout << analysis::matrixScoresText(what, scores);
  if (command.output) {
    analysis::writeMatrixScoresJson(what, scores, *command.output);
    std::cout << "\nwritten " << command.output->string() << "\n";
  }
}

}  // namespace

void runEvaluateCommand(const EvaluateCommand& command) {
  if (command.connectivity || command.connectivityFromRun || command.rsa) {
    runMatrixEvaluation(command);
    return;
  }
  analysis::EvaluationRequest request = command.request;
  if (!command.sign.empty()) {
    request.sign = command.sign == "both"       ? analysis::Sidedness::TwoSided
                   : command.sign == "positive" ? analysis::Sidedness::Positive
                                                : analysis::Sidedness::Negative;
  }
  if (command.degreesOfFreedom > 0) request.degreesOfFreedom = command.degreesOfFreedom;
  checkScoringOptions(request);
  request.connectivity = *analysis::connectivityOf(command.clusterConnectivity);
  if (request.clusterThreshold.has_value() != (request.clusterSize > 0)) {
    throw formats::InputError("--cluster-threshold and --cluster-size go together");
  }
  if (command.datasetFolder) {
    if (!request.truth.empty() || !request.stat.empty() || request.effect) {
      throw formats::InputError("with a DATASET, each run's truth and maps are found in it; "
                                "leave out --truth, --stat and --effect");
    }
    group::DatasetEvaluationRequest dataset = command.dataset;
    dataset.dataset = *command.datasetFolder;
    dataset.prewhiten = askedPrewhitening(command.prewhiten);
    dataset.scoring = request;
    const group::DatasetEvaluation evaluation = group::evaluateDataset(dataset, progressLine);
    if (command.output) group::writeDatasetEvaluationJson(evaluation, *command.output);
    group::printDatasetEvaluation(evaluation, std::cout);
    if (command.output) std::cout << "\nwritten " << command.output->string() << "\n";
    return;
  }
  if (request.truth.empty() || request.stat.empty()) {
    throw formats::InputError("expected --truth and --stat (or a DATASET to score every run)");
  }
  analysis::Evaluation evaluation = analysis::evaluate(request);
  if (evaluation.labelTruth) {
    analysis::nameLabelRegions(evaluation, request.truth);
  } else {
    const bool truthFolder = std::filesystem::is_directory(request.truth);
    const std::filesystem::path folder = truthFolder ? request.truth : request.truth.parent_path();
    const std::string prefix = analysis::runPrefixOf(truthFolder ? request.stat : request.truth);
    analysis::nameAmplitudeRegions(evaluation, folder / (prefix + "_desc-regions_dseg.nii.gz"));
  }
  if (command.output) analysis::writeEvaluationJson(evaluation, *command.output);
  analysis::printEvaluation(evaluation, std::cout);
  if (command.output) std::cout << "\nwritten " << command.output->string() << "\n";
}

void runGroupCommand(const GroupCommand& command) {
  group::GroupRequest request = command.request;
  request.prewhiten = askedPrewhitening(command.prewhiten);
  if (!command.covariate.empty()) {
    request.covariateTable = command.covariate[0];
    request.covariateColumn = command.covariate[1];
  }
  const group::GroupSummary summary = group::runGroup(request, progressLine);
  std::cerr << summary.subjects << " subjects, " << summary.runs << " runs ("
            << summary.firstLevelFitted << " first-level fits made, "
            << summary.firstLevelReused << " reused); group "
            << summary.degreesOfFreedom << " degrees of freedom; " << summary.files.size()
            << " files written to " << summary.output.string() << "\n";
}

void runReportCommand(const ReportCommand& command) {
  const std::filesystem::path written = report::writeReport(command.options, progressLine);
  std::cerr << "written " << written.string() << "\n";
}

}  // namespace tolvane
