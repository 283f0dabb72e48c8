// Physiological and thermal noise, the per-voxel levels and the magnitude pass against
// their definitions. Statistical tolerances are five standard errors, from the spread
// of independent voxels' values; the physiological oscillations without rate wander
// are pure sinusoids, checked by construction.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <vector>

#include "engine/noise_models.h"
#include "tests/engine/sample_estimates.h"

namespace sim = tolvane::engine;

namespace {

using namespace tolvane::engine::testing;
constexpr double kPi = 3.14159265358979323846;

// The power of a time course at frequency bin k of its discrete Fourier transform.
double power(const std::vector<float>& course, int k) {
  std::complex<double> sum = 0.0;
  const int n = static_cast<int>(course.size());
  for (int t = 0; t < n; ++t) sum += static_cast<double>(course[t]) * std::polar(1.0, -2.0 * kPi * k * t / n);
  return std::norm(sum);
}

// The frequency at which a rate of f Hz, sampled every tr seconds, appears.
double aliased(double f, double tr) {
  const double rate = 1.0 / tr;
  return std::abs(f - std::round(f / rate) * rate);
}

}  // namespace

// 320 volumes of 1.5 s put every aliased frequency on a bin of the transform: cardiac
// 1.1 Hz at 0.2333 Hz and its harmonic 2.2 Hz at 0.2 Hz, respiration 0.25 Hz (below
// the Nyquist frequency) and its harmonic 0.5 Hz at 0.1667 Hz.
TEST(PhysiologicalNoise, HasUnitVarianceAndItsPowerAtTheAliasedFrequencies) {
  constexpr int kT = 320;
  constexpr double kTr = 1.5;
  const sim::PhysiologicalNoise physio({1.1, 0.25, 0.0}, {9, 2}, 8, 6, 4, kT, kTr);
  const double binHz = 1.0 / (kT * kTr);
  const auto bin = [&](double f) { return static_cast<int>(std::lround(aliased(f, kTr) / binHz)); };
  std::vector<float> q(kT);
  for (const std::int64_t voxel : {0, 17, 191}) {
    physio.timeCourse(voxel, q.data());
    double mean = 0.0, variance = 0.0;
    for (const float v : q) mean += v;
    mean /= kT;
    for (const float v : q) variance += (v - mean) * (v - mean);
    variance /= kT;
    // Eight single-precision terms per value: a few units in the last place.
    EXPECT_NEAR(mean, 0.0, 1e-5);
    EXPECT_NEAR(variance, 1.0, 1e-5);
    // Parseval: sum over all bins of |Q_k|^2 = n sum q^2 = n^2 variance.
    const double total = static_cast<double>(kT) * kT * variance;
    const double cardiac = 2 * power(q, bin(1.1)), cardiacHarmonic = 2 * power(q, bin(2.2));
    const double respiratory = 2 * power(q, bin(0.25)), respiratoryHarmonic = 2 * power(q, bin(0.5));
    EXPECT_NEAR((cardiac + cardiacHarmonic + respiratory + respiratoryHarmonic) / total, 1.0, 1e-4);
    EXPECT_NEAR(cardiacHarmonic / cardiac, 0.25, 1e-4);
    EXPECT_NEAR(respiratoryHarmonic / respiratory, 0.25, 1e-4);
    EXPECT_NEAR(cardiac / respiratory, 1.0, 1e-4);
  }
}

// The phase turns by at most one cycle across the grid, so neighbours move together.
TEST(PhysiologicalNoise, PhasesVarySmoothlyInSpace) {
  constexpr int kX = 40, kT = 200;
  const sim::PhysiologicalNoise physio({}, {4, 0}, kX, 3, 3, kT, 2.0);
  std::vector<float> a(kT), b(kT);
  for (int x = 0; x + 1 < kX; ++x) {
    physio.timeCourse(x, a.data());
    physio.timeCourse(x + 1, b.data());
    double product = 0.0;
    for (int t = 0; t < kT; ++t) product += static_cast<double>(a[t]) * b[t];
    // Mean 0 and variance 1: the mean product is the correlation; a phase step of at
    // most 2 pi / 40 keeps it above cos(2 * 2 pi / 40) for the harmonic.
    EXPECT_GT(product / kT, std::cos(4 * kPi / kX) - 1e-3) << "x = " << x;
  }
}

