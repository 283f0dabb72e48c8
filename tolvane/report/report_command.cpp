// Writing the report page; see report_command.h.
#include "tolvane/report/report_command.h"

#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>

#include "formats/atomic_file.h"
#include "formats/errors.h"
#include "tolvane/report/dataset_section.h"
#include "tolvane/report/run_data.h"
#include "tolvane/report/run_section.h"
#include "tolvane/report/svg_plots.h"
#include "tolvane/dataset/runs.h"

namespace tolvane::report {
namespace {

// Laid out for a laptop's width: content at most 1200 px wide, figures side by side
// when they fit and wrapped below each other when they do not.
constexpr const char* kStyle = R"(
body { font: 15px/1.45 system-ui, sans-serif; color: #1d2329; background: #fafbfc;
       margin: 0 auto; max-width: 1200px; padding: 16px 24px 48px; }
h1 { font-size: 26px; margin: 8px 0 4px; }
h2 { font-size: 21px; border-bottom: 2px solid #d5dbe1; padding-bottom: 4px; margin-top: 36px; }
h3 { font-size: 17px; margin: 26px 0 6px; }
h4 { font-size: 15px; font-weight: 600; margin: 12px 0 4px; color: #34495e; }
.note { color: #4a5561; max-width: 72em; }
nav a { margin-right: 14px; }
.slices, .row { display: flex; flex-wrap: wrap; gap: 14px; align-items: flex-start; }
figure { margin: 0; }
figcaption { font-size: 13px; color: #4a5561; margin-top: 2px; }
img { display: block; image-rendering: pixelated; border: 1px solid #c9d1d9; }
svg text { font: 12px system-ui, sans-serif; fill: #1d2329; }
svg .title { font-size: 14px; font-weight: 600; }
svg .label { font-size: 13px; }
svg .frame { fill: #fff; stroke: #8a96a3; }
svg .grid { stroke: #e3e7eb; }
svg .tick { stroke: #1d2329; }
svg .gap { fill: #fff; stroke: #8a96a3; }
svg.plot { max-width: 100%; height: auto; display: block; margin: 10px 0; }
svg.design-labels, svg.design-ticks { overflow: visible; }
svg.colourbar { width: 420px; height: 58px; display: block; }
.design-grid { display: grid; grid-template-columns: 64px auto; }
table { border-collapse: collapse; margin: 0 0 14px; font-size: 14px; }
caption { text-align: left; font-weight: 600; padding: 4px 0; }
th, td { border: 1px solid #d5dbe1; padding: 3px 9px; text-align: right; }
th { background: #eef1f4; }
td.yes { color: #1e7d32; } td.no { color: #b03a2e; }
pre { background: #eef1f4; padding: 8px 12px; overflow-x: auto; font-size: 13px; }
)";

std::string datasetName(const std::filesystem::path& dataset) {
  std::ifstream in(dataset / "dataset_description.json");
  const nlohmann::json json = nlohmann::json::parse(in, nullptr, false);
  if (json.is_object() && json.contains("Name") && json["Name"].is_string()) {
    return json["Name"].get<std::string>();
  }
  return dataset.filename().string();
}


// Where the page goes is checked before the fits it shows, which may take minutes: a
// folder in its place, or a place where no file can be created (the nearest folder of
// its path that exists), is refused as --output.
void checkReportPlace(const std::filesystem::path& output) {
  std::error_code error;
  if (std::filesystem::is_directory(output, error)) {
    throw formats::InputError("--output " + output.string() +
                              ": expected the report's file name, found a folder");
  }
  std::filesystem::path folder = output.parent_path().empty() ? "." : output.parent_path();
  while (!std::filesystem::exists(folder, error) && folder.has_parent_path() &&
         folder.parent_path() != folder) {
    folder = folder.parent_path();
  }
  try {
    if (!std::filesystem::is_directory(folder, error)) {
      throw formats::OutputError(folder.string() + " is not a folder");
    }
    formats::checkFolderIsWritable(folder);
  } catch (const formats::OutputError& problem) {
    throw formats::InputError("--output " + output.string() + ": " + problem.what() +
                              "; choose another --output");
  }
}
}  // namespace

std::filesystem::path defaultReportFile(const std::filesystem::path& dataset) {
  return dataset / "derivatives" / "tolvane-report" / "report.html";
}

std::filesystem::path writeReport(const ReportOptions& options,
                                  const analysis::Progress& progress) {
  if (!(options.tThreshold > 0.0) || !std::isfinite(options.tThreshold)) {
    throw formats::InputError("--t-threshold: expected a positive number");
  }
  std::vector<dataset::DatasetRun> allRuns =
      dataset::findRuns(options.dataset, {}, options.allowIncomplete);
  std::vector<dataset::DatasetRun> runs = dataset::findRuns(options.dataset, options.runs, true);
  // Maps of the user's own folder are shown where they are: nothing is copied.
  if (options.glmRoot) {
    for (auto* list : {&allRuns, &runs}) {
      for (dataset::DatasetRun& run : *list) run.glmFolder = *options.glmRoot / run.subject / "func";
    }
  }
  const std::filesystem::path output = options.output.value_or(defaultReportFile(options.dataset));
  checkReportPlace(output);
  const std::string name = datasetName(options.dataset);

  std::string shownRuns = std::to_string(runs.size()) + " run(s) shown in full";
  if (options.runs.empty() && runs.size() > kMostRunSections) {
    shownRuns = "the first " + std::to_string(kMostRunSections) + " of " +
                std::to_string(runs.size()) +
                " runs shown in full (choose others with --run sub-XX/run-N)";
    runs.resize(kMostRunSections);
  }
  std::string body =
      datasetSection(options.dataset, allRuns, options.contrasts, options.tThreshold,
                     options.mask, progress);
  std::string contents = "<nav><a href=\"#dataset\">dataset</a>";
  for (std::size_t r = 0; r < runs.size(); ++r) {
    const std::string id = "run-" + std::to_string(r + 1);
    const RunData data = gatherRun(runs[r], options.contrasts, options.mask, progress);
    body += runSection(data, id, options.tThreshold);
    contents += "<a href=\"#" + id + "\">" + escapeXml(runs[r].prefix) + "</a>";
  }
  contents += "</nav>";
  const std::string page =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
      "<title>" +
      escapeXml(name) + ": tolvane report</title><style>" + kStyle + "</style></head><body><h1>" +
      escapeXml(name) + "</h1><p class=\"note\">" + escapeXml(options.dataset.string()) + ": " +
      std::to_string(allRuns.size()) + " run(s), " + shownRuns +
      ", each against its truth from derivatives/tolvane.</p>" + contents + body +
      "</body></html>\n";

  std::error_code error;
  std::filesystem::create_directories(output.parent_path(), error);
  formats::AtomicFileWriter writer(output);
  formats::CheckedOutputFile out(writer.temporaryPath(), output.string());
  out.write(page);
  out.close();
  writer.commit();
  return output;
}

}  // namespace tolvane::report
