// One repetition in memory; see repetition.h.
#include "tolvane/experiment/repetition.h"

#include <algorithm>
#include <cmath>

#include "design/rest_conditions.h"
#include "formats/errors.h"
#include "formats/nifti/nifti_maps.h"
#include "tolvane/analysis/contrasts.h"
#include "tolvane/analysis/null_rates.h"
#include "tolvane/analysis/random_field.h"
#include "tolvane/group/group_statistics.h"
#include "tolvane/simulate/run_synthesis.h"
#include "tolvane/study/run_seeds.h"
#include "tolvane/study/study.h"
#include "tolvane/study/study_random.h"

namespace tolvane::experiment {
namespace {

// The contrast's weights over the study's conditions (rest included).
std::vector<double> conditionWeights(const study::Study& study, const std::string& contrast) {
  std::vector<std::string> names;
  for (const design::Condition& condition : study.protocol.conditions) names.push_back(condition.name);
  return analysis::parseContrast(contrast, names, names.size(), study.file).weights;
}

analysis::AnalysisMask studyMask(const study::Study& study, const formats::MapGeometry& geometry,
                                 bool wholeGrid) {
  if (wholeGrid || !study.voxelLevels) return analysis::wholeGridMask(geometry);
  analysis::AnalysisMask mask;
  mask.inside = study.voxelLevels->mask;
  mask.source = "the study's brain mask";
  for (std::uint8_t inside : mask.inside) mask.voxels += inside != 0;
  return mask;
}

// The run's series in the layout the GLM reads (volume-major), from the synthesis's
// (time fastest).
formats::FloatSeries runSeries(const study::Study& study, const float* values) {
  formats::FloatSeries series;
  series.geometry = formats::mapGeometryOf(study.grid, study.frame);
  series.volumes = study.grid.timePoints;
  series.trSeconds = study.grid.trMilliseconds / 1000.0;
  const std::size_t voxels = series.geometry.voxelCount();
  const auto volumes = static_cast<std::size_t>(series.volumes);
  series.values.resize(voxels * volumes);
  for (std::size_t v = 0; v < voxels; ++v) {
    for (std::size_t t = 0; t < volumes; ++t) series.values[t * voxels + v] = values[v * volumes + t];
  }
  return series;
}

struct FittedRun {
  std::vector<double> effect, variance;
  std::vector<float> t;
  int degreesOfFreedom = 0;
  analysis::Smoothness smoothness;
};

FittedRun fitRun(const ExperimentPlan& plan, const study::Study& study, int place,
                 const analysis::AnalysisMask& mask) {
  const simulate::Truth truth = simulate::runTruth(study, place);
  const std::unique_ptr<float[]> values = simulate::synthesiseRun(study, truth, place);
  const formats::FloatSeries series = runSeries(study, values.get());
  const design::Protocol protocol =
      design::withoutConditions(study.runDesign(place).protocol, study.rest);
  const analysis::GlmDesign design =
      analysis::buildGlmDesign(protocol, study.file, int(series.volumes), series.trSeconds,
                               analysis::kDefaultHighpassSeconds);
  const std::vector<analysis::Contrast> contrasts =
      analysis::glmContrasts(design, {plan.settings.contrast}, study.file);
  const std::string label = analysis::bidsLabel(plan.settings.contrast);
  const auto asked = std::find_if(contrasts.begin(), contrasts.end(),
                                  [&](const analysis::Contrast& c) { return c.label == label; });
  const analysis::GlmFit fit =
      analysis::fitGlm(series, design, {*asked}, plan.prewhiten, study.file, mask);
  const analysis::ContrastMaps& maps = fit.maps.front();
  return {std::vector<double>(maps.effect.begin(), maps.effect.end()),
          std::vector<double>(maps.variance.begin(), maps.variance.end()), maps.t,
          fit.model.degreesOfFreedom(), fit.smoothness};
}

// The voxels of each region with a true contrast, as the truth places them.
std::vector<std::vector<std::size_t>> regionVoxels(const ExperimentPlan& plan,
                                                   const simulate::Truth& truth) {
  std::vector<std::vector<std::size_t>> voxels(plan.regionIndices.size());
  for (std::size_t v = 0; v < truth.labels.size(); ++v) {
    if (truth.labels[v] == 0) continue;
    const auto& regions = truth.labelTable[std::size_t(truth.labels[v] - 1)].regions;
    for (std::size_t r = 0; r < plan.regionIndices.size(); ++r) {
      if (std::find(regions.begin(), regions.end(), plan.regionIndices[r]) != regions.end())
        voxels[r].push_back(v);
    }
  }
  return voxels;
}

MapRecord recordMap(const ExperimentPlan& plan, const std::vector<float>& t, int dof,
                    const analysis::Smoothness& smoothness, const analysis::AnalysisMask& mask,
                    const formats::MapGeometry& geometry,
                    const std::vector<std::vector<std::size_t>>& regions) {
  MapRecord record;
  record.degreesOfFreedom = dof;
  record.maskVoxels = mask.voxels;
  record.smoothness = smoothness;
  std::vector<double> sided(t.size(), std::nan(""));
  for (std::size_t v = 0; v < t.size(); ++v) {
    if (!mask.contains(v) || std::isnan(t[v])) continue;
    sided[v] = std::fabs(double(t[v]));
    record.maxStatistic = std::max(record.maxStatistic, sided[v]);
  }
  record.regions.resize(regions.size());
  for (std::size_t r = 0; r < regions.size(); ++r) {
    for (std::size_t v : regions[r]) {
      if (!std::isnan(sided[v])) record.regions[r].peak = std::max(record.regions[r].peak, sided[v]);
    }
  }
  for (double p : plan.settings.clusterP) {
    ClusterRecord clusters;
    clusters.threshold = analysis::tThresholdOfP(p, dof, true);
    const analysis::ClusterMap map =
        analysis::labelClusters(sided, geometry.dims, clusters.threshold, plan.settings.connectivity);
    for (std::int64_t size : map.sizes) {
      clusters.voxelsAbove += size;
      clusters.largestCluster = std::max(clusters.largestCluster, size);
    }
    clusters.randomFieldK =
        analysis::clusterSizeThreshold(analysis::clusterExtentTheory(smoothness, p, 2));
    record.clusters.push_back(clusters);
    for (std::size_t r = 0; r < regions.size(); ++r) {
      std::int64_t reaching = 0;
      for (std::size_t v : regions[r]) {
        if (map.labels[v] > 0) reaching = std::max(reaching, map.sizes[std::size_t(map.labels[v] - 1)]);
      }
      record.regions[r].clusterSizes.push_back(reaching);
    }
  }
  return record;
}

}  // namespace

std::uint32_t repetitionSeed(std::uint32_t studySeed, int repetition) {
  study::DrawSequence draws(studySeed, static_cast<std::uint32_t>(repetition), kExperimentStream);
  return 1u + static_cast<std::uint32_t>(draws.nextWord() % static_cast<std::uint32_t>(study::kMaxSeed));
}

ExperimentPlan planExperiment(const ExperimentSettings& settings) {
  ExperimentPlan plan;
  plan.settings = settings;
  study::Overrides overrides;
  overrides.subjects = settings.subjects;
  const study::Study drawn = study::loadStudy(settings.study, overrides);
  plan.studySeed = drawn.seed;
  plan.studySha256 = drawn.fileSha256;
  if (settings.analysis == Analysis::Group && drawn.subjects < 2) {
    throw formats::InputError(settings.study.string() + ": a group experiment needs at least 2 "
                              "subjects, the study has " + std::to_string(drawn.subjects));
  }
  const std::vector<double> weights = conditionWeights(drawn, settings.contrast);
  for (std::size_t r = 0; r < drawn.regions.size(); ++r) {
    const std::vector<float> amplitudes = drawn.meanAmplitudes(r);
    double contrast = 0.0;
    for (std::size_t c = 0; c < weights.size(); ++c) contrast += weights[c] * amplitudes[c];
    if (contrast != 0.0) {
      plan.regionNames.push_back(drawn.regions[r].name);
      plan.regionIndices.push_back(r);
    }
  }
  const bool autocorrelated =
      drawn.noise.autoregressive || !drawn.noise.arma.ar.empty() || !drawn.noise.arma.ma.empty();
  plan.prewhiten = settings.prewhiten ? *settings.prewhiten
                   : autocorrelated   ? analysis::Prewhitening::Ar1
                                      : analysis::Prewhitening::None;
  return plan;
}

std::vector<MapRecord> runRepetition(const ExperimentPlan& plan, int repetition) {
  study::Overrides overrides;
  const std::uint32_t seed = repetitionSeed(plan.studySeed, repetition);
  overrides.seed = seed;
  overrides.subjects = plan.settings.subjects;
  const study::Study drawn = study::loadStudy(plan.settings.study, overrides);
  const formats::MapGeometry geometry = formats::mapGeometryOf(drawn.grid, drawn.frame);
  const analysis::AnalysisMask mask = studyMask(drawn, geometry, plan.settings.wholeGrid);
  std::vector<MapRecord> records;
  const auto finish = [&](MapRecord record, std::string name) {
    record.repetition = repetition;
    record.seed = seed;
    record.map = std::move(name);
    records.push_back(std::move(record));
  };
  std::vector<std::vector<double>> subjectEffects;
  for (int subject = 1; subject <= drawn.subjects; ++subject) {
    std::vector<group::RunEstimate> estimates;
    for (int run = 1; run <= drawn.runs; ++run) {
      const int place = study::runPlace(subject, run, drawn.runs);
      FittedRun fitted = fitRun(plan, drawn, place, mask);
      if (plan.settings.analysis == Analysis::FirstLevel) {
        finish(recordMap(plan, fitted.t, fitted.degreesOfFreedom, fitted.smoothness, mask, geometry,
                         regionVoxels(plan, simulate::runTruth(drawn, place))),
               "sub-" + drawn.subjectLabel(subject) + "_run-" + std::to_string(run));
      }
      estimates.push_back({std::move(fitted.effect), std::move(fitted.variance), fitted.degreesOfFreedom});
    }
    if (plan.settings.analysis == Analysis::Group) {
      const group::StatisticMaps combined = group::fixedEffects(estimates);
      subjectEffects.emplace_back(combined.effect.begin(), combined.effect.end());
    }
  }
  if (plan.settings.analysis == Analysis::Group) {
    const group::StatisticMaps mean = group::secondLevel(subjectEffects, {}).front();
    std::vector<std::vector<double>> residuals = subjectEffects;
    for (std::vector<double>& map : residuals) {
      for (std::size_t v = 0; v < map.size(); ++v) map[v] -= double(mean.effect[v]);
    }
    const analysis::Smoothness smoothness = analysis::mapResidualSmoothness(residuals, geometry, mask);
    finish(recordMap(plan, mean.t, mean.degreesOfFreedom, smoothness, mask, geometry,
                     regionVoxels(plan, simulate::groupTruth(drawn))),
           "group");
  }
  return records;
}

}  // namespace tolvane::experiment
