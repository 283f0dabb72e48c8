// A run's values and truth, built by construction from the pieces they are defined by:
// the noise (the counter field, or ran1's stream), the predictors and the amplitudes.
// Two spheres overlap, so that summing (add) and overwriting (replace) both show.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "numerics/random_state.h"
#include "engine/counter_noise.h"
#include "tests/support/temporary_folder.h"
#include "tolvane/simulate/run_synthesis.h"
#include "tolvane/study/run_seeds.h"

namespace tolvane::simulate {
namespace {

// A 6 x 6 x 6 grid of 1 mm voxels, 20 volumes, two conditions, and two spheres whose
// centres lie one voxel apart.
study::Study loadSmallStudy(const TemporaryFolder& folder, const std::string& generator,
                            const std::string& signal) {
  folder.write("design.prt",
               "units volumes\n\ncondition A\n  3 6\n  13 15\n\ncondition B\n  8 11\n");
  const auto file =
      folder.write("study.toml",
                   "seed = 77\nvolumes = 20\nprotocol = \"design.prt\"\n"
                   "generator = \"" +
                       generator + "\"\nsignal = \"" + signal +
                       "\"\nbaseline = 400\n"
                       "[grid]\nbox = [100, 106, 100, 106, 100, 106]\nresolution = 1\n"
                       "[[region]]\ncentre_voxel = [102, 102, 102]\nradius_voxels = 1\n"
                       "effects = { A = 3.0, B = \"1%\" }\n"
                       "[[region]]\ncentre_mm = [-25, -26, -25]\nradius_mm = 1.5\n"
                       "effects = { B = -2.5 }\n");
  return study::loadStudy(file, {});
}

std::int64_t voxelIndex(int x, int y, int z) { return (z * 6 + y) * 6 + x; }

std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

TEST(RunSynthesis, OverlappingRegionsAddUpWithAdd) {
  const TemporaryFolder folder;
  const study::Study study = loadSmallStudy(folder, "philox", "add");
  ASSERT_EQ(study.regions.size(), 2u);
  EXPECT_EQ(study.regions[0].voxels.size(), 7u);   // |d| <= 1
  EXPECT_EQ(study.regions[1].voxels.size(), 19u);  // |d| <= 1.5 mm: 6 faces, 12 edges
  const Truth truth = runTruth(study, 4);
  const std::int64_t both = voxelIndex(2, 2, 2);    // centre of the first, edge of the second
  const std::int64_t second = voxelIndex(3, 2, 3);  // second sphere's centre
  // The shared voxels get a label of their own, and each label's count is the image's.
  EXPECT_EQ(truth.labels[both], 3);
  ASSERT_EQ(truth.labelTable.size(), 3u);
  EXPECT_EQ(truth.labelTable[2].name, "sphere1+sphere2");
  for (std::size_t label = 1; label <= truth.labelTable.size(); ++label) {
    EXPECT_EQ(truth.labelTable[label - 1].voxelCount,
              static_cast<std::size_t>(std::count(truth.labels.begin(), truth.labels.end(),
                                                  static_cast<std::int32_t>(label))));
  }
  EXPECT_EQ(truth.labelTable[0].voxelCount + truth.labelTable[2].voxelCount, 7u);
  EXPECT_EQ(truth.labelTable[1].voxelCount + truth.labelTable[2].voxelCount, 19u);
  ASSERT_EQ(study.warnings.size(), 1u);
  EXPECT_NE(study.warnings[0].find("share " + std::to_string(truth.labelTable[2].voxelCount) +
                                   " voxel(s)"),
            std::string::npos);
  EXPECT_EQ(truth.amplitudes[0][both], 3.0f);
  EXPECT_EQ(truth.amplitudes[1][both], 4.0f + -2.5f);  // 1% of 400, then the second's
  EXPECT_EQ(truth.amplitudes[1][second], -2.5f);
  EXPECT_EQ(truth.amplitudes[0][voxelIndex(0, 0, 0)], 0.0f);

  // Every value is ((s * g) + b) + e[t], g the field's deviate of (seed, run place).
  const auto data = synthesiseRun(study, truth, 4);
  const float* a = study.runDesign(4).predictors[0].data();
  const float* b = study.runDesign(4).predictors[1].data();
  for (const std::int64_t voxel : {both, second, voxelIndex(5, 5, 5)}) {
    std::vector<float> g(20);
    engine::fieldDeviates({77, 4}, voxel, 0, 20, g.data());
    for (int t = 0; t < 20; ++t) {
      const float effect =
          (0.0f + truth.amplitudes[0][voxel] * a[t]) + truth.amplitudes[1][voxel] * b[t];
      const float expected = ((5.0f * g[t]) + 400.0f) + effect;
      EXPECT_EQ(bits(data[voxel * 20 + t]), bits(expected)) << voxel << " " << t;
    }
  }
}

TEST(RunSynthesis, TheLastRegionWinsWithReplace) {
  const TemporaryFolder folder;
  const study::Study philox = loadSmallStudy(folder, "philox", "replace");
  const Truth truth = runTruth(philox, 0);
  const std::int64_t both = voxelIndex(2, 2, 2);
  EXPECT_EQ(truth.amplitudes[0][both], 0.0f);
  EXPECT_EQ(truth.amplitudes[1][both], -2.5f);

  // philox: region voxels are (e[t] + b) + (s * g) with their own deviates.
  const auto data = synthesiseRun(philox, truth, 0);
  const float* b = philox.runDesign(0).predictors[1].data();
  std::vector<float> g(20);
  engine::fieldDeviates({77, 0}, both, 0, 20, g.data());
  for (int t = 0; t < 20; ++t) {
    const float expected = ((0.0f + -2.5f * b[t]) + 400.0f) + (5.0f * g[t]);
    EXPECT_EQ(bits(data[both * 20 + t]), bits(expected)) << t;
  }

  // ran1: the noise pass and then each region's signal pass continue one stream, so a
  // voxel outside the regions keeps the noise pass's value and one inside is rewritten
  // with fresh deviates.
  const TemporaryFolder other;
  const study::Study ran1 = loadSmallStudy(other, "ran1", "replace");
  const auto ran1Data = synthesiseRun(ran1, runTruth(ran1, 1), 1);
  random::GeneratorState state{};
  int seed = -study::ran1RunSeed(77, 1);
  for (int t = 0; t < 20; ++t) {
    for (std::int64_t voxel = 0; voxel < 216; ++voxel) {
      const float noise = 5.0f * random::nextDeviate(state, &seed) + 400.0f;
      if (truth.labels[voxel] == 0) {
        ASSERT_EQ(bits(ran1Data[voxel * 20 + t]), bits(noise)) << voxel << " " << t;
      } else {
        ASSERT_NE(bits(ran1Data[voxel * 20 + t]), bits(noise)) << voxel << " " << t;
      }
    }
  }
}

TEST(RunSeeds, Ran1RunsStartTwoToTheTwentySixStepsApartOnTheCycle) {
  EXPECT_EQ(study::ran1RunSeed(12345, 0), 12345);
  int s = 12345;
  for (std::int64_t step = 0; step < study::kRan1RunSpacing; ++step) {
    s = random::congruentialStep(s);
  }
  EXPECT_EQ(study::ran1RunSeed(12345, 1), s);
  EXPECT_EQ(study::ran1RunSeed(12345, 2), study::ran1RunSeed(s, 1));
  EXPECT_EQ(study::runPlace(3, 2, 4), 9);
}

}  // namespace
}  // namespace tolvane::simulate
