// The mixed-autocorrelation field against its definition: its empirical spatial
// autocorrelation at lags of 1-6 voxels, along an axis and along a diagonal, against
// a exp(-r^2 / (2 b^2)) + (1 - a) exp(-r / c), and its variance at the grid's faces
// and corners. The volumes of a run are independent, so each statistic's standard
// error is the spread of its per-volume values over the root of their count; the
// tolerances are five of them, plus the margin that the periodic box's truncation
// allows (rho below kMixedAcfReach beyond it).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <vector>

#include "engine/noise_models.h"
#include "tests/engine/sample_estimates.h"

namespace sim = tolvane::engine;

namespace {

using namespace tolvane::engine::testing;

struct MixedRun {
  static constexpr int kX = 20, kY = 14, kZ = 12, kT = 160;
  static constexpr double kVoxelMm = 3.0;
  std::vector<float> values = std::vector<float>(static_cast<std::size_t>(kX) * kY * kZ * kT);
  sim::VtcGrid grid{values.data(), kX, kY, kZ, kT, 0, 0, 0, 1};

  MixedRun(const sim::MixedAcf& acf, const sim::ParallelFor& parallel = sim::runSerially) {
    const sim::MixedAcfFilter filter(acf, kX, kY, kZ, {kVoxelMm, kVoxelMm, kVoxelMm});
    sim::TimeCourseModels models;
    models.levels = sim::kStandardNormal;
    sim::makeStructuredNoise(grid, {11, 3}, filter, models, parallel);
  }
  float at(int x, int y, int z, int t) const {
    return values[static_cast<std::size_t>(grid.timeCourseOffset(x, y, z) + t)];
  }
};

// The mean over volumes of a per-volume statistic, with its standard error.
Estimate overVolumes(const std::function<double(int t)>& statistic) {
  std::vector<double> values(MixedRun::kT);
  for (int t = 0; t < MixedRun::kT; ++t) values[t] = statistic(t);
  return meanOfIndependent(values);
}

// The mean product of voxel pairs (x, y, z) and (x + dx, y + dy, z) in volume t: with
// mean 0 and variance 1 known, it estimates the correlation at that lag.
double lagProduct(const MixedRun& run, int dx, int dy, int t) {
  double sum = 0.0;
  int pairs = 0;
  for (int z = 0; z < MixedRun::kZ; ++z)
    for (int y = 0; y + dy < MixedRun::kY; ++y)
      for (int x = 0; x + dx < MixedRun::kX; ++x, ++pairs)
        sum += static_cast<double>(run.at(x, y, z, t)) * run.at(x + dx, y + dy, z, t);
  return sum / pairs;
}

}  // namespace

TEST(MixedAcf, HasTheMixedAutocorrelationAtLagsOfOneToSixVoxels) {
  const sim::MixedAcf acf{0.4, 4.0, 9.0};
  const MixedRun run(acf);
  for (int lag = 1; lag <= 6; ++lag) {
    const Estimate alongX = overVolumes([&](int t) { return lagProduct(run, lag, 0, t); });
    EXPECT_NEAR(alongX.mean, acf.at(lag * MixedRun::kVoxelMm),
                kStandardErrors * alongX.standardError + sim::kMixedAcfReach)
        << "lag " << lag << " along x";
    // Along the diagonal the distance is Euclidean: a field shaped axis by axis
    // would have exp(-2 lag / c) there instead.
    const Estimate diagonal = overVolumes([&](int t) { return lagProduct(run, lag, lag, t); });
    EXPECT_NEAR(diagonal.mean, acf.at(std::sqrt(2.0) * lag * MixedRun::kVoxelMm),
                kStandardErrors * diagonal.standardError + sim::kMixedAcfReach)
        << "lag " << lag << " along the diagonal";
  }
}

TEST(MixedAcf, KeepsUnitVarianceAtTheFacesAndCornersAndPureModelsToo) {
  for (const sim::MixedAcf acf : {sim::MixedAcf{0.4, 4.0, 9.0}, sim::MixedAcf{1.0, 5.0, 0.0},
                                  sim::MixedAcf{0.0, 0.0, 12.0}}) {
    const MixedRun run(acf);
    const int lastX = MixedRun::kX - 1, lastY = MixedRun::kY - 1, lastZ = MixedRun::kZ - 1;
    const auto meanSquare = [&](const std::vector<std::array<int, 3>>& voxels) {
      return overVolumes([&](int t) {
        double sum = 0.0;
        for (const auto& v : voxels) sum += std::pow(run.at(v[0], v[1], v[2], t), 2);
        return sum / voxels.size();
      });
    };
    std::vector<std::array<int, 3>> corners, faceX, centre;
    for (const int x : {0, lastX})
      for (const int y : {0, lastY})
        for (const int z : {0, lastZ}) corners.push_back({x, y, z});
    for (int y = 0; y <= lastY; ++y)
      for (int z = 0; z <= lastZ; ++z) faceX.push_back({0, y, z});
    centre.push_back({MixedRun::kX / 2, MixedRun::kY / 2, MixedRun::kZ / 2});
    for (const auto& [name, voxels] :
         {std::pair{"corners", corners}, std::pair{"face x = 0", faceX}, std::pair{"centre", centre}}) {
      const Estimate variance = meanSquare(voxels);
      EXPECT_NEAR(variance.mean, 1.0, kStandardErrors * variance.standardError)
          << name << ", a = " << acf.a;
    }
  }
}

// Volumes are shared out between threads; each volume's values are its own.
TEST(MixedAcf, GivesTheSameBitsHoweverTheVolumesAreSplitBetweenThreads) {
  const sim::MixedAcf acf{0.5, 4.0, 8.0};
  const MixedRun serial(acf);
  const MixedRun split(acf, [](std::int64_t count,
                               const std::function<void(std::int64_t, std::int64_t)>& body) {
    for (std::int64_t begin = 0, piece = 1; begin < count; begin += piece, piece = piece * 3 + 1)
      body(begin, std::min(count, begin + piece));
  });
  EXPECT_EQ(std::memcmp(serial.values.data(), split.values.data(),
                        serial.values.size() * sizeof(float)),
            0);
}
