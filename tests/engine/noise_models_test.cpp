// Each noise model against its definition, on white fields made here.
// Tolerances are five standard errors of the estimate, from its sampling
// distribution.
#include "engine/noise_models.h"
#include "tests/engine/reference_steps.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

using tolvane::simulation::VtcGrid;
namespace sim = tolvane::engine;

namespace {

constexpr double kStandardErrors = 5.0;

// A grid of the given size holding a standard normal white field.
struct WhiteField {
  std::vector<float> values;
  VtcGrid grid;

  WhiteField(int dimX, int dimY, int dimZ, int timePoints, unsigned seed)
      : values(static_cast<std::size_t>(dimX) * dimY * dimZ * timePoints), grid{nullptr,    dimX,
                                                                                dimY,       dimZ,
                                                                                timePoints, 0,
                                                                                0,          0,
                                                                                1} {
    std::mt19937 engine(seed);
    std::normal_distribution<float> normal;
    for (float& value : values) value = normal(engine);
    grid.data = values.data();
  }
  float at(int x, int y, int z, int t) const {
    return values[static_cast<std::size_t>(grid.timeCourseOffset(x, y, z) + t)];
  }
};

// Mean of squares over many values of mean 0 and variance 1 (or sigma2), with
// the standard error of that mean for independent normal values: sqrt(2 / n)
// sigma2.
double meanSquare(const std::vector<float>& samples) {
  double sum = 0.0;
  for (const float s : samples) sum += static_cast<double>(s) * s;
  return sum / static_cast<double>(samples.size());
}

// Runs the range in uneven pieces, as several threads might.
void inUnevenPieces(std::int64_t count,
                    const std::function<void(std::int64_t, std::int64_t)>& body) {
  for (std::int64_t begin = 0, piece = 1; begin < count; begin += piece, piece = piece * 3 + 1)
    body(begin, std::min(count, begin + piece));
}

}  // namespace

TEST(Autoregression, HasTheLagCorrelationsOfItsDefinitionAndUnitVarianceFromTheStart) {
  const float rho = 0.6f;
  // A long run: lag correlations pooled over 400 voxels of 2000 volumes.
  WhiteField field(20, 20, 1, 2000, 11);
  sim::applyAutoregression(field.grid, rho);
  double lag0 = 0.0, lag1 = 0.0, lag2 = 0.0;
  const int nT = field.grid.timePoints;
  for (std::int64_t v = 0; v < field.grid.voxelCount(); ++v) {
    const float* e = field.values.data() + v * nT;
    for (int t = 0; t < nT; ++t) lag0 += static_cast<double>(e[t]) * e[t];
    for (int t = 1; t < nT; ++t) lag1 += static_cast<double>(e[t]) * e[t - 1];
    for (int t = 2; t < nT; ++t) lag2 += static_cast<double>(e[t]) * e[t - 2];
  }
  const double n = static_cast<double>(field.values.size());
  const double r = rho, r2 = r * r, r4 = r2 * r2;
  // Bartlett's variances of the sample autocorrelations of an AR(1) process,
  // and the variance of its sample variance.
  const double se1 = std::sqrt((1.0 - r2) / n);
  const double se2 = std::sqrt(((1.0 + r2) * (1.0 - r4) / (1.0 - r2) - 4.0 * r4) / n);
  const double seVariance = std::sqrt(2.0 * (1.0 + r2) / (1.0 - r2) / n);
  EXPECT_NEAR(lag1 / lag0, r, kStandardErrors * se1);
  EXPECT_NEAR(lag2 / lag0, r2, kStandardErrors * se2);
  EXPECT_NEAR(lag0 / n, 1.0, kStandardErrors * seVariance);

  // Stationary from the first volume: the variance of volumes 0, 1 and 2 across
  // 10,000 independent voxels is 1 (a recursion started without scaling z_0
  // would give 1 at t = 0 but not at t = 1 if the innovation were unscaled, and
  // so on).
  WhiteField start(100, 100, 1, 3, 12);
  sim::applyAutoregression(start.grid, rho);
  for (int t = 0; t < 3; ++t) {
    std::vector<float> volume;
    for (int v = 0; v < 10000; ++v) volume.push_back(start.values[v * 3 + t]);
    EXPECT_NEAR(meanSquare(volume), 1.0, kStandardErrors * std::sqrt(2.0 / 10000)) << "t " << t;
  }
}

