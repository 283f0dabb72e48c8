// The glm, evaluate and report subcommands; see analysis_command_line.h.
#include "tolvane/analysis_command_line.h"

#include <cmath>
#include <cstdio>
#include <iostream>

#include "formats/text_parsing.h"
#include "tolvane/analysis/contrast_truth.h"
#include "tolvane/analysis/evaluation_text.h"

namespace tolvane {
namespace {

using analysis::fixed;

void progressLine(const std::string& line) { std::cerr << line << "\n"; }

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
  glm->add_option("--hrf", request.hrf, "Response function")->capture_default_str();
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
      ->check(CLI::PositiveNumber);
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
  evaluate->add_option("--connectivity", command.connectivity,
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
  evaluate->add_option("--output", command.output, "Write the evaluation as JSON");
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

void runEvaluateCommand(const EvaluateCommand& command) {
  analysis::EvaluationRequest request = command.request;
  if (!command.sign.empty()) {
    request.sign = command.sign == "both"       ? analysis::Sidedness::TwoSided
                   : command.sign == "positive" ? analysis::Sidedness::Positive
                                                : analysis::Sidedness::Negative;
  }
  if (command.degreesOfFreedom > 0) request.degreesOfFreedom = command.degreesOfFreedom;
  request.connectivity = *analysis::connectivityOf(command.connectivity);
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