// value = b + f e + p q + s w with f, p, s chosen: the physiological part's regression
// coefficient recovers p, and the voxels' variance is f^2 + p^2 + s^2.
TEST(VoxelLevels, ComposeTheFluctuationPhysiologicalAndThermalParts) {
  constexpr int kVoxels = 3000, kT = 150;
  std::vector<float> values(static_cast<std::size_t>(kVoxels) * kT);
  const sim::VtcGrid grid{values.data(), 30, 10, 10, kT, 0, 0, 0, 1};
  const float f = 1.2f, p = 0.9f, s = 0.5f;
  std::vector<float> baseline(kVoxels), fluctuation(kVoxels, f), physiological(kVoxels, p);
  for (int v = 0; v < kVoxels; ++v) baseline[v] = 100.0f + v % 7;
  const sim::VoxelLevels levels{baseline.data(), fluctuation.data(), physiological.data(), s};
  const sim::FieldKey key{21, 1};
  const sim::PhysiologicalNoise physio({}, key, 30, 10, 10, kT, 2.0);
  sim::TimeCourseModels models;
  models.voxelLevels = &levels;
  models.physio = &physio;
  sim::makeStructuredNoise(grid, key, sim::SpatialModel{}, models);

  std::vector<double> coefficient(kVoxels), variance(kVoxels), mean(kVoxels);
  std::vector<float> q(kT);
  for (int v = 0; v < kVoxels; ++v) {
    physio.timeCourse(v, q.data());
    double sum = 0.0, qy = 0.0, squares = 0.0;
    for (int t = 0; t < kT; ++t) {
      const double y = values[static_cast<std::size_t>(v) * kT + t] - baseline[v];
      sum += y;
      qy += q[t] * y;
      squares += y * y;
    }
    mean[v] = sum / kT;
    coefficient[v] = qy / kT;  // q has mean 0 and variance 1 over the run
    variance[v] = squares / kT;
  }
  const Estimate c = meanOfIndependent(coefficient), var = meanOfIndependent(variance), m = meanOfIndependent(mean);
  EXPECT_NEAR(c.mean, p, kStandardErrors * c.standardError);
  EXPECT_NEAR(var.mean, f * f + p * p + s * s, kStandardErrors * var.standardError);
  EXPECT_NEAR(m.mean, 0.0, kStandardErrors * m.standardError);
}

// Outside the brain only thermal noise is left: sd s, and in magnitude a Rayleigh
// distribution of mean s sqrt(pi / 2) and sd s sqrt((4 - pi) / 2).
TEST(ThermalNoise, HasItsSdAndARayleighMagnitudeInTheBackground) {
  constexpr int kVoxels = 2000, kT = 100;
  std::vector<float> values(static_cast<std::size_t>(kVoxels) * kT);
  const sim::VtcGrid grid{values.data(), 20, 10, 10, kT, 0, 0, 0, 1};
  const float s = 3.0f;
  std::vector<float> zeros(kVoxels, 0.0f);
  const sim::VoxelLevels levels{zeros.data(), zeros.data(), nullptr, s};
  sim::TimeCourseModels models;
  models.voxelLevels = &levels;
  const sim::FieldKey key{8, 5};
  sim::makeStructuredNoise(grid, key, sim::SpatialModel{}, models);
  std::vector<double> squares(kVoxels), magnitudes(kVoxels);
  for (int v = 0; v < kVoxels; ++v) {
    double sum = 0.0;
    for (int t = 0; t < kT; ++t) sum += std::pow(values[static_cast<std::size_t>(v) * kT + t], 2);
    squares[v] = sum / kT;
  }
  const Estimate variance = meanOfIndependent(squares);
  EXPECT_NEAR(variance.mean, s * s, kStandardErrors * variance.standardError);

  sim::applyMagnitude(grid, s, key);
  for (int v = 0; v < kVoxels; ++v) {
    double sum = 0.0;
    for (int t = 0; t < kT; ++t) {
      ASSERT_GE(values[static_cast<std::size_t>(v) * kT + t], 0.0f);
      sum += values[static_cast<std::size_t>(v) * kT + t];
    }
    magnitudes[v] = sum / kT;
  }
  const Estimate rayleigh = meanOfIndependent(magnitudes);
  EXPECT_NEAR(rayleigh.mean, s * std::sqrt(kPi / 2), kStandardErrors * rayleigh.standardError);
}
