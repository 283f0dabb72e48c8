// The glm, evaluate and report subcommands; see analysis_command_line.h.
#include "tolvane/analysis_command_line.h"

#include <cmath>
#include <cstdio>
#include <iostream>

#include "formats/text_parsing.h"
#include "tolvane/report/truth_files.h"

namespace tolvane {
namespace {

void progressLine(const std::string& line) { std::cerr << line << "\n"; }

std::string fixed(double value, int decimals) {
  if (std::isnan(value)) return "n/a";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  return buffer;
}

std::string padded(const std::string& text, std::size_t width) {
  return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

void printEvaluation(const analysis::Evaluation& evaluation, std::ostream& out) {
  const analysis::EvaluationRequest& request = evaluation.request;
  out << "truth      " << request.truth.string() << " ("
      << (evaluation.labelTruth ? "label image" : "amplitude map")
      << "): " << evaluation.roc.positives << " positives, " << evaluation.roc.negatives
      << " negatives\n";
  out << "statistic  " << request.stat.string() << " (" << evaluation.undefinedStatistics
      << " undefined voxels, ranked lowest)\n";
  out << "ROC area   " << fixed(evaluation.roc.area, 5) << " (SD under the null "
      << fixed(evaluation.roc.nullStandardDeviation, 5) << ")\n";
  if (!evaluation.counts.empty()) {
    out << "\nactive when statistic > threshold\n"
        << " threshold      TP      FP      FN        TN     TPR      FPR\n";
    for (const analysis::ThresholdCounts& counts : evaluation.counts) {
      out << padded(fixed(counts.threshold, 3), 10)
          << padded(std::to_string(counts.truePositives), 8)
          << padded(std::to_string(counts.falsePositives), 8)
          << padded(std::to_string(counts.falseNegatives), 8)
          << padded(std::to_string(counts.trueNegatives), 10)
          << padded(fixed(counts.truePositiveRate(), 4), 8)
          << padded(fixed(counts.falsePositiveRate(), 5), 9) << "\n";
    }
  }
  out << "\nregions\n";
  for (const analysis::RegionScore& region : evaluation.regions) {
    out << "  " << region.name << ": " << region.voxels << " voxels, peak "
        << fixed(region.peakStatistic, 3) << " at voxel (" << region.peakVoxel[0] << ", "
        << region.peakVoxel[1] << ", " << region.peakVoxel[2] << ")";
    for (std::size_t i = 0; i < region.detected.size(); ++i) {
      out << (i == 0 ? "; " : ", ") << (region.detected[i] ? "detected" : "missed") << " at "
          << fixed(evaluation.counts[i].threshold, 3);
    }
    if (region.effect) {
      out << "; effect bias " << fixed(region.effect->bias, 4) << ", RMS error "
          << fixed(region.effect->rootMeanSquareError, 4);
    }
    out << "\n";
  }
  if (evaluation.effect) {
    out << "effect     bias " << fixed(evaluation.effect->bias, 4) << ", RMS error "
        << fixed(evaluation.effect->rootMeanSquareError, 4) << " over the positives\n";
  }
}

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
  command.app = glm;
}

void addEvaluate(CLI::App& app, EvaluateCommand& command) {
  analysis::EvaluationRequest& request = command.request;
  CLI::App* evaluate = app.add_subcommand(
      "evaluate", "Score a statistical map against the truth: ROC, counts, regions");
  evaluate
      ->add_option("--truth", request.truth,
                   "Truth: a label image (integers) or a condition's amplitude map (floats)")
      ->required();
  evaluate->add_option("--stat", request.stat, "Statistical map, larger is stronger (t, z)")
      ->required();
  evaluate->add_option("--threshold", request.thresholds,
                       "Threshold for counts and detection (repeatable)");
  evaluate->add_option("--effect", request.effect,
                       "Estimated effect map, for bias and RMS error inside the regions");
  evaluate->add_option("--true-effect", request.trueEffect,
                       "The true effect in data units, for a label truth with --effect");
  evaluate->add_option("--output", command.output, "Write the evaluation as JSON");
  command.app = evaluate;
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
  std::cerr << summary.files.size() << " files written to " << request.outputFolder.string()
            << "; read " << fixed(summary.readSeconds, 2) << " s, fit "
            << fixed(summary.fitSeconds, 2) << " s, write " << fixed(summary.writeSeconds, 2)
            << " s\n";
}

void runEvaluateCommand(const EvaluateCommand& command) {
  analysis::Evaluation evaluation = analysis::evaluate(command.request);
  if (evaluation.labelTruth) report::nameLabelRegions(evaluation, command.request.truth);
  if (command.output) analysis::writeEvaluationJson(evaluation, *command.output);
  printEvaluation(evaluation, std::cout);
  if (command.output) std::cout << "\nwritten " << command.output->string() << "\n";
}

void runReportCommand(const ReportCommand& command) {
  const std::filesystem::path written = report::writeReport(command.options, progressLine);
  std::cerr << "written " << written.string() << "\n";
}

}  // namespace tolvane
