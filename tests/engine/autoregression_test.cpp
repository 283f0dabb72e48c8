// ARMA noise against its definition: the sample autocorrelation of AR(2) and ARMA(1,1)
// runs at lags 1-3 against the theoretical one, the stationary start, and the refusal of
// a non-stationary model. Tolerances are five standard errors of each estimate, taken
// from the spread of the independent voxels' own estimates.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "engine/noise_models.h"
#include "tests/engine/sample_estimates.h"
#include "tests/engine/reference_steps.h"

namespace sim = tolvane::engine;

namespace {

using namespace tolvane::engine::testing;

// Many independent voxels' ARMA courses, from the run's white field.
struct ArmaRun {
  static constexpr int kVoxels = 4000, kTimePoints = 200;
  std::vector<float> values = std::vector<float>(static_cast<std::size_t>(kVoxels) * kTimePoints);

  explicit ArmaRun(const sim::ArmaModel& model) {
    const sim::VtcGrid grid{values.data(), kVoxels, 1, 1, kTimePoints, 0, 0, 0, 1};
    const sim::ArmaCoefficients arma = sim::armaCoefficients(model);
    sim::TimeCourseModels models;
    models.arma = &arma;
    models.levels = sim::kStandardNormal;
    sim::makeStructuredNoise(grid, {5, 1}, sim::SpatialModel{}, models);
  }
  float at(int voxel, int t) const { return values[static_cast<std::size_t>(voxel) * kTimePoints + t]; }
};

void expectTheoreticalAutocorrelation(const sim::ArmaModel& model) {
  const ArmaRun run(model);
  const std::vector<double> theory = sim::armaAutocorrelation(model, 3);
  for (int lag = 1; lag <= 3; ++lag) {
    // Mean 0 and variance 1 are known, so the lag product's mean estimates rho(lag).
    std::vector<double> perVoxel(ArmaRun::kVoxels);
    for (int v = 0; v < ArmaRun::kVoxels; ++v) {
      double sum = 0.0;
      for (int t = 0; t + lag < ArmaRun::kTimePoints; ++t)
        sum += static_cast<double>(run.at(v, t)) * run.at(v, t + lag);
      perVoxel[v] = sum / (ArmaRun::kTimePoints - lag);
    }
    const Estimate estimate = meanOfIndependent(perVoxel);
    EXPECT_NEAR(estimate.mean, theory[lag], kStandardErrors * estimate.standardError)
        << "lag " << lag;
  }
  // Stationary from the first volume: unit variance at t = 0 and t = 1, and their
  // correlation already rho(1), across voxels (standard errors from the same spread).
  for (const int t : {0, 1}) {
    std::vector<double> squares(ArmaRun::kVoxels);
    for (int v = 0; v < ArmaRun::kVoxels; ++v) squares[v] = run.at(v, t) * run.at(v, t);
    const Estimate variance = meanOfIndependent(squares);
    EXPECT_NEAR(variance.mean, 1.0, kStandardErrors * variance.standardError) << "t = " << t;
  }
  std::vector<double> products(ArmaRun::kVoxels);
  for (int v = 0; v < ArmaRun::kVoxels; ++v) products[v] = run.at(v, 0) * run.at(v, 1);
  const Estimate first = meanOfIndependent(products);
  EXPECT_NEAR(first.mean, theory[1], kStandardErrors * first.standardError);
}

}  // namespace

TEST(Arma, AnAr2RunHasTheTheoreticalAutocorrelationFromItsFirstVolume) {
  const sim::ArmaModel model{{0.5, 0.3}, {}};
  ASSERT_EQ(sim::armaStationarityProblem(model), "");
  // Yule-Walker by hand: rho1 = phi1 / (1 - phi2), rho2 = phi1 rho1 + phi2.
  const std::vector<double> theory = sim::armaAutocorrelation(model, 2);
  EXPECT_NEAR(theory[1], 0.5 / 0.7, 1e-12);
  EXPECT_NEAR(theory[2], 0.5 * 0.5 / 0.7 + 0.3, 1e-12);
  expectTheoreticalAutocorrelation(model);
}

TEST(Arma, AnArma11RunHasTheTheoreticalAutocorrelationFromItsFirstVolume) {
  const sim::ArmaModel model{{0.6}, {0.4}};
  // rho1 = (1 + phi theta)(phi + theta) / (1 + 2 phi theta + theta^2), rho2 = phi rho1.
  const std::vector<double> theory = sim::armaAutocorrelation(model, 2);
  const double rho1 = (1 + 0.24) * (0.6 + 0.4) / (1 + 2 * 0.24 + 0.16);
  EXPECT_NEAR(theory[1], rho1, 1e-12);
  EXPECT_NEAR(theory[2], 0.6 * rho1, 1e-12);
  expectTheoreticalAutocorrelation(model);
  expectTheoreticalAutocorrelation({{0.2, -0.1, 0.1, 0.3}, {-0.5}});
}