TEST(Smoothing, KeepsUnitVarianceAtTheCentreAndTheCornersAndGivesTheRequestedFwhm) {
  // FWHM 8 mm on 2 mm voxels: sigma 1.70 voxels, a kernel of radius 7.
  const sim::SmoothingKernel kernel = sim::gaussianKernel(8.0, 2.0);
  ASSERT_EQ(kernel.radius(), 7);
  WhiteField field(15, 15, 15, 4000, 21);
  sim::smoothVolumes(field.grid, {kernel, kernel, kernel});
  // Voxels 14 apart share no taps, so their values are independent; the centre
  // voxel and the eight corners each give 4000 independent values over time.
  std::vector<float> centre, corners;
  for (int t = 0; t < 4000; ++t) {
    centre.push_back(field.at(7, 7, 7, t));
    for (int corner = 0; corner < 8; ++corner)
      corners.push_back(field.at(corner & 1 ? 14 : 0, corner & 2 ? 14 : 0, corner & 4 ? 14 : 0, t));
  }
  EXPECT_NEAR(meanSquare(centre), 1.0, kStandardErrors * std::sqrt(2.0 / centre.size()));
  EXPECT_NEAR(meanSquare(corners), 1.0, kStandardErrors * std::sqrt(2.0 / corners.size()));

  // The FWHM from the variance of first differences: for a Gaussian kernel of
  // width sigma the lag-1 correlation is exp(-1 / (4 sigma^2)), and 1 - rho1 =
  // var(diff) / 2. Only in-plane smoothing, on a wide plane, differences taken
  // away from the faces.
  const sim::SmoothingKernel none = sim::gaussianKernel(0.0, 2.0);
  WhiteField plane(96, 96, 1, 100, 22);
  sim::smoothVolumes(plane.grid, {kernel, kernel, none});
  double differences = 0.0, squares = 0.0;
  std::int64_t count = 0;
  for (int y = 7; y < 89; ++y)
    for (int x = 7; x < 88; ++x)
      for (int t = 0; t < 100; ++t) {
        const double a = plane.at(x, y, 0, t), b = plane.at(x + 1, y, 0, t);
        differences += (b - a) * (b - a);
        squares += a * a;
        ++count;
      }
  const double rho1 = 1.0 - (differences / count) / (2.0 * squares / count);
  const double fwhm =
      std::sqrt(8.0 * std::log(2.0)) * std::sqrt(-1.0 / (4.0 * std::log(rho1))) * 2.0;
  // 660,000 differences, but smoothing correlates neighbours: about 4 pi
  // sigma^2 = 36 voxels share each value, so some 18,000 are independent. Their
  // mean square has a relative error of sqrt(2 / 18000) = 1.05 %, which carries
  // into 1 - rho1 and, through the logarithm (ln rho1 = -0.086 here), into the
  // FWHM at about half that: 0.55 %.
  EXPECT_NEAR(fwhm, 8.0, 8.0 * kStandardErrors * 0.0055);
}

TEST(Smoothing, GivesTheSameBitsHoweverTheLinesAreSplitBetweenThreads) {
  const sim::SmoothingKernel kernel = sim::gaussianKernel(6.0, 3.0);
  WhiteField serial(13, 11, 9, 7, 31), split(13, 11, 9, 7, 31);
  sim::smoothVolumes(serial.grid, {kernel, kernel, kernel});
  sim::smoothVolumes(split.grid, {kernel, kernel, kernel}, inUnevenPieces);
  sim::applyAutoregression(serial.grid, -0.3f);
  sim::applyAutoregression(split.grid, -0.3f, inUnevenPieces);
  EXPECT_EQ(std::memcmp(serial.values.data(), split.values.data(), serial.values.size() * 4), 0);
}

