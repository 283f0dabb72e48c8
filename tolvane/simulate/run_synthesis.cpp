// A run's data and truth; see run_synthesis.h.
#include "tolvane/simulate/run_synthesis.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <map>
#include <optional>
#include <utility>
#include <memory>
#include <mutex>
#include <tuple>
#include <type_traits>
#include <vector>

#include "formats/affine.h"
#include "formats/threads.h"
#include "numerics/random_state.h"
#include "engine/counter_noise.h"
#include "engine/noise_models.h"
#include "engine/rigid_resampling.h"
#include "simulation/synthesis.h"
#include "tolvane/simulate/acquisition_passes.h"
#include "tolvane/simulate/thread_share.h"
#include "tolvane/study/run_seeds.h"

namespace tolvane::simulate {
namespace {

simulation::VtcGrid engineGrid(const formats::VtcGeometry& grid, float* data) {
  return {data,        grid.dimX(), grid.dimY(), grid.dimZ(),    grid.timePoints,
          grid.xStart, grid.yStart, grid.zStart, grid.resolution};
}

engine::Predictors predictorsOf(const study::Study& study, int runPlace) {
  engine::Predictors predictors;
  for (const std::vector<float>& values : study.runDesign(runPlace).predictors) {
    predictors.push_back(values.data());
  }
  return predictors;
}

// The run design's predictors, or each region's own (Truth::responses).
engine::PredictorSets predictorSetsOf(const study::Study& study, const Truth& truth,
                                      int runPlace) {
  if (!truth.responses) return {predictorsOf(study, runPlace)};
  engine::PredictorSets sets;
  for (const std::vector<std::vector<float>>& region : truth.responses->predictors) {
    engine::Predictors predictors;
    for (const std::vector<float>& values : region) predictors.push_back(values.data());
    sets.push_back(std::move(predictors));
  }
  return sets;
}

void ran1Replace(const study::Study& study, const Truth& truth, int runPlace,
                 const simulation::VtcGrid& grid, const simulation::DeviateStream& stream) {
  const engine::PredictorSets sets = predictorSetsOf(study, truth, runPlace);
  for (std::size_t r = 0; r < study.regions.size(); ++r) {
    const study::Region& region = study.regions[r];
    const std::vector<float> effect = engine::effectTimeCourse(
        truth.regionAmplitudes[r].data(), sets[truth.responses ? r : 0], grid.timePoints);
    if (region.pluginSphere) {
      simulation::fillSphereSignal(grid, region.sphereCentreVmr[0], region.sphereCentreVmr[1],
                                   region.sphereCentreVmr[2], effect.data(), study.levels, stream);
    } else {
      simulation::fillVoxelListSignal(grid, region.vmrVoxels.data(),
                                      static_cast<std::int64_t>(region.vmrVoxels.size() / 3),
                                      region.convention, effect.data(), study.levels, stream);
    }
  }
}

// Runs the pieces of a range on `threads` threads, the calling one among them: equal
// contiguous pieces, one to a thread (thread_share.h), so that every value is computed
// by the same code whatever the split.
engine::ParallelFor onThreads(int threads) {
  return [threads](std::int64_t count,
                   const std::function<void(std::int64_t, std::int64_t)>& body) {
    formats::inEqualParts(count, shareThreads(threads, count).atOnce, body);
  };
}

// The grid's voxel edge along each axis in mm: the resolution in anatomical voxels times
// the anatomical voxel's length along that axis.
std::array<double, 3> voxelSizesMm(const study::Study& study) {
  std::array<double, 3> sizes = formats::voxelSizes(study.frame.voxelToWorld);
  for (double& size : sizes) size = study.grid.resolution * size;
  return sizes;
}

// The per-voxel levels as the engine reads them.
engine::VoxelLevels engineLevels(const study::VoxelLevelMaps& maps, bool physio) {
  engine::VoxelLevels levels;
  levels.baseline = maps.baseline.data();
  levels.fluctuationSd = maps.fluctuationSd.data();
  levels.physiologicalSd = physio ? maps.physioSd.data() : nullptr;
  levels.thermalSd = maps.thermalSd;
  levels.inside = maps.mask.data();
  return levels;
}

// The study's mixed-autocorrelation filter. Its spectrum, a double transform of the whole
// box, is the same for every run of a study, so the runs share one filter (several runs
// may fill from it at once), made for the first and kept for the parameters last asked.
std::shared_ptr<const engine::MixedAcfFilter> mixedFilterOf(const study::Study& study) {
  const engine::MixedAcf& acf = *study.noise.acf;
  const formats::VtcGeometry& grid = study.grid;
  const auto parameters = std::tuple{acf.a,       acf.bMm,     acf.cMm,     grid.dimX(),
                                     grid.dimY(), grid.dimZ(), voxelSizesMm(study)};
  static std::mutex lock;
  static std::shared_ptr<const engine::MixedAcfFilter> filter;
  static std::remove_const_t<decltype(parameters)> madeFor;
  const std::lock_guard<std::mutex> guard(lock);
  if (filter == nullptr || madeFor != parameters) {
    filter.reset();  // its work arrays go before the next filter's are made
    filter = std::make_shared<const engine::MixedAcfFilter>(acf, grid.dimX(), grid.dimY(),
                                                            grid.dimZ(), voxelSizesMm(study));
    madeFor = parameters;
  }
  return filter;
}

// The philox white field turned into structured noise in data units: the spatial
// model, then the temporal one, then the levels (one pair, or per voxel with the
// physiological and thermal noise), then the drift. Without `scannerFrame`, the head's
// frame alone: no thermal noise and no drift (acquisition_passes.h).
void structuredNoise(const study::Study& study, const simulation::VtcGrid& grid,
                     const engine::FieldKey& key, const engine::ParallelFor& parallel,
                     bool scannerFrame = true) {
  const study::NoiseModels& noise = study.noise;
  const std::array<double, 3> sizes = voxelSizesMm(study);
  std::shared_ptr<const engine::MixedAcfFilter> mixed;
  const std::array<double, 3> fwhm = noise.smoothnessAxesMm.value_or(
      std::array<double, 3>{noise.smoothnessMm, noise.smoothnessMm, noise.smoothnessMm});
  engine::SpatialModel space(engine::SmoothingKernels{engine::gaussianKernel(fwhm[0], sizes[0]),
                                                      engine::gaussianKernel(fwhm[1], sizes[1]),
                                                      engine::gaussianKernel(fwhm[2], sizes[2])});
  if (noise.acf) {
    mixed = mixedFilterOf(study);
    space = engine::SpatialModel(*mixed);
  }
  const double trSeconds = study.grid.trMilliseconds / 1000.0;
  const engine::DriftBasis basis =
      engine::driftBasis(grid.timePoints, trSeconds, noise.driftCutoffSeconds);
  engine::TimeCourseModels models;
  models.autoregressive = noise.autoregressive;
  models.rho = noise.rho;
  engine::ArmaCoefficients arma;
  if (!noise.arma.ar.empty() || !noise.arma.ma.empty()) {
    arma = engine::armaCoefficients(noise.arma);
    models.arma = &arma;
  }
  std::optional<engine::SpectralFilter> spectrum;
  if (!noise.spectrum.empty()) {
    spectrum.emplace(noise.spectrum, grid.timePoints);
    models.spectrum = &*spectrum;
  }
  models.levels = study.levels;
  engine::VoxelLevels levels;
  std::unique_ptr<engine::PhysiologicalNoise> physio;
  if (study.voxelLevels) {
    levels = engineLevels(*study.voxelLevels, noise.physio.has_value());
    if (!scannerFrame) levels.thermalSd = 0.0f;
    models.voxelLevels = &levels;
    if (noise.physio) {
      physio = std::make_unique<engine::PhysiologicalNoise>(
          noise.physio->rates, key, grid.dimX, grid.dimY, grid.dimZ, grid.timePoints, trSeconds);
      models.physio = physio.get();
    }
  }
  if (noise.driftSd > 0.0f && scannerFrame) {
    models.drift = &basis;
    models.driftSd = noise.driftSd;
  }
  engine::makeStructuredNoise(grid, key, space, models, parallel);
}

}  // namespace

std::uint64_t spatialWorkBytes(const study::Study& study) {
  const formats::VtcGeometry& grid = study.grid;
  // A moving head's volumes are resampled after the noise is made, in space of their own.
  const std::uint64_t motion =
      study.motion ? engine::resamplingWorkBytes({grid.dimX(), grid.dimY(), grid.dimZ()},
                                                 study.motion->interpolation)
                   : 0;
  if (study.noise.acf) return std::max(motion, mixedFilterOf(study)->workBytes(grid.timePoints));
  if (study.noise.smoothnessMm > 0.0) {
    return std::max(motion, engine::smoothingWorkBytes(grid.dimX(), grid.dimY(), grid.dimZ(),
                                                       grid.timePoints));
  }
  return motion;
}

namespace {

// An amplitude given in percent, on an image baseline, scaled from the mean baseline in
// the mask to the voxel's own: amplitude * b_v / mean, in double, rounded to float.
float onOwnBaseline(const study::Study& study, std::size_t region, std::size_t condition,
                    std::size_t voxel, float amplitude) {
  if (!study.baselineImage || !study.regions[region].percentOfBaseline[condition]) {
    return amplitude;
  }
  const study::VoxelLevelMaps& levels = *study.voxelLevels;
  return static_cast<float>(static_cast<double>(amplitude) * levels.baseline[voxel] /
                            levels.meanBaselineInMask);
}

// Region r's pattern deviation for condition c at its voxel `place` (grid voxel `voxel`
// after the subject's offset), 0 for a condition outside its pattern: in double, rounded
// to float, scaled to the voxel's own baseline as percentages are.
float patternAmplitude(const study::Study& study, std::size_t r, std::size_t c, std::size_t voxel,
                       const std::vector<double>& deviations, std::size_t place) {
  const study::Pattern& pattern = *study.regions[r].pattern;
  const std::size_t m = pattern.conditions.size();
  for (std::size_t k = 0; k < m; ++k) {
    if (pattern.conditions[k] != c) continue;
    double value = deviations[place * m + k];
    if (pattern.percentOfBaseline && study.baselineImage) {
      value *= study.voxelLevels->baseline[voxel] / study.voxelLevels->meanBaselineInMask;
    }
    return static_cast<float>(value);
  }
  return 0.0f;
}

// The truth of regions with these amplitudes (per region, per condition) and offsets
// (per region, in grid voxels), with subject `subject`'s patterns (0: none, the group's).
Truth buildTruth(const study::Study& study, std::vector<std::vector<float>> regionAmplitudes,
                 std::vector<std::array<int, 3>> regionOffsets, int subject) {
  const auto voxels = static_cast<std::size_t>(study.voxelCount());
  const std::size_t conditions = study.protocol.conditions.size();
  Truth truth;
  truth.labels.assign(voxels, 0);
  truth.amplitudes.assign(conditions, std::vector<float>(voxels, 0.0f));
  const bool add = study.signal == study::SignalMode::Add;
  // (voxel, region, the voxel's place in the region) for every voxel of every region,
  // by voxel and then region.
  std::vector<std::tuple<std::int64_t, std::size_t, std::size_t>> members;
  std::vector<std::vector<double>> patterns(study.regions.size());
  const std::int64_t dims[3] = {study.grid.dimX(), study.grid.dimY(), study.grid.dimZ()};
  truth.regionAmplitudes = std::move(regionAmplitudes);
  truth.regionOffsets = std::move(regionOffsets);
  for (std::size_t r = 0; r < study.regions.size(); ++r) {
    truth.labelTable.push_back({study.regions[r].name, {r}, 0});
    const std::array<int, 3>& offset = truth.regionOffsets[r];
    if (subject > 0 && study.regions[r].pattern) {
      patterns[r] = study::patternDeviations(study, r, subject);
    }
    for (std::size_t i = 0; i < study.regions[r].voxels.size(); ++i) {
      const std::int64_t v = study.regions[r].voxels[i];
      std::int64_t at[3] = {v % dims[0], (v / dims[0]) % dims[1], v / (dims[0] * dims[1])};
      bool inside = true;
      for (int axis = 0; axis < 3; ++axis) {
        at[axis] += offset[static_cast<std::size_t>(axis)];
        inside = inside && at[axis] >= 0 && at[axis] < dims[axis];
      }
      if (inside) members.emplace_back((at[2] * dims[1] + at[1]) * dims[0] + at[0], r, i);
    }
  }
  std::sort(members.begin(), members.end());
  std::map<std::vector<std::size_t>, std::int32_t> combinations;
  for (std::size_t first = 0; first < members.size();) {
    std::size_t end = first;
    std::vector<std::size_t> regions;
    while (end < members.size() && std::get<0>(members[end]) == std::get<0>(members[first])) {
      regions.push_back(std::get<1>(members[end++]));
    }
    const auto voxel = static_cast<std::size_t>(std::get<0>(members[first]));
    for (std::size_t c = 0; c < conditions; ++c) {
      float& amplitude = truth.amplitudes[c][voxel];
      for (std::size_t k = 0; k < regions.size(); ++k) {
        const std::size_t r = regions[k];
        float value = onOwnBaseline(study, r, c, voxel, truth.regionAmplitudes[r][c]);
        if (!patterns[r].empty()) {
          value = value + patternAmplitude(study, r, c, voxel, patterns[r],
                                           std::get<2>(members[first + k]));
        }
        amplitude = add ? amplitude + value : value;
      }
    }
    std::int32_t label = static_cast<std::int32_t>(regions.back() + 1);
    if (add && regions.size() > 1) {
      const auto [found, added] =
          combinations.emplace(regions, static_cast<std::int32_t>(truth.labelTable.size() + 1));
      if (added) {
        std::string name;
        for (const std::size_t r : regions) name += (name.empty() ? "" : "+") + study.regions[r].name;
        truth.labelTable.push_back({name, regions, 0});
      }
      label = found->second;
    }
    truth.labels[voxel] = label;
    ++truth.labelTable[static_cast<std::size_t>(label) - 1].voxelCount;
    first = end;
  }
  for (std::size_t v = 0; v < voxels; ++v) {
    if (truth.labels[v] == 0) continue;
    truth.effects.voxels.push_back(static_cast<std::int64_t>(v));
    for (std::size_t c = 0; c < conditions; ++c) {
      truth.effects.amplitudes.push_back(truth.amplitudes[c][v]);
    }
  }
  return truth;
}

// The rows of regions with responses of their own: with "add" a row for each region
// covering a voxel (its amplitudes, on the voxel's own baseline), with "replace" the
// label's region's; and each voxel's time to peak.
void addResponseRows(const study::Study& study, Truth& truth) {
  const std::size_t conditions = study.protocol.conditions.size();
  const std::vector<double>& latencies = truth.responses->peakLatencySeconds;
  truth.effects = {};
  truth.peakLatency.assign(truth.labels.size(), 0.0f);
  for (std::size_t v = 0; v < truth.labels.size(); ++v) {
    if (truth.labels[v] == 0) continue;
    const TruthLabel& label = truth.labelTable[static_cast<std::size_t>(truth.labels[v]) - 1];
    const double latency = latencies[label.regions.front()];
    bool shared = true;
    for (const std::size_t r : label.regions) {
      shared = shared && latencies[r] == latency;
      truth.effects.voxels.push_back(static_cast<std::int64_t>(v));
      truth.effects.predictorSets.push_back(static_cast<std::uint32_t>(r));
      for (std::size_t c = 0; c < conditions; ++c) {
        truth.effects.amplitudes.push_back(
            onOwnBaseline(study, r, c, v, truth.regionAmplitudes[r][c]));
      }
    }
    truth.peakLatency[v] = shared ? static_cast<float>(latency) : std::nanf("");
  }
}

}  // namespace

Truth runTruth(const study::Study& study, int runPlace) {
  const int subject = runPlace / study.runs + 1;
  std::optional<RegionResponses> responses;
  if (hasRegionResponses(study)) responses = regionResponses(study, runPlace);
  std::vector<std::vector<float>> amplitudes;
  std::vector<std::array<int, 3>> offsets;
  for (std::size_t r = 0; r < study.regions.size(); ++r) {
    amplitudes.push_back(study.amplitudes(r, runPlace, responses ? &responses->peaks[r] : nullptr));
    offsets.push_back(study.regions[r].jitterMm > 0.0 ? study.regionOffset(r, subject)
                                                      : std::array<int, 3>{});
  }
  if (responses) varyTrials(study, runPlace, amplitudes, *responses);
  Truth truth = buildTruth(study, std::move(amplitudes), std::move(offsets), subject);
  if (responses) {
    truth.responses = std::move(responses);
    addResponseRows(study, truth);
  }
  if (!study.networks.empty()) truth.networks = networkRunTruth(study, runPlace);
  return truth;
}

Truth groupTruth(const study::Study& study) {
  std::vector<std::vector<float>> amplitudes;
  for (std::size_t r = 0; r < study.regions.size(); ++r) {
    amplitudes.push_back(study.meanAmplitudes(r));
  }
  return buildTruth(study, std::move(amplitudes),
                    std::vector<std::array<int, 3>>(study.regions.size()), 0);
}

std::unique_ptr<float[]> synthesiseRun(const study::Study& study, const Truth& truth, int runPlace,
                                       int threads, std::unique_ptr<float[]> storage) {
  std::unique_ptr<float[]> data =
      storage ? std::move(storage) : std::unique_ptr<float[]>(new float[study.grid.valueCount()]);
  const simulation::VtcGrid grid = engineGrid(study.grid, data.get());
  const engine::PredictorSets predictors = predictorSetsOf(study, truth, runPlace);
  const bool add = study.signal == study::SignalMode::Add;
  if (study.generator == study::Generator::Philox) {
    const engine::FieldKey key{study.seed, static_cast<std::uint32_t>(runPlace)};
    if (study.motion) {
      const engine::ParallelFor parallel = onThreads(threads);
      if (study.noise.any() || study.voxelLevels) {
        structuredNoise(study, grid, key, parallel, false);
      } else {
        parallel(grid.voxelCount(), [&](std::int64_t begin, std::int64_t end) {
          engine::fillCounterNoise(grid, study.levels, key, begin, end);
        });
      }
      moveHeadInScanner(study, truth, runPlace, grid, predictors, key, parallel);
      return data;
    }
    if (study.noise.any() || study.voxelLevels) {
      const engine::ParallelFor parallel = onThreads(threads);
      structuredNoise(study, grid, key, parallel);
      addRunEffects(study, truth, runPlace, grid, predictors);
      if (study.voxelLevels && study.voxelLevels->magnitude) {
        engine::applyMagnitude(grid, study.voxelLevels->thermalSd, key, parallel);
      }
      return data;
    }
    onThreads(threads)(grid.voxelCount(), [&](std::int64_t begin, std::int64_t end) {
      engine::fillCounterNoise(grid, study.levels, key, begin, end);
    });
    if (add) {
      addRunEffects(study, truth, runPlace, grid, predictors);
    } else {
      engine::replaceWithEffects(grid, truth.effects, predictors, study.levels, key);
    }
    return data;
  }
  random::GeneratorState state{};
  int seed = -study::ran1RunSeed(study.seed, runPlace);
  const simulation::DeviateStream stream{state, &seed};
  simulation::fillNoise(grid, study.levels, stream);
  if (add) {
    engine::addEffects(grid, truth.effects, predictors);
  } else {
    ran1Replace(study, truth, runPlace, grid, stream);
  }
  return data;
}

}  // namespace tolvane::simulate
