// The reference GLM against an independent fit, and its refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "tests/support/refusal.h"
#include "tests/tolvane/analysis/evaluation_request.h"
#include "tests/tolvane/analysis/simulated_study.h"
#include "tolvane/analysis/evaluate.h"
#include "tolvane/analysis/glm.h"

namespace {

using namespace tolvane::analysis;

const Progress kQuiet = [](const std::string&) {};

std::vector<std::vector<double>> readDesignTable(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);  // column names
  std::vector<std::vector<double>> rows;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    rows.emplace_back();
    for (double value; fields >> value;) rows.back().push_back(value);
  }
  return rows;
}

// t of a contrast per voxel by modified Gram-Schmidt QR in double (orthogonalised
// twice), with residuals formed explicitly: independent of the pseudo-inverse, the
// Gram-matrix shortcut and the single-precision decomposition that the analysis uses.
std::vector<double> independentT(const std::vector<std::vector<double>>& x,
                                 const std::vector<float>& series, std::size_t voxels,
                                 const std::vector<double>& contrast) {
  const std::size_t n = x.size(), p = x[0].size();
  // Q column j is q[j * n ..], R element (k, j) is r[k * p + j].
  std::vector<double> q(p * n), r(p * p, 0.0);
  for (std::size_t j = 0; j < p; ++j) {
    double* column = &q[j * n];
    for (std::size_t t = 0; t < n; ++t) column[t] = x[t][j];
    for (int pass = 0; pass < 2; ++pass) {
      for (std::size_t k = 0; k < j; ++k) {
        double dot = 0.0;
        for (std::size_t t = 0; t < n; ++t) dot += q[k * n + t] * column[t];
        r[k * p + j] += dot;
        for (std::size_t t = 0; t < n; ++t) column[t] -= dot * q[k * n + t];
      }
    }
    double norm = 0.0;
    for (std::size_t t = 0; t < n; ++t) norm += column[t] * column[t];
    r[j * p + j] = std::sqrt(norm);
    for (std::size_t t = 0; t < n; ++t) column[t] /= r[j * p + j];
  }
  // c^T beta = c^T R^-1 Q^T y = a^T Q^T y with R^T a = c; var factor a^T a.
  std::vector<double> a(p);
  for (std::size_t j = 0; j < p; ++j) {
    double sum = contrast[j];
    for (std::size_t k = 0; k < j; ++k) sum -= r[k * p + j] * a[k];
    a[j] = sum / r[j * p + j];
  }
  double factor = 0.0;
  for (double value : a) factor += value * value;

  std::vector<double> t(voxels), y(n), qy(p);
  for (std::size_t v = 0; v < voxels; ++v) {
    for (std::size_t i = 0; i < n; ++i) y[i] = series[i * voxels + v];
    for (std::size_t j = 0; j < p; ++j) {
      qy[j] = 0.0;
      for (std::size_t i = 0; i < n; ++i) qy[j] += q[j * n + i] * y[i];
    }
    double rss = 0.0, effect = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      double residual = y[i];
      for (std::size_t j = 0; j < p; ++j) residual -= q[j * n + i] * qy[j];
      rss += residual * residual;
    }
    for (std::size_t j = 0; j < p; ++j) effect += a[j] * qy[j];
    t[v] = effect / std::sqrt(rss / double(n - p) * factor);
  }
  return t;
}

double correlation(const std::vector<double>& a, const std::vector<float>& b) {
  double ma = 0, mb = 0;
  for (std::size_t i = 0; i < a.size(); ++i) ma += a[i], mb += b[i];
  ma /= double(a.size()), mb /= double(a.size());
  double sab = 0, saa = 0, sbb = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    sab += (a[i] - ma) * (b[i] - mb), saa += (a[i] - ma) * (a[i] - ma),
        sbb += (b[i] - mb) * (b[i] - mb);
  }
  return sab / std::sqrt(saa * sbb);
}

std::vector<float> readMap(const std::filesystem::path& file) {
  const auto volume = tolvane::formats::readScalarVolume(file);
  return {volume.values.begin(), volume.values.end()};
}

