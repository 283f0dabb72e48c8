// Voxel patterns: the drawn patterns' similarity against the study's, and the effect
// maps that carry them.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tests/support/refusal.h"
#include "tests/support/temporary_folder.h"
#include "tolvane/simulate/run_synthesis.h"
#include "tolvane/study/study.h"

namespace tolvane::simulate {
namespace {

// A sphere of 123 voxels with effects on three conditions; `pattern` is its pattern.
study::Study patternStudy(const TemporaryFolder& folder, const std::string& pattern) {
  folder.write("events.tsv", "onset\tduration\ttrial_type\n0\t10\tA\n20\t10\tB\n40\t10\tC\n");
  return study::loadStudy(
      folder.write("study.toml",
                   "protocol = \"events.tsv\"\nsubjects = 200\nnoise.sd = 0\n"
                   "[grid]\nbox = [100, 110, 100, 110, 100, 110]\nresolution = 1\n"
                   "[[region]]\ncentre_voxel = [105, 105, 105]\nradius_voxels = 3\n"
                   "effects = { A = 2.0, B = 1.0, C = 0.0 }\npattern = " + pattern + "\n"),
      {});
}

TEST(Patterns, DrawnPatternsHaveTheStudysSimilarityOverSubjects) {
  const TemporaryFolder folder;
  const study::Study study = patternStudy(
      folder, "{ sd = 0.5, similarity = [[1, 0.3, -0.4], [0.3, 1, 0.1], [-0.4, 0.1, 1]] }");
  const double asked[3][3] = {{1, 0.3, -0.4}, {0.3, 1, 0.1}, {-0.4, 0.1, 1}};
  const std::size_t voxels = study.regions[0].voxels.size();
  ASSERT_EQ(voxels, 123u);
  // Per subject, the mean product of two conditions' deviations over the voxels, over
  // sd^2: an unbiased estimate of their correlation (the deviations' mean is 0).
  double sum[3][3] = {}, squares[3][3] = {};
  const int subjects = 200;
  for (int subject = 1; subject <= subjects; ++subject) {
    const Truth truth = runTruth(study, subject - 1);
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) {
        double product = 0.0;
        for (const std::int64_t v : study.regions[0].voxels) {
          const double a = truth.amplitudes[i][v] - (2.0 - i), b = truth.amplitudes[j][v] - (2.0 - j);
          product += a * b;
        }
        product /= voxels * 0.25;
        sum[i][j] += product;
        squares[i][j] += product * product;
      }
    }
  }
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      const double mean = sum[i][j] / subjects;
      const double error = std::sqrt((squares[i][j] / subjects - mean * mean) / (subjects - 1));
      EXPECT_NEAR(mean, asked[i][j], 4.0 * error) << i << "," << j;
    }
  }
  // A subject keeps its patterns in every run; subjects differ.
  EXPECT_EQ(runTruth(study, 0).amplitudes[0], runTruth(study, 0).amplitudes[0]);
  EXPECT_NE(runTruth(study, 0).amplitudes[0], runTruth(study, 1).amplitudes[0]);
}

TEST(Patterns, ASimilarityNoPatternsCanHaveIsRefused) {
  const TemporaryFolder folder;
  const std::string message = refusal([&] {
    patternStudy(folder, "{ sd = 1, similarity = [[1, 0.9, -0.9], [0.9, 1, 0.9], [-0.9, 0.9, 1]] }");
  });
  EXPECT_NE(message.find("region[1].pattern: expected a positive semi-definite similarity"),
            std::string::npos) << message;
  EXPECT_NE(message.find("smallest eigenvalue is -0.8"), std::string::npos) << message;
}

}  // namespace
}  // namespace tolvane::simulate