TEST(Drift, HasTheRequestedSpreadAndNoPowerAtPeriodsBelowTheCutoff) {
  // 250 volumes of 2 s, cutoff 128 s: periods 2 N TR / k = 1000 / k s, longer
  // than 128 s for k <= 7.
  const sim::DriftBasis basis = sim::driftBasis(250, 2.0, 128.0);
  ASSERT_EQ(basis.functions, 7);
  EXPECT_EQ(sim::driftBasis(250, 2.0, 1000.0).functions,
            0);  // no period above 1000 s

  std::vector<float> values(10 * 250, 100.0f);
  const VtcGrid grid{values.data(), 10, 1, 1, 250, 0, 0, 0, 1};
  sim::addDrift(grid, basis, 3.0f, {41, 0, sim::kDriftStream});
  const double pi = std::acos(-1.0);
  for (int v = 0; v < 10; ++v) {
    const float* course = values.data() + v * 250;
    double mean = 0.0, spread = 0.0;
    for (int t = 0; t < 250; ++t) mean += course[t] - 100.0;
    mean /= 250;
    for (int t = 0; t < 250; ++t) spread += (course[t] - 100.0 - mean) * (course[t] - 100.0 - mean);
    spread = std::sqrt(spread / 250);
    // Scaled exactly, up to the float rounding of 250 values near 100 (2^-17
    // each).
    EXPECT_NEAR(spread, 3.0, 1e-3) << "voxel " << v;
    EXPECT_NEAR(mean, 0.0, 1e-3) << "voxel " << v;
    // The cosine transform of the drift: no power at k >= 8 (up to the same
    // rounding), all of it below.
    double low = 0.0, high = 0.0;
    for (int k = 1; k < 250; ++k) {
      double coefficient = 0.0;
      for (int t = 0; t < 250; ++t)
        coefficient += (course[t] - 100.0) * std::cos(pi * k * (2.0 * t + 1.0) / 500.0);
      (k <= 7 ? low : high) += coefficient * coefficient;
    }
    EXPECT_LT(high, 1e-6 * low) << "voxel " << v;
  }
}

// Every vector path the processor has (the sixteen-float vectors on AVX-512, the plain
// loops on the narrower ones) against the definition, voxel by voxel: groups of 32
// voxels and a last partial one, on a white field, for 7 and 13 drift functions.
TEST(Drift, EveryVectorPathGivesTheDefinitionsValues) {
  constexpr int kX = 11, kY = 7, kVoxels = kX * kY;  // two whole groups and 13 voxels
  const sim::FieldKey key{23, 1}, driftKey{23, 1, sim::kDriftStream};
  for (const int timePoints : {37, 70}) {
    const sim::DriftBasis basis = sim::driftBasis(timePoints, 2.0, 20.0);
    std::vector<float> expected(static_cast<std::size_t>(kVoxels) * timePoints);
    const VtcGrid expectedGrid{expected.data(), kX, kY, 1, timePoints, 0, 0, 0, 1};
    sim::fillCounterNoise(expectedGrid, sim::kStandardNormal, key, 0, kVoxels);
    const std::vector<float> white = expected;
    sim::addDriftVoxelByVoxel(expectedGrid, basis, 2.0f, driftKey);
    for (const tolvane::cpu::VectorPath path : tolvane::cpu::availableVectorPaths()) {
      std::vector<float> actual = white;
      const VtcGrid actualGrid{actual.data(), kX, kY, 1, timePoints, 0, 0, 0, 1};
      sim::addDrift(actualGrid, basis, 2.0f, driftKey, 0, 1, sim::runSerially, path);
      EXPECT_EQ(std::memcmp(expected.data(), actual.data(), expected.size() * sizeof(float)), 0)
          << timePoints << " time points, " << tolvane::cpu::nameOf(path) << " path";
    }
  }
}

