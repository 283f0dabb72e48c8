// Scoring maps against the truth: counts on a hand-made truth, and the area under the
// curve of a GLM t map with and without planted signal.
#include <gtest/gtest.h>

#include <nifti2_io.h>

#include <cmath>
#include <limits>

#include "tests/tolvane_analysis/evaluation_request.h"
#include "tests/tolvane_analysis/simulated_study.h"
#include "tolvane/analysis/evaluate.h"
#include "tolvane/analysis/glm.h"

namespace {

using namespace tolvane::analysis;
using tolvane::formats::MapGeometry;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const Progress kQuiet = [](const std::string&) {};

MapGeometry smallGrid(std::int64_t nx, std::int64_t ny) {
  return {{nx, ny, 1}, {tolvane::formats::Affine::identity(), 1}};
}

void writeMap(const std::filesystem::path& file, const MapGeometry& geometry,
              const std::vector<double>& values) {
  const std::vector<float> stored(values.begin(), values.end());
  tolvane::formats::writeFloatMapNifti(file, geometry, stored.data(), {}, 1);
}

// A label image stored as 16-bit integers, as segmentations are.
void writeLabels(const std::filesystem::path& file, const MapGeometry& geometry,
                 const std::vector<std::int16_t>& labels) {
  const std::int64_t dims[8] = {3, geometry.dims[0], geometry.dims[1], geometry.dims[2], 1, 1, 1,
                                1};
  nifti_image* image = nifti_make_new_nim(dims, NIFTI_TYPE_INT16, 1);
  std::copy(labels.begin(), labels.end(), static_cast<std::int16_t*>(image->data));
  image->sform_code = 1;  // identity, as smallGrid's
  image->sto_xyz = nifti_dmat44{};
  for (int i = 0; i < 4; ++i) image->sto_xyz.m[i][i] = 1.0;
  nifti_set_filenames(image, file.c_str(), 0, 1);
  nifti_image_write(image);
  nifti_image_free(image);
}

// The area as the Mann-Whitney statistic counts it, pair by pair: a positive above a
// negative counts 1, a tie 1/2; NaN ranks below every number and ties with NaN.
double pairwiseArea(const std::vector<double>& stat, const std::vector<std::int16_t>& truth) {
  const auto rank = [](double v) {
    return std::isnan(v) ? -std::numeric_limits<double>::infinity() : v;
  };
  double wins = 0.0, pairs = 0.0;
  for (std::size_t i = 0; i < stat.size(); ++i) {
    for (std::size_t j = 0; j < stat.size(); ++j) {
      if (!truth[i] || truth[j]) continue;
      pairs += 1.0;
      wins += rank(stat[i]) > rank(stat[j]) ? 1.0 : rank(stat[i]) == rank(stat[j]) ? 0.5 : 0.0;
    }
  }
  return wins / pairs;
}

TEST(Evaluate, CountsRegionsAndAreaOnAHandMadeTruthWithTiesAndUndefinedValues) {
  TemporaryFolder folder;
  const MapGeometry grid = smallGrid(5, 2);
  // Label 1 at voxels 0 and 1, label 2 at voxel 8 = (3, 1, 0).
  const std::vector<std::int16_t> labels{1, 1, 0, 0, 0, 0, 0, 0, 2, 0};
  const std::vector<double> stat{4, 2, 1, 2, 0, kNaN, -1, 2, 3, 0.5};
  const std::vector<double> effect{3.5, 2.5, 0, 0, 0, 0, 0, 0, 4, 0};
  writeLabels(folder.file("truth.nii"), grid, labels);
  writeMap(folder.file("stat.nii"), grid, stat);
  writeMap(folder.file("effect.nii"), grid, effect);

  const Evaluation result = evaluate(scoring(folder.file("truth.nii"),
                                      folder.file("stat.nii"),
                                      {0.5, 2.0, 3.0},
                                      folder.file("effect.nii"),
                                      3.0));
  EXPECT_TRUE(result.labelTruth);
  EXPECT_EQ(result.roc.positives, 3);
  EXPECT_EQ(result.roc.negatives, 7);
  EXPECT_EQ(result.undefinedStatistics, 1);
  EXPECT_DOUBLE_EQ(result.roc.area, pairwiseArea(stat, labels));

  // Active means strictly above: the positive at exactly 2 and the negatives at 2 and
  // 0.5 are not active at thresholds 2 and 0.5 respectively; NaN never is.
  ASSERT_EQ(result.counts.size(), 3u);
  const ThresholdCounts& low = result.counts[0];
  EXPECT_EQ(
      (std::array{low.truePositives, low.falsePositives, low.falseNegatives, low.trueNegatives}),
      (std::array<std::int64_t, 4>{3, 3, 0, 4}));
  const ThresholdCounts& middle = result.counts[1];
  EXPECT_EQ((std::array{middle.truePositives, middle.falsePositives, middle.falseNegatives,
                        middle.trueNegatives}),
            (std::array<std::int64_t, 4>{2, 0, 1, 7}));
  EXPECT_DOUBLE_EQ(middle.truePositiveRate(), 2.0 / 3.0);

  ASSERT_EQ(result.regions.size(), 2u);
  EXPECT_EQ(result.regions[0].name, "label 1");
  EXPECT_EQ(result.regions[0].voxels, 2);
  EXPECT_EQ(result.regions[0].peakStatistic, 4.0);
  EXPECT_EQ(result.regions[0].detected, (std::vector<bool>{true, true, true}));
  EXPECT_EQ(result.regions[1].peakVoxel, (std::array<std::int64_t, 3>{3, 1, 0}));
  EXPECT_EQ(result.regions[1].detected, (std::vector<bool>{true, true, false}));
  // Errors 0.5, -0.5 and 1 against the true effect 3.
  ASSERT_TRUE(result.effect);
  EXPECT_DOUBLE_EQ(result.effect->bias, 1.0 / 3.0);
  EXPECT_DOUBLE_EQ(result.effect->rootMeanSquareError, std::sqrt(0.5));
  EXPECT_DOUBLE_EQ(result.regions[0].effect->bias, 0.0);
}

TEST(Evaluate, AmplitudeTruthRegionsAreTheFaceConnectedGroups) {
  TemporaryFolder folder;
  const MapGeometry grid = smallGrid(4, 3);
  // Two groups touching only at a corner, and a third apart.
  const std::vector<double> truth{2, 2, 0, 0,  //
                                  0, 0, 1, 0,  //
                                  5, 0, 0, 0};
  writeMap(folder.file("truth.nii"), grid, truth);
  writeMap(folder.file("stat.nii"), grid, std::vector<double>(12, 1.0));
  const Evaluation result =
      evaluate(scoring(folder.file("truth.nii"), folder.file("stat.nii")));
  ASSERT_EQ(result.regions.size(), 3u);
  EXPECT_EQ(result.regions[0].voxels, 2);
  EXPECT_EQ(result.regions[1].voxels, 1);
  EXPECT_EQ(result.regions[2].peakVoxel, (std::array<std::int64_t, 3>{0, 2, 0}));
  EXPECT_DOUBLE_EQ(result.roc.area, 0.5);  // one value everywhere: all ties
}

double areaOfGlmT(SimulatedStudy& study) {
  GlmRequest request;
  request.bold = study.bold;
  request.outputFolder = study.folder.file("glm");
  request.contrasts = {"Task - Rest"};
  runGlm(request, kQuiet);
  const Evaluation result = evaluate(scoring(
      study.truth,
      request.outputFolder / "sub-01_task-sim_contrast-TaskMinusRest_stat-t_statmap.nii.gz"));
  EXPECT_EQ(result.roc.positives, 33);
  return result.roc.area;
}

TEST(Evaluate, AreaOfAPlantedEffectIsNearOneAndOfPureNoiseNearOneHalf) {
  SimulatedStudy signal;
  simulateStudy(signal, {24, 24, 24}, 250, 3.0f, 5.0f, 7u, 3.0f);
  EXPECT_GT(areaOfGlmT(signal), 0.99);

  // The truth names the sphere, though nothing was planted there.
  SimulatedStudy noise;
  simulateStudy(noise, {24, 24, 24}, 250, 0.0f, 5.0f, 8u, 3.0f);
  // Null standard deviation of the area for 33 positives among 13824 voxels: 0.0503.
  const double nullSd = std::sqrt((13824.0 + 1.0) / (12.0 * 33.0 * (13824.0 - 33.0)));
  EXPECT_NEAR(areaOfGlmT(noise), 0.5, 3.0 * nullSd);
}

}  // namespace
