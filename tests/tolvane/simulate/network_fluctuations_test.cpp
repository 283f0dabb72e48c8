// Networks: the refusal of matrices no time courses can have, the drawn courses'
// correlation, band and variance against what the study asks, and their place in a run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <string>
#include <vector>

#include "tests/support/refusal.h"
#include "tests/support/temporary_folder.h"
#include "tolvane/simulate/network_fluctuations.h"
#include "tolvane/simulate/run_synthesis.h"
#include "tolvane/study/correlation_matrix.h"
#include "tolvane/study/study.h"

namespace tolvane::simulate {
namespace {

// Four single-voxel regions on a 6 x 6 x 2 grid of 1 mm voxels, 120 volumes of 2 s,
// no noise; `network` is the [[network]] section's keys.
study::Study networkStudy(const TemporaryFolder& folder, const std::string& network,
                          const std::string& keys = "") {
  folder.write("events.tsv", "onset\tduration\ttrial_type\n0\t10\tTask\n");
  std::string text = "protocol = \"events.tsv\"\nvolumes = 120\nnoise.sd = 0\n" + keys +
                     "\n[grid]\nbox = [100, 106, 100, 106, 100, 102]\nresolution = 1\n";
  const char* names[] = {"A", "B", "C", "D"};
  for (int r = 0; r < 4; ++r) {
    text += "[[region]]\nname = \"" + std::string(names[r]) + "\"\ncentre_voxel = [" +
            std::to_string(100 + r) + ", 101, 100]\nradius_voxels = 0.5\n";
  }
  text += "[[network]]\nregions = [\"A\", \"B\", \"C\", \"D\"]\n" + network + "\n";
  return study::loadStudy(folder.write("study.toml", text), {});
}

TEST(NetworkKeys, AMatrixThatNoCoursesCanHaveIsRefusedWithItsSmallestEigenvalue) {
  const TemporaryFolder folder;
  // Each of A, B, C correlates 0.9 with the next but A and C -0.9: eigenvalues 1.9, 1.9
  // and -0.8 in the upper block.
  const std::string message = refusal([&] {
    networkStudy(folder,
                 "amplitude = 1\ncorrelation = [[1, 0.9, -0.9, 0], [0.9, 1, 0.9, 0], "
                 "[-0.9, 0.9, 1, 0], [0, 0, 0, 1]]");
  });
  EXPECT_NE(message.find("key network[1].correlation: expected a positive semi-definite"),
            std::string::npos) << message;
  EXPECT_NE(message.find("smallest eigenvalue is -0.8"), std::string::npos) << message;
  // Modules that leave a region out, a matrix of the wrong size, a band above Nyquist.
  EXPECT_NE(refusal([&] {
              networkStudy(folder, "amplitude = 1\nmodules = [[\"A\", \"B\"], [\"C\"]]\n"
                                   "correlation = { within = 0.5, between = 0 }");
            }).find("expected every region of the network in a module"),
            std::string::npos);
  EXPECT_NE(refusal([&] { networkStudy(folder, "amplitude = 1\ncorrelation = [[1, 0], [0, 1]]"); })
                .find("expected a 4 x 4 matrix"),
            std::string::npos);
  EXPECT_NE(refusal([&] {
              networkStudy(folder, "amplitude = 1\ncorrelation = 0.3\nband_hz = [0.01, 0.3]");
            }).find("<= 0.25 (the Nyquist frequency of TR 2 s)"),
            std::string::npos);
  // A name that is no region's, listing the regions; and a region without effects that
  // no network takes as a node.
  const std::string unknown = refusal([&] {
    networkStudy(folder, "amplitude = 1\ncorrelation = 0.3\n[[network]]\n"
                         "regions = [\"E\", \"A\"]\namplitude = 1\ncorrelation = 0.3");
  });
  EXPECT_NE(unknown.find("expected names of the study's regions (A, B, C, D), found \"E\""),
            std::string::npos) << unknown;
  const std::string loose = refusal([&] {
    networkStudy(folder, "amplitude = 1\ncorrelation = 0.3",
                 "[[region]]\nname = \"E\"\ncentre_voxel = [104, 104, 101]\n"
                 "radius_voxels = 0.5\n");
  });
  EXPECT_NE(loose.find("or the region as a network's node"), std::string::npos) << loose;
}

TEST(CorrelationMatrix, SemidefiniteMatricesHaveAFactorAndDrawnOnesStayValid) {
  // Two nodes correlated exactly 1 and a third apart: singular but valid.
  const std::vector<double> r = {1, 1, 0, 1, 1, 0, 0, 0, 1};
  const auto factor = study::correlationFactor(r, 3);
  ASSERT_TRUE(factor.has_value());
  for (std::size_t i = 0; i < 3; ++i) {
    for (std::size_t j = 0; j < 3; ++j) {
      double product = 0.0;
      for (std::size_t k = 0; k < 3; ++k) product += (*factor)[i * 3 + k] * (*factor)[j * 3 + k];
      EXPECT_NEAR(product, r[i * 3 + j], 1e-12);
    }
  }
  // Large per-subject sds would break a 0.7-everywhere matrix of 6 nodes; every drawn
  // matrix stays a correlation matrix, and pairs of 1 stay 1.
  const std::size_t n = 6;
  std::vector<double> mean(n * n, 0.7), sd(n * n, 1.5);
  for (std::size_t i = 0; i < n; ++i) mean[i * n + i] = 1.0;
  mean[1] = mean[n] = 1.0;
  ASSERT_TRUE(study::correlationFactor(mean, n).has_value());
  std::vector<double> z(n * (n - 1) / 2);
  for (int draw = 0; draw < 50; ++draw) {
    for (std::size_t k = 0; k < z.size(); ++k) z[k] = std::sin(1.7 * (draw * 31 + k)) * 2.5;
    const std::vector<double> drawn = study::drawnCorrelation(mean, n, sd, z);
    EXPECT_TRUE(study::correlationFactor(drawn, n).has_value());
    EXPECT_EQ(drawn[1], 1.0);
    for (const double value : drawn) EXPECT_LE(std::fabs(value), 1.0);
  }
}

TEST(NetworkCourses, CorrelationVarianceAndBandAreTheStudysOverManyRuns) {
  const TemporaryFolder folder;
  // 400 runs: the mean of each run's (mean-free) product of courses estimates
  // R_ij A^2 without bias, since every course sums to 0 over the run.
  const study::Study study = networkStudy(
      folder,
      "amplitude = 2\nmodules = [[\"A\", \"B\"], [\"C\", \"D\"]]\n"
      "correlation = { within = 0.6, between = -0.2 }\nband_hz = [0.02, 0.08]",
      "subjects = 4\nruns = 99");
  const std::size_t n = 4;
  const int runs = 396;
  std::vector<double> sum(n * n, 0.0), squares(n * n, 0.0);
  const std::vector<int> band = study::bandFrequencies(120, 2.0, 0.02, 0.08);
  for (int place = 0; place < runs; ++place) {
    const NetworkRunTruth truth = networkRunTruth(study, place);
    for (std::size_t i = 0; i < n; ++i) {
      const std::vector<float>& x = truth.courses[i];
      // The spectrum of the first runs: no power outside the band's frequencies (up to
      // float rounding).
      double inside = 0.0, outside = 0.0;
      for (int k = 0; k <= 60 && place < 10; ++k) {
        std::complex<double> bin = 0.0;
        for (int t = 0; t < 120; ++t) {
          bin += double(x[t]) * std::polar(1.0, -2 * std::numbers::pi * k * t / 120);
        }
        const bool inBand = std::find(band.begin(), band.end(), k) != band.end();
        (inBand ? inside : outside) += std::norm(bin);
      }
      if (place < 10) {
        ASSERT_LT(outside, 1e-10 * inside) << "run " << place << " node " << i;
      }
      for (std::size_t j = 0; j < n; ++j) {
        double product = 0.0;
        for (int t = 0; t < 120; ++t) product += double(x[t]) * truth.courses[j][t];
        product /= 120.0 * 4.0;  // A^2 = 4
        sum[i * n + j] += product;
        squares[i * n + j] += product * product;
      }
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      const double mean = sum[i * n + j] / runs;
      const double error = std::sqrt((squares[i * n + j] / runs - mean * mean) / (runs - 1));
      const double asked = i == j ? 1.0 : (i / 2 == j / 2 ? 0.6 : -0.2);
      // Four standard errors: 16 entries, a chance of 1 in 1000 of a false alarm.
      EXPECT_NEAR(mean, asked, 4.0 * error) << i << "," << j;
    }
  }
}

TEST(NetworkCourses, ARunAddsEachNodesCourseToItsVoxelsAndWritesItsTruth) {
  const TemporaryFolder folder;
  const study::Study study = networkStudy(folder, "amplitude = \"3%\"\ncorrelation = 0.5");
  const Truth truth = runTruth(study, 0);
  ASSERT_EQ(truth.networks.nodeNames, (std::vector<std::string>{"A", "B", "C", "D"}));
  EXPECT_EQ(truth.networks.correlation[1], 0.5);
  const std::unique_ptr<float[]> data = synthesiseRun(study, truth, 0);
  // Noise sd 0 and no effect in the region: baseline + course, to the last bit.
  for (std::size_t node = 0; node < 4; ++node) {
    const std::int64_t voxel = study.regions[node].voxels.front();
    for (int t = 0; t < 120; ++t) {
      ASSERT_EQ(data[voxel * 120 + t], 100.0f + truth.networks.courses[node][t]);
    }
  }
}

}  // namespace
}  // namespace tolvane::simulate