// The fused pipeline (field computed in blocks, slices and columns shaped in turn, the
// recursion on vector lanes where the processor has them) against the definition's
// steps run one after another on the whole grid. The grid's sides, its 37 time points
// and its 5 x 7 x 11 voxels fit none of the pipeline's block sizes, so every partial
// block and leftover voxel is taken.
TEST(StructuredNoise, HasTheValuesOfTheSeparateStepsForEveryCombinationOfModels) {
  constexpr int kX = 11, kY = 7, kZ = 5, kT = 37;
  const sim::FieldKey key{17, 2};
  const sim::Levels levels{100.0f, 5.0f};
  const sim::DriftBasis basis = sim::driftBasis(kT, 2.0, 20.0);
  const sim::FieldKey driftKey{17, 2, sim::kDriftStream};
  const sim::SmoothingKernel none = sim::gaussianKernel(0.0, 3.0);
  const sim::SmoothingKernel wide = sim::gaussianKernel(6.0, 3.0);
  const std::array<sim::SmoothingKernel, 3> kernelSets[] = {{none, none, none}, {wide, wide, wide},
                                                            {wide, wide, none}, {none, wide, wide},
                                                            {wide, none, none}, {none, none, wide}};
  for (const auto& kernels : kernelSets)
    for (const bool autoregressive : {false, true})
      for (const bool drift : {false, true}) {
        std::vector<float> expected(static_cast<std::size_t>(kX) * kY * kZ * kT);
        std::vector<float> actual(expected.size());
        const VtcGrid expectedGrid{expected.data(), kX, kY, kZ, kT, 0, 0, 0, 1};
        const VtcGrid actualGrid{actual.data(), kX, kY, kZ, kT, 0, 0, 0, 1};

        sim::fillCounterNoise(expectedGrid, sim::kStandardNormal, key, 0, kX * kY * kZ);
        sim::smoothVolumes(expectedGrid, kernels);
        if (autoregressive) sim::applyAutoregression(expectedGrid, 0.4f);
        sim::scaleToLevels(expectedGrid, levels);
        if (drift) sim::addDriftVoxelByVoxel(expectedGrid, basis, 2.0f, driftKey);

        sim::TimeCourseModels models;
        models.autoregressive = autoregressive;
        models.rho = 0.4f;
        models.levels = levels;
        if (drift) {
          models.drift = &basis;
          models.driftSd = 2.0f;
        }
        sim::makeStructuredNoise(actualGrid, key, kernels, models, inUnevenPieces);
        EXPECT_EQ(std::memcmp(expected.data(), actual.data(), expected.size() * sizeof(float)), 0)
            << "kernel radii " << kernels[0].radius() << " " << kernels[1].radius() << " "
            << kernels[2].radius() << ", AR(1) " << autoregressive << ", drift " << drift;
      }
}

namespace {

// Per-voxel levels that vary from voxel to voxel, with a fluctuation or physiological
// amplitude of 0 at some voxels.
struct LevelArrays {
  std::vector<float> baseline, fluctuation, physiological;
  explicit LevelArrays(int voxels) : baseline(voxels), fluctuation(voxels), physiological(voxels) {
    for (int v = 0; v < voxels; ++v) {
      baseline[v] = 50.0f + v % 13;
      fluctuation[v] = v % 5 == 0 ? 0.0f : 1.5f;
      physiological[v] = v % 3 == 0 ? 0.0f : 0.7f;
    }
  }
  sim::VoxelLevels levels() const {
    return {baseline.data(), fluctuation.data(), physiological.data(), 0.4f};
  }
};

}  // namespace