// The recursion voxel by voxel in the definition's order of operations, against every
// vector path: two whole groups of voxels and a partial one, AR(4) with an MA term and
// AR(2) without, put on levels.
TEST(Arma, EveryVectorPathGivesTheDefinitionsBits) {
  constexpr int kVoxels = 37, kTimePoints = 29;
  const sim::Levels levels{100.0f, 4.5f};
  std::vector<float> white(kVoxels * kTimePoints), startDeviates(kVoxels);
  sim::fillCounterNoise({white.data(), kVoxels, 1, 1, kTimePoints, 0, 0, 0, 1},
                        sim::kStandardNormal, {5, 1}, 0, kVoxels);
  for (int j = 0; j < kVoxels; ++j) startDeviates[j] = white[j * kTimePoints] * 0.5f - 0.25f;
  for (const sim::ArmaModel& model :
       {sim::ArmaModel{{0.4f, 0.2f, 0.1f, 0.05f}, {0.3f}}, sim::ArmaModel{{0.5f, -0.2f}, {}}}) {
    const sim::ArmaCoefficients arma = sim::armaCoefficients(model);
    const int p = arma.p, q = arma.q;
    std::vector<float> expected(white.size());
    for (int j = 0; j < kVoxels; ++j) {
      const float* z = &white[j * kTimePoints];
      std::vector<float> e(kTimePoints);
      float start[sim::kMaxArOrder + sim::kMaxMaOrder] = {};
      for (int i = 0; i < p; ++i) start[i] = z[i];
      if (q > 0) start[p] = startDeviates[j];
      float previousU = 0.0f;
      for (int i = 0; i < p + q; ++i) {
        float sum = arma.start[i][0] * start[0];
        for (int k = 1; k <= i; ++k) sum = sum + arma.start[i][k] * start[k];
        (i >= p ? previousU : e[i]) = sum;
      }
      for (int t = p; t < kTimePoints; ++t) {
        const float u = arma.sigma * z[t];
        float rest = u;
        if (p > 1) {
          rest = arma.phi[1] * e[t - 2];
          for (int i = 2; i < p; ++i) rest = rest + arma.phi[i] * e[t - 1 - i];
          rest = rest + u;
        }
        if (q > 0) {
          rest = rest + arma.theta * previousU;
          previousU = u;
        }
        e[t] = p > 0 ? arma.phi[0] * e[t - 1] + rest : rest;
      }
      for (int t = 0; t < kTimePoints; ++t)
        expected[j * kTimePoints + t] = levels.noiseAmplitude * e[t] + levels.baseline;
    }
    for (const tolvane::cpu::VectorPath path : tolvane::cpu::availableVectorPaths()) {
      std::vector<float> actual = white;
      sim::applyArma(arma, actual.data(), kVoxels, kTimePoints, startDeviates.data(), levels, path);
      EXPECT_EQ(std::memcmp(expected.data(), actual.data(), expected.size() * sizeof(float)), 0)
          << "AR(" << p << "), MA(" << q << "), path " << static_cast<int>(path);
    }
  }
}

// AR(1) written as an ARMA model takes the AR(1) recursion's operations, so a study
// that switches from `model = "ar1"` to `ar = [rho]` keeps its bits.
TEST(Arma, WithOneArCoefficientAndNoMaTermGivesTheAr1Bits) {
  constexpr int kVoxels = 37, kTimePoints = 29;
  std::vector<float> expected(kVoxels * kTimePoints), actual(expected.size());
  const sim::VtcGrid expectedGrid{expected.data(), kVoxels, 1, 1, kTimePoints, 0, 0, 0, 1};
  const sim::VtcGrid actualGrid{actual.data(), kVoxels, 1, 1, kTimePoints, 0, 0, 0, 1};
  sim::fillCounterNoise(expectedGrid, sim::kStandardNormal, {3, 4}, 0, kVoxels);
  sim::applyAutoregression(expectedGrid, 0.4f);
  const sim::ArmaCoefficients arma = sim::armaCoefficients({{0.4f}, {}});
  sim::TimeCourseModels models;
  models.arma = &arma;
  models.levels = sim::kStandardNormal;
  sim::makeStructuredNoise(actualGrid, {3, 4}, sim::SpatialModel{}, models);
  EXPECT_EQ(std::memcmp(expected.data(), actual.data(), expected.size() * sizeof(float)), 0);
}

TEST(Arma, ANonStationaryModelIsRefusedNamingTheRoot) {
  EXPECT_NE(sim::armaStationarityProblem({{1.25}, {}}).find("z = 0.8 (|z| = 0.8)"),
            std::string::npos)
      << sim::armaStationarityProblem({{1.25}, {}});
  // 1 - 0.5 z - 0.5 z^2 = (1 - z)(1 + z / 2): a unit root at z = 1.
  EXPECT_NE(sim::armaStationarityProblem({{0.5, 0.5}, {}}).find("z = 1 "), std::string::npos)
      << sim::armaStationarityProblem({{0.5, 0.5}, {}});
  // Complex roots of modulus 1 / sqrt(0.95): 1 - 0 z + 0.95 z^2... stationary; 1.05: not.
  EXPECT_EQ(sim::armaStationarityProblem({{0.0, -0.95}, {}}), "");
  EXPECT_NE(sim::armaStationarityProblem({{0.0, -1.05}, {}}).find("i (|z| = 0.9759)"),
            std::string::npos)
      << sim::armaStationarityProblem({{0.0, -1.05}, {}});
  EXPECT_NE(sim::armaStationarityProblem({{0.1, 0.1, 0.1, 0.1, 0.1}, {}}), "");
  EXPECT_NE(sim::armaStationarityProblem({{0.1}, {0.1, 0.1}}), "");
}
