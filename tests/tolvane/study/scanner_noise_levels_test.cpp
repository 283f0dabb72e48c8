// The per-voxel levels of scanner-like noise against the budget rule, on a grid of 4 x 3 x 2
// voxels whose images are constant over each grid voxel's 3 x 3 x 3 block of image voxels,
// so that resampling (trilinear or nearest) gives each grid voxel its block's value and
// the expected levels follow from the rule by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "formats/nifti/nifti_maps.h"
#include "tests/support/temporary_folder.h"
#include "tolvane/simulate/int16_scale.h"
#include "tolvane/study/study.h"

namespace tolvane::study {
namespace {

constexpr int kBlock = 3;  // the grid's resolution in image voxels
constexpr int kGridX = 4, kGridY = 3, kGridZ = 2;

// An image of 12 x 9 x 6 voxels of 2 mm whose value is block(grid x) for every voxel.
void writeBlockImage(const TemporaryFolder& folder, const std::string& name,
                     const std::function<float(int)>& block) {
  formats::MapGeometry geometry;
  geometry.dims = {kGridX * kBlock, kGridY * kBlock, kGridZ * kBlock};
  geometry.frame.code = 1;
  for (int axis = 0; axis < 3; ++axis) geometry.frame.voxelToWorld.m[axis][axis] = 2.0;
  std::vector<float> values;
  for (int z = 0; z < kGridZ * kBlock; ++z)
    for (int y = 0; y < kGridY * kBlock; ++y)
      for (int x = 0; x < kGridX * kBlock; ++x) values.push_back(block(x / kBlock));
  formats::writeFloatMapNifti(folder.file(name), geometry, values.data(), {}, 1);
}

Study loadWith(const TemporaryFolder& folder, const std::string& keys, const std::string& noise) {
  folder.write("design.prt", "units volumes\n\ncondition A\n  3 6\n");
  const auto file = folder.write(
      "study.toml", "volumes = 20\nprotocol = \"design.prt\"\n" + keys +
                        "\n[grid]\nanatomical = \"baseline.nii.gz\"\nbox = [0, 12, 0, 9, 0, 6]\n"
                        "resolution = 3\n[noise]\n" +
                        noise + "\n");
  return loadStudy(file, {});
}

// Levels are computed in double and rounded once to float; the expectations here are
// computed in double too, from the float thermal sd, so half an ulp of each float
// separates them, well inside 2 FLT_EPSILON relative.
void expectLevel(float actual, double expected) {
  EXPECT_NEAR(actual, expected, 2 * FLT_EPSILON * std::fabs(expected));
}

TEST(ScannerNoiseLevels, PhysiologicalShareFollowsTheMapInsideTheMaskAndThermalAddsOnTop) {
  const TemporaryFolder folder;
  writeBlockImage(folder, "baseline.nii.gz", [](int) { return 100.0f; });
  writeBlockImage(folder, "brain.nii.gz", [](int x) { return x < 3 ? 1.0f : 0.0f; });
  // Weights 0, 1, 3 in the mask: mean 4/3, so m = 0, 0.75, 2.25; outside, 5 is ignored.
  const float weights[] = {0.0f, 1.0f, 3.0f, 5.0f};
  writeBlockImage(folder, "vessels.nii.gz", [&](int x) { return weights[x]; });
  const Study study = loadWith(folder, "mask = \"brain.nii.gz\"",
                               "sd = 4\nsnr = 50\nphysio = { share = 0.25, map = "
                               "\"vessels.nii.gz\" }");
  ASSERT_TRUE(study.voxelLevels);
  const VoxelLevelMaps& levels = *study.voxelLevels;
  EXPECT_EQ(levels.maskVoxels, 3 * kGridY * kGridZ);
  EXPECT_FLOAT_EQ(levels.thermalSd, 2.0f);  // mean baseline 100 / snr 50
  EXPECT_EQ(levels.thermalOnlyShare, 0.0);
  // int16's step is held against the quietest voxel: the background's thermal noise.
  EXPECT_FLOAT_EQ(simulate::smallestTemporalNoiseSd(study), 2.0);
  // Without tsnr the budget is sd^2 = 16, shared between physiological and fluctuation
  // noise; thermal noise comes on top.
  const double physioVariance[] = {0.0, 3.0, 9.0};
  for (std::size_t v = 0; v < levels.baseline.size(); ++v) {
    const int x = static_cast<int>(v % kGridX);
    if (x == 3) {
      EXPECT_EQ(levels.mask[v], 0);
      EXPECT_EQ(levels.fluctuationSd[v], 0.0f);
      EXPECT_EQ(levels.physioSd[v], 0.0f);
      expectLevel(levels.expectedTsnr[v], 100.0 / 2.0);
      continue;
    }
    EXPECT_EQ(levels.mask[v], 1);
    expectLevel(levels.physioSd[v], std::sqrt(physioVariance[x]));
    expectLevel(levels.fluctuationSd[v], std::sqrt(16.0 - physioVariance[x]));
    expectLevel(levels.expectedTsnr[v], 100.0 / std::sqrt(16.0 + 4.0));
  }
}

TEST(ScannerNoiseLevels, TsnrSetsEachVoxelsBudgetAndDarkVoxelsGetThermalNoiseOnly) {
  const TemporaryFolder folder;
  const float baselines[] = {100.0f, 200.0f, 300.0f, 20.0f};
  writeBlockImage(folder, "baseline.nii.gz", [&](int x) { return baselines[x]; });
  writeBlockImage(folder, "brain.nii.gz", [](int) { return 1.0f; });
  const Study study = loadWith(folder,
                               "baseline = \"baseline.nii.gz\"\nbaseline_scale = 2\n"
                               "mask = \"brain.nii.gz\"",
                               "tsnr = 20\nsnr = 40\nmagnitude = true\nphysio = { share = 0.5 }");
  ASSERT_TRUE(study.voxelLevels);
  const VoxelLevelMaps& levels = *study.voxelLevels;
  // Scaled baselines 200, 400, 600, 40: mean 310, so s = 7.75; budgets (b / 20)^2 =
  // 100, 400, 900, 4, and the darkest quarter of the mask is below s^2. Half of each
  // budget is physiological unless the thermal noise leaves less (at 200: 100 - s^2).
  const double s = levels.thermalSd;
  EXPECT_NEAR(s, 7.75, 7.75 * FLT_EPSILON);
  EXPECT_DOUBLE_EQ(levels.thermalOnlyShare, 0.25);
  // The quietest voxels hold thermal noise only, and in a magnitude image a Rayleigh
  // background's sd is s sqrt((4 - pi) / 2).
  EXPECT_NEAR(simulate::smallestTemporalNoiseSd(study), s * std::sqrt((4.0 - M_PI) / 2.0),
              s * FLT_EPSILON);
  for (std::size_t v = 0; v < levels.baseline.size(); ++v) {
    const int x = static_cast<int>(v % kGridX);
    const double b = 2.0 * baselines[x];
    EXPECT_EQ(levels.baseline[v], static_cast<float>(b));
    const double budget = (b / 20.0) * (b / 20.0);
    if (x == 3) {
      EXPECT_EQ(levels.fluctuationSd[v], 0.0f);
      EXPECT_EQ(levels.physioSd[v], 0.0f);
      expectLevel(levels.expectedTsnr[v], b / s);
      continue;
    }
    const double rest = budget - s * s, physio = std::min(0.5 * budget, rest);
    expectLevel(levels.physioSd[v], std::sqrt(physio));
    expectLevel(levels.fluctuationSd[v], std::sqrt(rest - physio));
    expectLevel(levels.expectedTsnr[v], 20.0);
  }
}

}  // namespace
}  // namespace tolvane::study
