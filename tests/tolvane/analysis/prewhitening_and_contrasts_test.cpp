// AR(1) prewhitening restores the null distribution of t under autocorrelated noise;
// contrast expressions become the intended weights and labels.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/support/refusal.h"
#include "tests/tolvane/analysis/simulated_study.h"
#include "tolvane/analysis/glm.h"

namespace {

using namespace tolvane::analysis;

constexpr double kRho = 0.5;

// Standard deviation over voxels of the Task - Rest t map of pure AR(1) noise.
double nullSpreadOfT(const SimulatedStudy& study, Prewhitening prewhiten, double* ar1) {
  GlmRequest request;
  request.bold = study.bold;
  request.outputFolder = study.folder.file(prewhiten == Prewhitening::Ar1 ? "ar1" : "ols");
  request.contrasts = {"Task - Rest"};
  request.prewhiten = prewhiten;
  const GlmSummary summary = runGlm(request, [](const std::string&) {});
  *ar1 = summary.ar1;
  const auto t = tolvane::formats::readScalarVolume(
      request.outputFolder / "sub-01_task-sim_contrast-TaskMinusRest_stat-t_statmap.nii.gz");
  double sum = 0.0, squares = 0.0;
  for (double value : t.values) sum += value, squares += value * value;
  const double n = double(t.values.size());
  return std::sqrt(squares / n - (sum / n) * (sum / n));
}

TEST(Prewhitening, BringsTheSpreadOfNullTBackToOneUnderAr1Noise) {
  SimulatedStudy study;
  simulateStudy(study, {16, 16, 16}, 250, 0.0f, 5.0f, 11u, 1.0f);
  // Replace the white noise by AR(1) noise of the same marginal sd.
  const std::size_t voxels = 16 * 16 * 16, volumes = 250;
  std::vector<float> data(voxels * volumes);
  std::mt19937 generator(12u);
  std::normal_distribution<double> innovation(0.0, 5.0 * std::sqrt(1.0 - kRho * kRho));
  for (std::size_t v = 0; v < voxels; ++v) {
    double noise = std::normal_distribution<double>(0.0, 5.0)(generator);
    for (std::size_t t = 0; t < volumes; ++t) {
      data[v * volumes + t] = float(100.0 + noise);
      noise = kRho * noise + innovation(generator);
    }
  }
  tolvane::formats::VtcGeometry grid;
  grid.xEnd = grid.yEnd = grid.zEnd = 16;
  grid.timePoints = 250;
  grid.trMilliseconds = kStudyTrMilliseconds;
  tolvane::formats::writeVtcNifti(study.bold, grid, {}, data.data(), 1);

  double ols = 0.0, estimated = 0.0;
  // Positively autocorrelated noise inflates the slow block contrast's t well beyond 1.
  EXPECT_GT(nullSpreadOfT(study, Prewhitening::None, &ols), 1.3);
  EXPECT_EQ(ols, 0.0);
  const double spread = nullSpreadOfT(study, Prewhitening::Ar1, &estimated);
  // Uncorrected, the residuals' autocorrelation reads about 0.43 here. One voxel's
  // estimate has a standard deviation near sqrt((1 - rho^2) / N) = 0.055, their mean
  // over 4096 voxels 0.001; 0.02 leaves room for the ratio-of-expectations correction.
  EXPECT_NEAR(estimated, kRho, 0.02);
  // The spread of 4096 null t values has a sampling error of about 1/sqrt(2 * 4096).
  EXPECT_NEAR(spread, 1.0, 0.06);
}

// The residual lag-1 autocorrelation that AR(1) noise of coefficient rho gives through
// a design, tr(L R V R) / tr(R V), with every N x N matrix formed in full.
double denseExpectedLag1(const LeastSquaresModel& model, double rho) {
  const int n = model.volumes, p = model.columns;
  std::vector<double> r(std::size_t(n * n)), v(std::size_t(n * n)), rv(std::size_t(n * n), 0.0),
      rvr(std::size_t(n * n), 0.0);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      double hat = 0.0;
      for (int k = 0; k < p; ++k) hat += model.design[i * p + k] * model.pseudoInverse[k * n + j];
      r[i * n + j] = (i == j) - hat;
      v[i * n + j] = std::pow(rho, std::abs(i - j));
    }
  }
  for (int i = 0; i < n; ++i)
    for (int k = 0; k < n; ++k)
      for (int j = 0; j < n; ++j) rv[i * n + j] += r[i * n + k] * v[k * n + j];
  for (int i = 0; i < n; ++i)
    for (int k = 0; k < n; ++k)
      for (int j = 0; j < n; ++j) rvr[i * n + j] += rv[i * n + k] * r[k * n + j];
  double trace = 0.0, lagged = 0.0;
  for (int t = 0; t < n; ++t) trace += rv[t * n + t];
  for (int t = 1; t < n; ++t) lagged += rvr[(t - 1) * n + t];
  return lagged / trace;
}

TEST(Prewhitening, TheBiasCorrectionInvertsTheDenseExpectationOfTheResidualLag) {
  // A block predictor, two cosines and a constant over 60 volumes.
  constexpr int n = 60, p = 4;
  std::vector<double> design(n * p);
  for (int t = 0; t < n; ++t) {
    design[t * p + 0] = (t / 10) % 2;
    design[t * p + 1] = std::cos(M_PI * (2 * t + 1) / (2.0 * n));
    design[t * p + 2] = std::cos(2 * M_PI * (2 * t + 1) / (2.0 * n));
    design[t * p + 3] = 1.0;
  }
  const LeastSquaresModel model = *makeLeastSquaresModel(design, n, p, 3, 0.0);
  for (double rho : {-0.3, 0.0, 0.4, 0.8}) {
    VoxelFits fits;
    fits.residualLag1 = {denseExpectedLag1(model, rho), std::nan("")};
    // The bisection stops within 1e-8 of the rho whose expectation is the observed mean.
    EXPECT_NEAR(pooledAr1(model, fits), rho, 1e-7) << rho;
    // Voxels outside the mask are not pooled.
    fits.residualLag1.push_back(0.99);
    EXPECT_NEAR(pooledAr1(model, fits, {1, 1, 0}), rho, 1e-7) << rho;
  }
}

TEST(Contrasts, ExpressionsBecomeWeightsAndBidsLabels) {
  const std::vector<std::string> names{"A", "AB", "2back"};
  const Contrast c = parseContrast("2*A - AB + 0.5 2back - A", names, 5, "events.tsv");
  EXPECT_EQ(c.weights, (std::vector<double>{1.0, -1.0, 0.5, 0.0, 0.0}));
  EXPECT_EQ(c.label, "2TimesAMinusABPlus0p52backMinusA");
  EXPECT_EQ(parseContrast("-AB", names, 3, "events.tsv").weights,
            (std::vector<double>{0.0, -1.0, 0.0}));
  EXPECT_NE(refusal([&] { parseContrast("A B", names, 3, "events.tsv"); }).find("'+' or '-'"),
            std::string::npos);
  EXPECT_NE(refusal([&] { parseContrast("A - A", names, 3, "events.tsv"); }).find("non-zero"),
            std::string::npos);
}

}  // namespace
