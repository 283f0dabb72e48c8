// The analysis subcommands of tolvane's command line:
//
//   tolvane glm BOLD.nii.gz --events EVENTS.tsv --output DIR [--hrf NAME]
//               [--highpass SECONDS] [--prewhiten ar1] [--contrast "A - B"]...
//               [--rest [NAME...]]
//   tolvane evaluate --truth TRUTH --stat STAT.nii.gz [--threshold T]...
//                    [--effect EFFECT.nii.gz [--true-effect X]] [--output FILE.json]
//   tolvane report DATASET_DIR [--output FILE.html] [--run sub-XX/run-N]...
//                  [--contrast "A - B"]... [--t-threshold T]
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
};

struct ReportCommand {
  CLI::App* app = nullptr;
  report::ReportOptions options;
};

void addGlm(CLI::App& app, GlmCommand& command);
void addEvaluate(CLI::App& app, EvaluateCommand& command);
void addReport(CLI::App& app, ReportCommand& command);

// Progress lines and the closing summary on standard error.
void runGlmCommand(const GlmCommand& command);
// The summary on standard output, and the JSON file when asked for.
void runEvaluateCommand(const EvaluateCommand& command);
// Progress lines and the file written on standard error.
void runReportCommand(const ReportCommand& command);

}  // namespace tolvane