TEST(Glm, AgreesWithAnIndependentFitAndRecoversTheEffectOnTheDefaultGrid) {
  SimulatedStudy study;
  simulateStudy(study, {58, 40, 46}, 250, 3.0f, 5.0f, 20240611u, 3.0f);
  GlmRequest request;
  request.bold = study.bold;
  request.outputFolder = study.folder.file("glm");
  request.contrasts = {"Task - Rest"};
  const GlmSummary summary = runGlm(request, kQuiet);
  EXPECT_EQ(summary.eventsFile, study.events);
  EXPECT_EQ(summary.trSeconds, 2.0);
  // Rest, Task, floor(2 * 250 * 2 / 128) = 7 cosines, the constant.
  ASSERT_EQ(summary.columnNames.size(), 10u);
  EXPECT_EQ(summary.degreesOfFreedom, 240);

  const std::filesystem::path prefix =
      request.outputFolder / "sub-01_task-sim_contrast-TaskMinusRest";
  const std::vector<float> t = readMap(prefix.string() + "_stat-t_statmap.nii.gz");
  const std::vector<float> effect = readMap(prefix.string() + "_stat-effect_statmap.nii.gz");
  const std::vector<float> variance = readMap(prefix.string() + "_stat-variance_statmap.nii.gz");

  const auto bold = tolvane::formats::readFloatSeries(study.bold);
  const std::size_t voxels = bold.geometry.voxelCount();
  std::vector<double> contrast(10, 0.0);
  contrast[0] = -1.0;  // Rest comes first in the events
  contrast[1] = 1.0;
  const std::vector<double> reference =
      independentT(readDesignTable(request.outputFolder / "sub-01_task-sim_design.tsv"),
                   bold.values, voxels, contrast);
  EXPECT_GT(correlation(reference, t), 0.9999);
  double largest = 0.0;
  for (std::size_t v = 0; v < voxels; ++v)
    largest = std::max(largest, std::fabs(reference[v] - t[v]));
  // t has a standard error of 1; a thousandth of it is far below any decision, and far
  // above the float rounding of the stored maps (t up to ~10, relative 6e-8).
  EXPECT_LT(largest, 1e-3);

  double meanEffect = 0.0, meanVariance = 0.0;
  for (std::size_t v : study.sphere) meanEffect += effect[v], meanVariance += variance[v];
  meanEffect /= double(study.sphere.size());
  meanVariance /= double(study.sphere.size());
  const double standardError = std::sqrt(meanVariance / double(study.sphere.size()));
  EXPECT_NEAR(meanEffect, 3.0, 3.0 * standardError) << "standard error " << standardError;

  const Evaluation scores = evaluate(scoring(study.truth,
                                      prefix.string() + "_stat-t_statmap.nii.gz",
                                      {3.1},
                                      prefix.string() + "_stat-effect_statmap.nii.gz"));
  EXPECT_GT(scores.roc.area, 0.99);
  ASSERT_EQ(scores.regions.size(), 1u);
  EXPECT_TRUE(scores.regions[0].detected[0]);
  EXPECT_NEAR(scores.effect->bias, meanEffect - 3.0, 1e-5);  // float maps, double sums
}

// Bad input is refused with a message that names what is wrong; the command line
// turns these into exit status 2.
TEST(Glm, RefusesUnknownConditionsASeriesWithoutTRMismatchedGridsAndAnEmptyTruth) {
  SimulatedStudy study;
  simulateStudy(study, {8, 7, 6}, 60, 3.0f, 5.0f, 3u, 3.0f);
  GlmRequest request;
  request.bold = study.bold;
  request.outputFolder = study.folder.file("glm");
  request.contrasts = {"Task - Fixation"};
  // A misspelt contrast and an output folder that cannot be made are refused before
  // the series is read: no "reading" line comes before the refusal.
  std::vector<std::string> lines;
  const auto collect = [&](const std::string& line) { lines.push_back(line); };
  const std::string unknown = refusal([&] { runGlm(request, collect); });
  EXPECT_NE(unknown.find("\"Fixation\""), std::string::npos) << unknown;
  EXPECT_NE(unknown.find(study.events.string() + ": Rest, Task"), std::string::npos) << unknown;
  EXPECT_TRUE(lines.empty()) << lines.front();
  request.contrasts.clear();
  // Below a file: a setup error, known before any work (exit 2, as in hvhost).
  request.outputFolder = study.events / "glm";
  EXPECT_THROW(runGlm(request, collect), tolvane::formats::InputError);
  EXPECT_TRUE(lines.empty()) << lines.front();
  request.outputFolder = study.folder.file("glm");

  tolvane::formats::VtcGeometry grid;
  grid.xEnd = grid.yEnd = grid.zEnd = 2;
  grid.timePoints = 3;
  grid.trMilliseconds = 0.0;
  const std::vector<float> values(8 * 3, 1.0f);
  request.bold = study.folder.file("sub-02_task-sim_bold.nii");
  tolvane::formats::writeVtcNifti(request.bold, grid, {}, values.data(), 1);
  request.events = study.events;
  const std::string noTr = refusal([&] { runGlm(request, kQuiet); });
  EXPECT_NE(noTr.find("needs its TR"), std::string::npos) << noTr;

  const tolvane::formats::MapGeometry other{{8, 7, 5}, {tolvane::formats::Affine::identity(), 1}};
  const std::vector<float> zeros(8 * 7 * 6, 0.0f);
  tolvane::formats::writeFloatMapNifti(study.folder.file("small.nii"), other, zeros.data(), {}, 1);
  const std::string grids = refusal([&] {
    evaluate(scoring(study.truth, study.folder.file("small.nii")));
  });
  EXPECT_NE(grids.find("8 x 7 x 6"), std::string::npos) << grids;
  EXPECT_NE(grids.find("8 x 7 x 5"), std::string::npos) << grids;

  // A truth with no negatives leaves nothing to tell the positives from (one without
  // positives is a null study, scored on its own terms).
  const auto truthGeometry = tolvane::formats::readScalarVolume(study.truth).geometry;
  const std::vector<float> ones(truthGeometry.voxelCount(), 1.0f);
  tolvane::formats::writeFloatMapNifti(study.folder.file("full.nii"), truthGeometry, ones.data(),
                                       {}, 1);
  const std::string full = refusal([&] {
    evaluate(scoring(study.folder.file("full.nii"), study.truth));
  });
  EXPECT_NE(full.find(std::to_string(ones.size()) + " positives among"), std::string::npos) << full;
}

}  // namespace
