// The analysis subcommands of tolvane's command line:
//
//   tolvane glm BOLD.nii.gz --events EVENTS.tsv --output DIR [--hrf NAME]
//               [--highpass SECONDS] [--prewhiten ar1] [--contrast "A - B"]...
//               [--rest [NAME...]] [--mask IMAGE | --no-mask]
//   tolvane evaluate --truth TRUTH --stat STAT.nii.gz [--threshold T]... [--p-threshold P]...
//                    [--effect EFFECT.nii.gz [--true-effect X]] [--contrast "A - B"]
//                    [--sign both|positive|negative] [--dof N]
//                    [--cluster-threshold T --cluster-size K] [--output FILE.json]
//                    [--cluster-p P] [--cluster-connectivity 6|18|26] [--mask IMAGE | --no-mask]
//   tolvane evaluate DATASET --contrast "A - B" [--glm-dir DIR] [--group-dir DIR]
//                    [--prewhiten none|ar1] [--run sub-XX[/run-N]]... (and the above)
//   tolvane group DATASET --contrast "A - B"... [--glm-dir DIR] [--prewhiten none|ar1]
//                 [--covariate FILE.tsv COLUMN] [--output DIR] [--mask IMAGE | --no-mask]
//   tolvane report DATASET_DIR [--output FILE.html] [--run sub-XX/run-N]...
//                  [--contrast "A - B"]... [--t-threshold T] [--mask IMAGE | --no-mask]
//                  [--glm-dir DIR]
//
// As for simulate, each subcommand's options are parsed into a plain struct, and the
// command acts on it; the commands throw InputError and OutputError for
// runCommandLine to turn into a message and an exit status.
#pragma once

#include <CLI/CLI.hpp>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tolvane/analysis/evaluate.h"
#include "tolvane/analysis/glm.h"
#include "tolvane/group/dataset_evaluation.h"
#include "tolvane/group/group_command.h"
#include "tolvane/report/report_command.h"

namespace tolvane {

struct GlmCommand {
  CLI::App* app = nullptr;
  CLI::Option* restOption = nullptr;
  std::vector<std::string> rest;
  analysis::GlmRequest request;
  std::string prewhiten = "none";
};

struct EvaluateCommand {
  CLI::App* app = nullptr;
  analysis::EvaluationRequest request;
  std::optional<std::filesystem::path> output;
  std::string sign;
  int degreesOfFreedom = 0;  // 0: from the map's sidecar
  int clusterConnectivity = 26;  // 6, 18 or 26
  group::DatasetEvaluationRequest dataset;  // when a dataset is given
  std::optional<std::filesystem::path> datasetFolder;
  std::string prewhiten;  // empty: the study's noise decides
  // Matrices scored against --truth (analysis/matrix_scores.h): a connectivity estimate,
  // the baseline estimate from a run, or a pattern similarity estimate of --region.
  std::optional<std::filesystem::path> connectivity, connectivityFromRun, rsa;
  std::optional<std::string> region;
};

struct GroupCommand {
  CLI::App* app = nullptr;
  group::GroupRequest request;
  std::string prewhiten;  // empty: the study's noise decides
  std::vector<std::string> covariate;  // FILE COLUMN
};

struct ReportCommand {
  CLI::App* app = nullptr;
  report::ReportOptions options;
};

void addGlm(CLI::App& app, GlmCommand& command);
void addEvaluate(CLI::App& app, EvaluateCommand& command);
void addReport(CLI::App& app, ReportCommand& command);
void addGroup(CLI::App& app, GroupCommand& command);

// Progress lines and the closing summary on standard error.
void runGlmCommand(const GlmCommand& command);
// The summary on standard output, and the JSON file when asked for; for a dataset,
// progress lines on standard error.
void runEvaluateCommand(const EvaluateCommand& command);
// Progress lines and the closing summary on standard error.
void runGroupCommand(const GroupCommand& command);
// Progress lines and the file written on standard error.
void runReportCommand(const ReportCommand& command);

}  // namespace tolvane
