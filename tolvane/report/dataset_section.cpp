// The dataset's summary at the top of the report; see dataset_section.h.
#include "tolvane/report/dataset_section.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "formats/nifti/nifti_maps.h"
#include "numerics/special_functions.h"
#include "tolvane/analysis/contrast_truth.h"
#include "tolvane/analysis/contrasts.h"
#include "tolvane/analysis/evaluate.h"
#include "tolvane/analysis/truth_regions.h"
#include "tolvane/dataset/analysis_files.h"
#include "tolvane/dataset/names.h"
#include "tolvane/report/png_image.h"
#include "tolvane/report/slice_images.h"
#include "tolvane/report/svg_plots.h"

namespace tolvane::report {

using dataset::DatasetRun;
using dataset::readRegionNames;

namespace {

// A study file longer than this is cut: settings, not data.
constexpr std::size_t kLongestSettings = 64 * 1024;
// The null histogram: bins of this width over [-kHistogramReach, kHistogramReach].
constexpr double kHistogramStep = 0.25, kHistogramReach = 6.0;
// Two-sided p values whose thresholds the family-wise table adds to the report's own.
constexpr double kFamilyWiseP[] = {0.05, 0.001};
constexpr int kGroupSlicePixels = 240;

struct ScoredMap {
  const DatasetRun* run;
  std::string expression, label;
  analysis::Evaluation evaluation;
};

nlohmann::json readJson(const std::filesystem::path& file) {
  std::ifstream in(file);
  nlohmann::json json = nlohmann::json::parse(in, nullptr, false);
  return json.is_object() ? json : nlohmann::json::object();
}

std::string studySettings(const std::filesystem::path& root) {
  std::error_code error;
  for (std::filesystem::directory_iterator it(dataset::DatasetFolders(root).codeFolder(), error),
       end;
       !error && it != end; it.increment(error)) {
    if (it->path().extension() != ".toml") continue;
    std::ifstream in(it->path());
    std::string text(kLongestSettings, '\0');
    in.read(text.data(), std::streamsize(text.size()));
    text.resize(std::size_t(in.gcount()));
    return "<h3>Study settings</h3><p class=\"note\">" + escapeXml(it->path().filename().string()) +
           ", the study file that made the dataset:</p><pre>" + escapeXml(text) + "</pre>";
  }
  return "<p class=\"note\">The dataset holds no study file under code/tolvane.</p>";
}

// The run's glm t maps to score: those of `contrasts`, else those that contrast two or
// more conditions, else all.
std::vector<std::pair<std::filesystem::path, std::string>> mapsToScore(
    const DatasetRun& run, const std::vector<std::string>& contrasts) {
  std::vector<std::pair<std::filesystem::path, std::string>> all, between;
  std::error_code error;
  std::vector<std::filesystem::path> entries;
  for (std::filesystem::directory_iterator it(run.glmFolder, error), last; !error && it != last;
       it.increment(error)) {
    entries.push_back(it->path());
  }
  std::sort(entries.begin(), entries.end());
  for (const std::filesystem::path& entry : entries) {
    if (dataset::statMapContrast(entry.filename().string(), run.prefix, "t").empty()) continue;
    const nlohmann::json sidecar = readJson(dataset::sidecarOf(entry));
    const std::string expression = sidecar.value("Contrast", std::string());
    if (expression.empty()) continue;
    const std::string label = analysis::bidsLabel(expression);
    if (!contrasts.empty()) {
      for (const std::string& wanted : contrasts) {
        if (analysis::bidsLabel(wanted) == label) all.push_back({entry, expression});
      }
      continue;
    }
    all.push_back({entry, expression});
    if (sidecar.contains("ContrastWeights") && sidecar["ContrastWeights"].size() > 1) {
      between.push_back({entry, expression});
    }
  }
  return contrasts.empty() && !between.empty() ? between : all;
}

std::string runTable(const std::vector<DatasetRun>& runs, const std::vector<ScoredMap>& scored,
                     double threshold) {
  std::string html = "<table><caption>Every run, each map scored two-sided at |t| &gt; " +
                     shortNumber(threshold) +
                     " against its contrast's truth</caption><tr><th>run</th><th>contrast</th>"
                     "<th>true positives</th><th>ROC area</th><th>TPR</th><th>false positives</th>"
                     "<th>FPR</th></tr>";
  for (const DatasetRun& run : runs) {
    bool any = false;
    for (const ScoredMap& map : scored) {
      if (map.run != &run) continue;
      any = true;
      const analysis::Evaluation& scores = map.evaluation;
      html +=
          "<tr><td>" + escapeXml(run.prefix) + "</td><td>" + escapeXml(map.expression) + "</td>";
      if (scores.null) {
        const analysis::Proportion& rate = scores.null->thresholds.front().voxelwise;
        html += "<td>none (null)</td><td></td><td></td><td>" + std::to_string(rate.count) +
                "</td><td>" + shortNumber(rate.rate, 3) + "</td></tr>";
      } else {
        const analysis::ThresholdCounts& counts = scores.counts.front();
        html += "<td>" + std::to_string(scores.roc.positives) + "</td><td>" +
                shortNumber(scores.roc.area, 4) + "</td><td>" +
                shortNumber(counts.truePositiveRate(), 3) + "</td><td>" +
                std::to_string(counts.falsePositives) + "</td><td>" +
                shortNumber(counts.falsePositiveRate(), 3) + "</td></tr>";
      }
    }
    if (!any) {
      html += "<tr><td>" + escapeXml(run.prefix) +
              "</td><td colspan=\"6\" style=\"text-align:left\">no glm t maps in " +
              escapeXml(run.glmFolder.string()) +
              " (tolvane evaluate DATASET --contrast &quot;A - B&quot; fits them)</td></tr>";
    }
  }
  return html + "</table>";
}

double studentDensity(double t, int degreesOfFreedom) {
  const double v = degreesOfFreedom;
  return std::exp(gammln(0.5 * (v + 1.0)) - gammln(0.5 * v) -
                  0.5 * (v + 1.0) * std::log1p(t * t / v)) /
         std::sqrt(v * M_PI);
}

std::string nullSection(const std::vector<ScoredMap>& scored, double threshold) {
  std::vector<const analysis::Evaluation*> nulls;
  for (const ScoredMap& map : scored) {
    if (map.evaluation.null && map.evaluation.degreesOfFreedom) nulls.push_back(&map.evaluation);
  }
  if (nulls.empty()) return "";
  const int dof = *nulls.front()->degreesOfFreedom;
  const std::size_t bins = std::size_t(2.0 * kHistogramReach / kHistogramStep);
  std::vector<double> counts(bins, 0.0), centres(bins);
  double values = 0.0;
  // The report's threshold, fixed p values, and Bonferroni's threshold for a family-wise
  // rate of kFamilyWiseP[0] over the map's voxels.
  std::vector<double> thresholds{threshold};
  for (double p : kFamilyWiseP) thresholds.push_back(analysis::tThresholdOfP(p, dof, true));
  const double mapVoxels = double(nulls.front()->nullStatistics.size());
  thresholds.push_back(analysis::tThresholdOfP(kFamilyWiseP[0] / mapVoxels, dof, true));
  std::vector<std::int64_t> runsAbove(thresholds.size(), 0);
  for (const analysis::Evaluation* evaluation : nulls) {
    std::vector<bool> above(thresholds.size(), false);
    for (double t : evaluation->nullStatistics) {
      if (std::isnan(t)) continue;
      values += 1.0;
      const double bin = std::floor((t + kHistogramReach) / kHistogramStep);
      if (bin >= 0.0 && bin < double(bins)) counts[std::size_t(bin)] += 1.0;
      for (std::size_t i = 0; i < thresholds.size(); ++i)
        above[i] = above[i] || std::fabs(t) > thresholds[i];
    }
    for (std::size_t i = 0; i < thresholds.size(); ++i) runsAbove[i] += above[i];
  }
  std::vector<double> density(bins), student(bins);
  for (std::size_t b = 0; b < bins; ++b) {
    centres[b] = -kHistogramReach + (double(b) + 0.5) * kHistogramStep;
    density[b] = counts[b] / (values * kHistogramStep);
    student[b] = studentDensity(centres[b], dof);
  }
  PlotAxes axes;
  axes.id = "null-histogram";
  axes.title = "t values of " + std::to_string(nulls.size()) + " null map(s)";
  axes.xLabel = "t";
  axes.yLabel = "density";
  axes.width = 620;
  std::string html = "<h3>Null runs</h3>" +
                     linePlotSvg(axes, {{"observed", centres, density, "#1f3a93", 2.0, 1.0, false},
                                        {"Student's t, " + std::to_string(dof) + " df", centres,
                                         student, "#e74c3c", 2.0, 1.0, true}});
  html +=
      "<table><caption>Family-wise rate: the share of null runs with any voxel above the "
      "threshold (Wilson 95 % interval), counted over " +
      escapeXml(nulls.front()->mask.describe()) +
      "</caption><tr><th>|t| &gt;</th><th>runs</th><th>rate</th><th>interval</th></tr>";
  for (std::size_t i = 0; i < thresholds.size(); ++i) {
    const analysis::Proportion rate =
        analysis::proportion(runsAbove[i], std::int64_t(nulls.size()));
    html += "<tr><td>" + shortNumber(thresholds[i]) + "</td><td>" + std::to_string(rate.count) +
            " of " + std::to_string(rate.total) + "</td><td>" + shortNumber(rate.rate, 3) +
            "</td><td>" + shortNumber(rate.lower, 3) + " &ndash; " + shortNumber(rate.upper, 3) +
            "</td></tr>";
  }
  return html + "</table>";
}

double meanOver(const std::vector<double>& values, const std::vector<std::size_t>& voxels) {
  double sum = 0.0;
  for (std::size_t v : voxels) sum += values[v];
  return sum / double(voxels.size());
}

std::string groupSection(const std::filesystem::path& dataset, const std::vector<DatasetRun>& runs,
                         const std::string& expression, double threshold,
                         const analysis::Progress& progress) {
  const std::string label = analysis::bidsLabel(expression);
  const std::filesystem::path root = dataset::defaultGroupRoot(dataset);
  const std::filesystem::path tFile = dataset::groupMap(root, label, "", "t");
  if (!std::filesystem::is_regular_file(tFile)) return "";
  progress("summarising the group maps of " + expression);
  const formats::ScalarVolume t = formats::readScalarVolume(tFile);
  std::vector<analysis::RunTruth> all;
  std::map<std::string, std::vector<analysis::RunTruth>> bySubject;
  for (const DatasetRun& run : runs) {
    all.push_back({run.labels.parent_path(), run.prefix});
    bySubject[run.subject].push_back(all.back());
  }
  const formats::ScalarVolume truth = analysis::groupContrastTruth(dataset, runs, expression);
  if (t.geometry.dims != truth.geometry.dims) return "";
  const formats::FloatSeries bold = formats::readFloatSeries(runs.front().bold);
  const std::size_t voxels = bold.geometry.voxelCount();
  std::vector<double> mean(voxels, 0.0);
  for (std::int64_t v = 0; v < bold.volumes; ++v) {
    for (std::size_t i = 0; i < voxels; ++i) mean[i] += bold.values[std::size_t(v) * voxels + i];
  }
  for (double& value : mean) value /= double(bold.volumes);
  std::vector<char> outlined(voxels);
  for (std::size_t v = 0; v < voxels; ++v) outlined[v] = truth.values[v] != 0.0;
  const std::vector<float> statistic(t.values.begin(), t.values.end());
  double top = 2.0 * threshold;
  for (float value : statistic) {
    if (std::isfinite(value)) top = std::max(top, double(std::fabs(value)));
  }
  SliceLayers layers{t.geometry.dims, &mean,     robustWindow(mean), &outlined,
                     &statistic,      threshold, std::ceil(top)};
  const auto& dims = t.geometry.dims;
  const int scale = int(
      std::clamp<std::int64_t>(kGroupSlicePixels / std::max({dims[0], dims[1], dims[2]}), 1, 8));
  const formats::ScalarVolume labels = formats::readScalarVolume(runs.front().labels);
  const std::map<long, std::string> names = readRegionNames(runs.front().regionTable);

  std::string html = "<h3>Group: " + escapeXml(expression) + "</h3><p class=\"note\">" +
                     escapeXml(tFile.string()) + ": t where |t| &ge; " + shortNumber(threshold) +
                     " over the mean image of " + escapeXml(runs.front().prefix) +
                     ", the group truth outlined.</p>";
  std::string table =
      "<table><caption>Each subject's estimate (its runs' fixed effects) "
      "and truth, mean over the region</caption><tr><th>subject</th>";
  const std::vector<analysis::TruthRegion> regions = analysis::connectedRegions(truth.values, dims);
  std::vector<std::string> regionNames;
  for (const analysis::TruthRegion& region : regions) {
    const std::array<std::int64_t, 3> centre = centreVoxel(region.voxels, dims);
    const std::size_t index = std::size_t((centre[2] * dims[1] + centre[1]) * dims[0] + centre[0]);
    const auto named = names.find(std::lround(labels.values[index]));
    regionNames.push_back(named != names.end() ? named->second : region.name);
    html += "<h4>" + escapeXml(regionNames.back()) + "</h4><div class=\"slices\">";
    for (Plane plane : {Plane::Axial, Plane::Coronal, Plane::Sagittal}) {
      const RgbImage picture =
          renderSlice(layers, plane, centre[std::size_t(fixedAxis(plane))], scale);
      html += "<figure><img src=\"" + pngDataUri(picture) + "\" width=\"" +
              std::to_string(picture.width) + "\" height=\"" + std::to_string(picture.height) +
              "\" alt=\"" + planeName(plane) + " slice of the group t\"><figcaption>" +
              planeName(plane) + "</figcaption></figure>";
    }
    html += "</div>";
    table += "<th>" + escapeXml(regionNames.back()) + "</th>";
  }
  table += "</tr>";
  for (const auto& [subject, subjectRuns] : bySubject) {
    const std::filesystem::path effectFile = dataset::subjectMap(root, subject, label, "effect");
    if (!std::filesystem::is_regular_file(effectFile)) continue;
    const formats::ScalarVolume effect = formats::readScalarVolume(effectFile);
    const formats::ScalarVolume subjectTruth = analysis::meanContrastTruth(subjectRuns, expression);
    table += "<tr><td>" + escapeXml(subject) + "</td>";
    for (const analysis::TruthRegion& region : regions) {
      table += "<td>" + shortNumber(meanOver(effect.values, region.voxels), 3) + " (" +
               shortNumber(meanOver(subjectTruth.values, region.voxels), 3) + ")</td>";
    }
    table += "</tr>";
  }
  return html + colourBarSvg(threshold, std::ceil(top), "group t") + table + "</table>";
}

}  // namespace

std::string datasetSection(const std::filesystem::path& dataset,
                           const std::vector<DatasetRun>& runs,
                           const std::vector<std::string>& contrasts, double tThreshold,
                           const analysis::MaskChoice& mask, const analysis::Progress& progress) {
  std::vector<ScoredMap> scored;
  std::vector<std::string> expressions;
  for (const DatasetRun& run : runs) {
    for (const auto& [file, expression] : mapsToScore(run, contrasts)) {
      analysis::EvaluationRequest request;
      request.truth = run.labels.parent_path();
      request.stat = file;
      request.contrast = expression;
      request.sign = analysis::Sidedness::TwoSided;
      request.thresholds = {tThreshold};
      request.runPrefix = run.prefix;
      request.mask = mask;
      scored.push_back(
          {&run, expression, analysis::bidsLabel(expression), analysis::evaluate(request)});
      if (std::find(expressions.begin(), expressions.end(), expression) == expressions.end()) {
        expressions.push_back(expression);
      }
    }
  }
  progress("scored " + std::to_string(scored.size()) + " t maps of " + std::to_string(runs.size()) +
           " runs");
  std::string html = "<section id=\"dataset\"><h2>The dataset</h2>" + studySettings(dataset) +
                     "<h3>Runs</h3>" + runTable(runs, scored, tThreshold) +
                     nullSection(scored, tThreshold);
  for (const std::string& expression : expressions) {
    html += groupSection(dataset, runs, expression, tThreshold, progress);
  }
  return html + "</section>";
}

}  // namespace tolvane::report
