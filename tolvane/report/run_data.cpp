// Gathering a run for the report; see run_data.h.
#include "tolvane/report/run_data.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>

#include "formats/errors.h"
#include "formats/protocols/protocol_files.h"
#include "tolvane/analysis/glm.h"
#include "tolvane/analysis/truth_regions.h"
#include "tolvane/dataset/study_noise.h"
#include "tolvane/report/slice_images.h"
#include "tolvane/report/svg_plots.h"

namespace tolvane::report {

using dataset::DatasetRun;

namespace {

std::string sidecarContrast(const std::filesystem::path& map, const std::string& fallback) {
  std::filesystem::path sidecar = map;
  sidecar.replace_filename(map.filename().string().substr(0, map.filename().string().size() - 7) +
                           ".json");
  std::ifstream in(sidecar);
  const nlohmann::json json = nlohmann::json::parse(in, nullptr, false);
  if (json.is_object() && json.contains("Contrast") && json["Contrast"].is_string()) {
    return json["Contrast"].get<std::string>();
  }
  return fallback;
}

// The t maps that tolvane glm wrote for this run, each with the evaluations beside it.
// When some have evaluations, only those are shown: they are the ones the user scored.
std::vector<StatisticMap> savedMaps(const DatasetRun& run, const formats::MapGeometry& grid) {
  std::vector<StatisticMap> maps;
  std::error_code error;
  std::vector<std::filesystem::path> entries;
  for (std::filesystem::directory_iterator it(run.glmFolder, error), end; !error && it != end;
       it.increment(error)) {
    entries.push_back(it->path());
  }
  std::sort(entries.begin(), entries.end());
  for (const std::filesystem::path& entry : entries) {
    const std::string name = entry.filename().string();
    const std::string label = dataset::statMapContrast(name, run.prefix, "t");
    if (label.empty()) continue;
    StatisticMap map;
    map.label = label;
    map.expression = sidecarContrast(entry, map.label);
    map.file = entry;
    const formats::ScalarVolume volume = formats::readScalarVolume(entry);
    if (volume.geometry.dims != grid.dims) {
      throw formats::InputError(entry.string() + ": expected the grid of " + run.bold.string() +
                                " (" + formats::describeGeometry(grid) + "), found " +
                                formats::describeGeometry(volume.geometry));
    }
    map.t.assign(volume.values.begin(), volume.values.end());
    for (const std::filesystem::path& other : entries) {
      if (dataset::isEvaluationOf(other.filename().string(), run.prefix, map.label)) {
        map.evaluations.push_back(other);
      }
    }
    maps.push_back(std::move(map));
  }
  const bool anyEvaluated = std::any_of(
      maps.begin(), maps.end(), [](const StatisticMap& m) { return !m.evaluations.empty(); });
  if (anyEvaluated) {
    std::erase_if(maps, [](const StatisticMap& m) { return m.evaluations.empty(); });
  }
  return maps;
}

std::vector<std::string> defaultContrasts(const std::vector<std::string>& conditions,
                                          const std::vector<bool>& hasEffect) {
  std::vector<std::string> active, quiet;
  for (std::size_t c = 0; c < conditions.size(); ++c) {
    (hasEffect[c] ? active : quiet).push_back(conditions[c]);
  }
  std::vector<std::string> expressions;
  for (const std::string& condition : active) {
    std::string expression = condition;
    const std::string weight =
        quiet.size() > 1 ? shortNumber(1.0 / double(quiet.size()), 6) + " " : "";
    for (const std::string& other : quiet) expression += " - " + weight + other;
    expressions.push_back(expression);
  }
  return expressions;
}

// Each region of the truth: its voxels, centre, time courses and the effect put in.
std::vector<RegionData> gatherRegions(const formats::ScalarVolume& labels,
                                      const std::map<long, std::string>& names,
                                      const formats::FloatSeries& bold,
                                      const std::vector<std::vector<double>>& amplitudes,
                                      const dataset::NumberTable& predictors) {
  const std::size_t voxels = bold.geometry.voxelCount();
  std::vector<RegionData> regions;
  for (const analysis::TruthRegion& region : analysis::labelRegions(labels.values)) {
    RegionData shown;
    const long label = std::lround(labels.values[region.voxels.front()]);
    const auto named = names.find(label);
    shown.name = named != names.end() ? named->second : region.name;
    shown.voxels = region.voxels;
    shown.centre = centreVoxel(region.voxels, bold.geometry.dims);
    shown.meanCourse.assign(std::size_t(bold.volumes), 0.0);
    const std::size_t stride = std::max<std::size_t>(1, region.voxels.size() / kShownVoxelCourses);
    for (std::size_t i = 0; i < region.voxels.size(); ++i) {
      std::vector<double> course(std::size_t(bold.volumes));
      for (std::size_t t = 0; t < course.size(); ++t) {
        course[t] = bold.values[t * voxels + region.voxels[i]];
        shown.meanCourse[t] += course[t] / double(region.voxels.size());
      }
      if (i % stride == 0 && shown.voxelCourses.size() < kShownVoxelCourses) {
        shown.voxelCourses.push_back(std::move(course));
      }
    }
    // The signal that was put in: each condition's mean amplitude over the region times
    // its predictor, matched to the predictor table by the condition's column.
    shown.expectedEffect.assign(std::size_t(bold.volumes), 0.0);
    for (std::size_t c = 0; c < amplitudes.size() && c < predictors.columns.size(); ++c) {
      double amplitude = 0.0;
      for (std::size_t v : region.voxels)
        amplitude += amplitudes[c][v] / double(region.voxels.size());
      const std::vector<double>& predictor = predictors.columns[c];
      for (std::size_t t = 0; t < shown.expectedEffect.size() && t < predictor.size(); ++t) {
        shown.expectedEffect[t] += amplitude * predictor[t];
      }
    }
    regions.push_back(std::move(shown));
  }
  return regions;
}

// The t maps of the run's own fit, when the analysis left none: `requested`, or one
// per condition with an effect (defaultContrasts), as the study's noise calls for.
void fitForReport(RunData& data, const formats::FloatSeries& bold,
                  const analysis::GlmDesign& design, const std::vector<std::string>& requested,
                  const std::vector<std::string>& conditions, const std::vector<bool>& hasEffect,
                  const analysis::MaskChoice& mask) {
  const DatasetRun& run = data.files;
  const std::vector<std::string> conditionNames(
      design.columnNames.begin(),
      design.columnNames.begin() + static_cast<long>(design.conditionCount));
  std::vector<bool> effectOfColumn(design.conditionCount, false);
  for (std::size_t c = 0; c < design.conditionCount; ++c) {
    const auto found = std::find(conditions.begin(), conditions.end(), conditionNames[c]);
    effectOfColumn[c] =
        found != conditions.end() && hasEffect[std::size_t(found - conditions.begin())];
  }
  const std::vector<std::string> expressions =
      requested.empty() ? defaultContrasts(conditionNames, effectOfColumn) : requested;
  std::vector<analysis::Contrast> contrasts;
  for (const std::string& expression : expressions) {
    contrasts.push_back(
        analysis::parseContrast(expression, conditionNames, design.columnCount(), run.events));
  }
  data.prewhitened = dataset::studyNoiseIsAutocorrelated(run);
  const analysis::GlmFit fit = analysis::fitGlm(
      bold, design, contrasts,
      data.prewhitened ? analysis::Prewhitening::Ar1 : analysis::Prewhitening::None, run.events,
      analysis::resolveMask(mask, run.brainMask, bold.geometry));
  for (const analysis::ContrastMaps& maps : fit.maps) {
    data.tMaps.push_back({maps.contrast.label, maps.contrast.expression, {}, maps.t, {}});
  }
}

}  // namespace

RunData gatherRun(const DatasetRun& run, const std::vector<std::string>& requested,
                  const analysis::MaskChoice& mask, const analysis::Progress& progress) {
  RunData data;
  data.files = run;
  progress("reading " + run.bold.string());
  const formats::FloatSeries bold = formats::readFloatSeries(run.bold);
  data.geometry = bold.geometry;
  data.volumes = static_cast<int>(bold.volumes);
  data.trSeconds = bold.trSeconds;
  const std::size_t voxels = bold.geometry.voxelCount();
  data.mean.assign(voxels, 0.0);
  for (std::size_t t = 0; t < std::size_t(bold.volumes); ++t) {
    for (std::size_t v = 0; v < voxels; ++v) data.mean[v] += bold.values[t * voxels + v];
  }
  for (double& value : data.mean) value /= double(bold.volumes);

  const formats::ScalarVolume labels = formats::readScalarVolume(run.labels);
  if (labels.geometry.dims != bold.geometry.dims) {
    throw formats::InputError(run.labels.string() + ": expected the grid of " + run.bold.string() +
                              " (" + formats::describeGeometry(bold.geometry) + "), found " +
                              formats::describeGeometry(labels.geometry));
  }
  data.truth.resize(voxels);
  for (std::size_t v = 0; v < voxels; ++v) data.truth[v] = labels.values[v] != 0.0;
  const std::map<long, std::string> names = dataset::readRegionNames(run.regionTable);
  const dataset::NumberTable predictors = dataset::readNumberTable(run.predictors);
  std::vector<std::vector<double>> amplitudes;
  std::vector<bool> hasEffect;
  std::vector<std::string> conditions;
  for (const dataset::EffectMapFile& map : run.effectMaps) {
    amplitudes.push_back(formats::readScalarVolume(map.file).values);
    hasEffect.push_back(std::any_of(amplitudes.back().begin(), amplitudes.back().end(),
                                    [](double a) { return a != 0.0; }));
    conditions.push_back(map.condition);
  }

  data.regions = gatherRegions(labels, names, bold, amplitudes, predictors);

  data.tMaps = savedMaps(run, bold.geometry);
  const std::filesystem::path savedDesign = run.glmFolder / dataset::designTableName(run.prefix);
  if (!data.tMaps.empty() && std::filesystem::is_regular_file(savedDesign)) {
    const dataset::NumberTable design = dataset::readNumberTable(savedDesign);
    data.designColumns = design.names;
    data.designValues = design.columns;
    return data;
  }
  const design::Protocol protocol = formats::readProtocolFile(run.events);
  const analysis::GlmDesign design = analysis::buildGlmDesign(
      protocol, run.events, data.volumes, data.trSeconds, analysis::kDefaultHighpassSeconds);
  data.designColumns = design.columnNames;
  data.designValues.assign(design.columnCount(), std::vector<double>(std::size_t(data.volumes)));
  for (int t = 0; t < data.volumes; ++t) {
    for (std::size_t c = 0; c < design.columnCount(); ++c) {
      data.designValues[c][std::size_t(t)] = design.at(t, c);
    }
  }
  if (!data.tMaps.empty()) return data;
  progress("fitting the GLM of " + run.bold.filename().string());
  fitForReport(data, bold, design, requested, conditions, hasEffect, mask);
  data.fitted = true;
  return data;
}

}  // namespace tolvane::report
