// A run's data and truth; see run_synthesis.h.
#include "tolvane/simulate/run_synthesis.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "numerics/random_state.h"
#include "engine/counter_noise.h"
#include "engine/noise_models.h"
#include "simulation/synthesis.h"
#include "tolvane/study/run_seeds.h"

namespace tolvane::simulate {
namespace {

simulation::VtcGrid engineGrid(const formats::VtcGrid& grid, float* data) {
  return {data,        grid.dimX(), grid.dimY(), grid.dimZ(),    grid.timePoints,
          grid.xStart, grid.yStart, grid.zStart, grid.resolution};
}

engine::Predictors predictorsOf(const study::Study& study) {
  engine::Predictors predictors;
  for (std::size_t c = 0; c < study.design.size(); ++c) {
    predictors.push_back(study.design[c].volumeValues.data());
  }
  return predictors;
}

void ran1Replace(const study::Study& study, const simulation::VtcGrid& grid,
                 const simulation::DeviateStream& stream) {
  const engine::Predictors predictors = predictorsOf(study);
  for (const study::Region& region : study.regions) {
    const std::vector<float> effect =
        engine::effectTimeCourse(region.amplitudes.data(), predictors, grid.timePoints);
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
// contiguous pieces, so that every value is computed by the same code whatever the
// split.
engine::ParallelFor onThreads(int threads) {
  return [threads](std::int64_t count,
                   const std::function<void(std::int64_t, std::int64_t)>& body) {
    const std::int64_t parts = std::max<std::int64_t>(1, std::min<std::int64_t>(threads, count));
    std::vector<std::thread> workers;
    for (std::int64_t part = 1; part < parts; ++part) {
      workers.emplace_back([&, part] { body(count * part / parts, count * (part + 1) / parts); });
    }
    if (count > 0) body(0, count / parts);
    for (std::thread& worker : workers) worker.join();
  };
}

// The grid's voxel edge along each axis in mm: the resolution in anatomical voxels times
// the anatomical voxel's length along that axis.
std::array<double, 3> voxelSizesMm(const study::Study& study) {
  std::array<double, 3> sizes{};
  const formats::Affine& affine = study.frame.voxelToWorld;
  for (int axis = 0; axis < 3; ++axis) {
    const double a = affine.m[0][axis], b = affine.m[1][axis], c = affine.m[2][axis];
    sizes[axis] = study.grid.resolution * std::sqrt(a * a + b * b + c * c);
  }
  return sizes;
}

// The per-voxel levels as the engine reads them.
engine::VoxelLevels engineLevels(const study::VoxelLevelMaps& maps, bool physio) {
  engine::VoxelLevels levels;
  levels.baseline = maps.baseline.data();
  levels.fluctuationSd = maps.fluctuationSd.data();
  levels.physiologicalSd = physio ? maps.physioSd.data() : nullptr;
  levels.thermalSd = maps.thermalSd;
  return levels;
}

// The philox white field turned into structured noise in data units: the spatial
// model, then the temporal one, then the levels (one pair, or per voxel with the
// physiological and thermal noise), then the drift.
void structuredNoise(const study::Study& study, const simulation::VtcGrid& grid,
                     const engine::FieldKey& key, const engine::ParallelFor& parallel) {
  const study::NoiseModels& noise = study.noise;
  const std::array<double, 3> sizes = voxelSizesMm(study);
  std::unique_ptr<engine::MixedAcfFilter> mixed;
  engine::SpatialModel space(
      engine::SmoothingKernels{engine::gaussianKernel(noise.smoothnessMm, sizes[0]),
                               engine::gaussianKernel(noise.smoothnessMm, sizes[1]),
                               engine::gaussianKernel(noise.smoothnessMm, sizes[2])});
  if (noise.acf) {
    mixed = std::make_unique<engine::MixedAcfFilter>(*noise.acf, grid.dimX, grid.dimY, grid.dimZ,
                                                     sizes);
    space = engine::SpatialModel(*mixed);
  }
  const double trSeconds = study.grid.trMilliseconds / 1000.0;
  const engine::DriftBasis basis =
      engine::driftBasis(grid.timePoints, trSeconds, noise.driftCutoffSeconds);
  const engine::FieldKey driftKey{key.seed, key.run, engine::kDriftStream};
  engine::TimeCourseModels models;
  models.autoregressive = noise.autoregressive;
  models.rho = noise.rho;
  engine::ArmaCoefficients arma;
  if (!noise.arma.ar.empty() || !noise.arma.ma.empty()) {
    arma = engine::armaCoefficients(noise.arma);
    models.arma = &arma;
  }
  models.levels = study.levels;
  engine::VoxelLevels levels;
  std::unique_ptr<engine::PhysiologicalNoise> physio;
  if (study.voxelLevels) {
    levels = engineLevels(*study.voxelLevels, noise.physio.has_value());
    models.voxelLevels = &levels;
    if (noise.physio) {
      physio = std::make_unique<engine::PhysiologicalNoise>(
          noise.physio->rates, key, grid.dimX, grid.dimY, grid.dimZ, grid.timePoints, trSeconds);
      models.physio = physio.get();
    }
  }
  if (noise.driftSd > 0.0f) {
    models.drift = &basis;
    models.driftSd = noise.driftSd;
    models.coefficients = [&](std::int64_t voxel, int count, float* out) {
      engine::fieldDeviates(driftKey, voxel, 0, count, out);
    };
  }
  engine::makeStructuredNoise(grid, key, space, models, parallel);
}

}  // namespace

std::uint64_t spatialWorkBytes(const study::Study& study) {
  const formats::VtcGrid& grid = study.grid;
  if (study.noise.acf) {
    const engine::MixedAcfFilter filter(*study.noise.acf, grid.dimX(), grid.dimY(), grid.dimZ(),
                                        voxelSizesMm(study));
    return filter.workBytes(grid.timePoints);
  }
  if (study.noise.smoothnessMm > 0.0) {
    return engine::smoothingWorkBytes(grid.dimX(), grid.dimY(), grid.dimZ(), grid.timePoints);
  }
  return 0;
}

Truth studyTruth(const study::Study& study) {
  const auto voxels = static_cast<std::size_t>(study.voxelCount());
  const std::size_t conditions = study.protocol.conditions.size();
  Truth truth;
  truth.labels.assign(voxels, 0);
  truth.amplitudes.assign(conditions, std::vector<float>(voxels, 0.0f));
  const bool add = study.signal == study::SignalMode::Add;
  for (std::size_t r = 0; r < study.regions.size(); ++r) {
    const study::Region& region = study.regions[r];
    for (const std::int64_t v : region.voxels) {
      const auto voxel = static_cast<std::size_t>(v);
      truth.labels[voxel] = static_cast<std::int32_t>(r + 1);
      for (std::size_t c = 0; c < conditions; ++c) {
        float& amplitude = truth.amplitudes[c][voxel];
        const float own =
            study.baselineImage && region.percents[c]
                ? static_cast<float>(static_cast<double>(study.voxelLevels->baseline[voxel]) *
                                     *region.percents[c] / 100.0)
                : region.amplitudes[c];
        amplitude = add ? amplitude + own : own;
      }
    }
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

std::unique_ptr<float[]> synthesiseRun(const study::Study& study, const Truth& truth, int runPlace,
                                       int threads) {
  std::unique_ptr<float[]> data(new float[study.grid.valueCount()]);
  const simulation::VtcGrid grid = engineGrid(study.grid, data.get());
  const engine::Predictors predictors = predictorsOf(study);
  const bool add = study.signal == study::SignalMode::Add;
  if (study.generator == study::Generator::Philox) {
    const engine::FieldKey key{study.seed, static_cast<std::uint32_t>(runPlace)};
    if (study.noise.any() || study.voxelLevels) {
      const engine::ParallelFor parallel = onThreads(threads);
      structuredNoise(study, grid, key, parallel);
      engine::addEffects(grid, truth.effects, predictors);
      if (study.voxelLevels && study.voxelLevels->magnitude) {
        engine::applyMagnitude(grid, study.voxelLevels->thermalSd, key, parallel);
      }
      return data;
    }
    const std::int64_t voxels = grid.voxelCount();
    const std::int64_t parts = std::max<std::int64_t>(1, std::min<std::int64_t>(threads, voxels));
    std::vector<std::thread> workers;
    for (std::int64_t part = 1; part < parts; ++part) {
      workers.emplace_back([&, part] {
        engine::fillCounterNoise(grid, study.levels, key, voxels * part / parts,
                                     voxels * (part + 1) / parts);
      });
    }
    engine::fillCounterNoise(grid, study.levels, key, 0, voxels / parts);
    for (std::thread& worker : workers) worker.join();
    if (add) {
      engine::addEffects(grid, truth.effects, predictors);
    } else {
      engine::replaceWithEffects(grid, truth.effects, predictors, study.levels, key);
    }
    return data;
  }
  random::GeneratorState state{};
  int seed = -study::ran1RunSeed(study.seed, runPlace);
  const simulation::DeviateStream stream{state, &seed};
  simulation::fillNoise(grid, study.levels, stream, [](const char*) {});
  if (add) {
    engine::addEffects(grid, truth.effects, predictors);
  } else {
    ran1Replace(study, grid, stream);
  }
  return data;
}

}  // namespace tolvane::simulate