// The per-voxel steps (levels, physiological and thermal noise), the drift and the
// magnitude pass, fused and on vector lanes, against their definitions voxel by voxel:
// on a white field (voxels shaped a few at a time) and a smoothed one (shaped a column
// at a time), for runs whose drift has 7 and 13 functions, with levels and amplitudes of
// 0 at some voxels.
TEST(StructuredNoise, PerVoxelStepsDriftAndMagnitudeHaveTheValuesOfTheirDefinitions) {
  constexpr int kX = 11, kY = 7, kZ = 5, kVoxels = kX * kY * kZ;
  const sim::FieldKey key{17, 2};
  const LevelArrays arrays(kVoxels);
  const sim::VoxelLevels levels = arrays.levels();
  const sim::SmoothingKernel none = sim::gaussianKernel(0.0, 3.0);
  const sim::SmoothingKernel wide = sim::gaussianKernel(6.0, 3.0);
  for (const int timePoints : {37, 70})
    for (const sim::SmoothingKernel& kernel : {none, wide}) {
      const sim::DriftBasis basis = sim::driftBasis(timePoints, 2.0, 20.0);
      const sim::PhysiologicalNoise physio({}, key, kX, kY, kZ, timePoints, 2.0);
      const sim::SmoothingKernels kernels{kernel, kernel, kernel};
      std::vector<float> expected(static_cast<std::size_t>(kVoxels) * timePoints);
      std::vector<float> actual(expected.size());
      const VtcGrid expectedGrid{expected.data(), kX, kY, kZ, timePoints, 0, 0, 0, 1};
      const VtcGrid actualGrid{actual.data(), kX, kY, kZ, timePoints, 0, 0, 0, 1};

      sim::fillCounterNoise(expectedGrid, sim::kStandardNormal, key, 0, kVoxels);
      sim::smoothVolumes(expectedGrid, kernels);
      sim::putOnVoxelLevels(expectedGrid, levels, &physio, key);
      sim::addDriftVoxelByVoxel(expectedGrid, basis, 2.0f, {17, 2, sim::kDriftStream});
      sim::takeMagnitude(expectedGrid, levels.thermalSd, key);

      sim::TimeCourseModels models;
      models.voxelLevels = &levels;
      models.physio = &physio;
      models.drift = &basis;
      models.driftSd = 2.0f;
      sim::makeStructuredNoise(actualGrid, key, kernels, models, inUnevenPieces);
      sim::applyMagnitude(actualGrid, levels.thermalSd, key, inUnevenPieces);
      EXPECT_EQ(std::memcmp(expected.data(), actual.data(), expected.size() * sizeof(float)), 0)
          << timePoints << " time points, kernel radius " << kernel.radius();
    }
}

// Every model at once (mixed autocorrelation, ARMA(2, 1), per-voxel levels, physiological
// and thermal noise, drift), and a Gaussian-smoothed run with the same time-course
// models: the values do not depend on how the work is split between threads.
TEST(StructuredNoise, EveryModelAtOnceGivesTheSameBitsForAnySplitOfTheWork) {
  constexpr int kX = 11, kY = 7, kZ = 5, kT = 37, kVoxels = kX * kY * kZ;
  const sim::FieldKey key{17, 2};
  const sim::DriftBasis basis = sim::driftBasis(kT, 2.0, 20.0);
  const sim::ArmaCoefficients arma = sim::armaCoefficients({{0.5, 0.2}, {0.3}});
  const sim::PhysiologicalNoise physio({}, key, kX, kY, kZ, kT, 2.0);
  const LevelArrays arrays(kVoxels);
  const sim::VoxelLevels levels = arrays.levels();
  sim::TimeCourseModels models;
  models.arma = &arma;
  models.voxelLevels = &levels;
  models.physio = &physio;
  models.drift = &basis;
  models.driftSd = 2.0f;
  const sim::MixedAcfFilter mixed({0.5, 4.0, 8.0}, kX, kY, kZ, {3.0, 3.0, 3.0});
  const sim::SmoothingKernel wide = sim::gaussianKernel(6.0, 3.0);
  for (const sim::SpatialModel& space :
       {sim::SpatialModel{mixed}, sim::SpatialModel{sim::SmoothingKernels{wide, wide, wide}}}) {
    std::vector<float> serial(static_cast<std::size_t>(kVoxels) * kT), split(serial.size());
    sim::makeStructuredNoise({serial.data(), kX, kY, kZ, kT, 0, 0, 0, 1}, key, space, models);
    sim::makeStructuredNoise({split.data(), kX, kY, kZ, kT, 0, 0, 0, 1}, key, space, models,
                             inUnevenPieces);
    EXPECT_EQ(std::memcmp(serial.data(), split.data(), serial.size() * sizeof(float)), 0)
        << (space.mixed != nullptr ? "mixed" : "Gaussian");
  }
}
