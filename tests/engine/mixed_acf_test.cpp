// The mixed-autocorrelation field against its definition: its empirical spatial
// autocorrelation at lags of 1-6 voxels, along an axis and along a diagonal, against
// a exp(-r^2 / (2 b^2)) + (1 - a) exp(-r / c), and its variance at the grid's faces
// and corners. The volumes of a run are independent, so each statistic's standard
// error is the spread of its per-volume values over the root of their count; the
// tolerances are five of them, plus the margin that the periodic box's truncation
// allows (rho below kMixedAcfReach beyond it).
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <complex>
#include <cstring>
#include <functional>
#include <tuple>
#include <vector>

#include "engine/counter_noise.h"
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
         {std::pair{"corners", corners}, std::pair{"face x = 0", faceX},
          std::pair{"centre", centre}}) {
      const Estimate variance = meanSquare(voxels);
      EXPECT_NEAR(variance.mean, 1.0, kStandardErrors * variance.standardError)
          << name << ", a = " << acf.a;
    }
  }
}

// Volumes 2p and 2p + 1 are the real and imaginary parts of one transform: two
// independent fields, each of variance 1, even at a face. A spectrum drawn with real
// deviates only, or scaled for one field instead of two, would correlate them or leave
// the variance to one of them. Anisotropic voxels and an odd grid give a box whose
// planes are not whole cache lines (30 x 30 x 40 bins).
TEST(MixedAcf, TheTwoVolumesOfOneTransformAreIndependentFieldsOfUnitVariance) {
  constexpr int kX = 17, kY = 13, kZ = 11, kT = 120;
  std::vector<float> values(static_cast<std::size_t>(kX) * kY * kZ * kT);
  const sim::VtcGrid grid{values.data(), kX, kY, kZ, kT, 0, 0, 0, 1};
  const sim::MixedAcfFilter filter({0.3, 3.0, 6.0}, kX, kY, kZ, {3.5, 3.0, 2.0});
  ASSERT_NE(filter.box()[0] * filter.box()[1] % 8, 0);
  sim::TimeCourseModels models;
  models.levels = sim::kStandardNormal;
  sim::makeStructuredNoise(grid, {5, 1}, filter, models);
  const auto at = [&](int x, int y, int z, int t) {
    return static_cast<double>(
        values[static_cast<std::size_t>(grid.timeCourseOffset(x, y, z) + t)]);
  };
  // Per transform p: the mean product of its two fields at the same voxel and one voxel
  // apart along x, and each field's mean square over the face x = 0.
  std::vector<double> same(kT / 2), apart(kT / 2), realFace(kT / 2), imaginaryFace(kT / 2);
  for (int p = 0; p < kT / 2; ++p) {
    double sumSame = 0.0, sumApart = 0.0, sumReal = 0.0, sumImaginary = 0.0;
    for (int z = 0; z < kZ; ++z)
      for (int y = 0; y < kY; ++y) {
        for (int x = 0; x < kX; ++x) sumSame += at(x, y, z, 2 * p) * at(x, y, z, 2 * p + 1);
        for (int x = 0; x + 1 < kX; ++x)
          sumApart += at(x, y, z, 2 * p) * at(x + 1, y, z, 2 * p + 1);
        sumReal += std::pow(at(0, y, z, 2 * p), 2);
        sumImaginary += std::pow(at(0, y, z, 2 * p + 1), 2);
      }
    same[p] = sumSame / (kX * kY * kZ);
    apart[p] = sumApart / ((kX - 1) * kY * kZ);
    realFace[p] = sumReal / (kY * kZ);
    imaginaryFace[p] = sumImaginary / (kY * kZ);
  }
  for (const auto& [name, statistic, expected] :
       {std::tuple{"same voxel", same, 0.0}, std::tuple{"one voxel apart", apart, 0.0},
        std::tuple{"real part's variance", realFace, 1.0},
        std::tuple{"imaginary part's variance", imaginaryFace, 1.0}}) {
    const Estimate estimate = meanOfIndependent(statistic);
    EXPECT_NEAR(estimate.mean, expected, kStandardErrors * estimate.standardError) << name;
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
  EXPECT_EQ(
      std::memcmp(serial.values.data(), split.values.data(), serial.values.size() * sizeof(float)),
      0);
}

// Every vector path takes the lane blocks apart in its own register width; the values
// are the same bits. The box is wider than two lane blocks and not a whole number of
// them, the last block of volumes is partial, and the field is put on levels.
TEST(MixedAcf, GivesTheSameBitsOnEveryVectorPath) {
  constexpr int kX = 23, kY = 6, kZ = 5, kT = 45;
  const sim::MixedAcfFilter filter({0.5, 3.0, 6.0}, kX, kY, kZ, {3.0, 3.0, 3.0});
  ASSERT_GT(filter.box()[0], 32);
  ASSERT_NE(filter.box()[0] % 16, 0);
  const std::size_t size = static_cast<std::size_t>(kX) * kY * kZ * kT;
  const sim::Levels levels{100.0f, 4.5f};
  std::vector<float> reference(size, -1.0f);
  filter.fill({reference.data(), kX, kY, kZ, kT, 0, 0, 0, 1}, {5, 2}, levels, sim::runSerially,
              tolvane::cpu::VectorPath::kPortable);
  for (const tolvane::cpu::VectorPath path : tolvane::cpu::availableVectorPaths()) {
    std::vector<float> values(size, -2.0f);
    filter.fill({values.data(), kX, kY, kZ, kT, 0, 0, 0, 1}, {5, 2}, levels, sim::runSerially,
                path);
    EXPECT_EQ(std::memcmp(values.data(), reference.data(), size * sizeof(float)), 0)
        << "path " << static_cast<int>(path);
  }
}

namespace {

using BoxValues = std::vector<std::complex<double>>;

// The DFT along one axis of a box (x fastest), in double: sign -1 forward, +1 backward,
// unnormalised.
void dftAlong(BoxValues& values, const std::array<int, 3>& n, int axis, int sign) {
  const std::size_t stride = axis == 0 ? 1 : axis == 1 ? n[0] : static_cast<std::size_t>(n[0]) * n[1];
  const int length = n[axis];
  std::vector<std::complex<double>> line(length);
  for (std::size_t start = 0; start < values.size(); ++start) {
    if (start / stride % length != 0) continue;  // not the first element of its line
    for (int j = 0; j < length; ++j) line[j] = values[start + j * stride];
    for (int k = 0; k < length; ++k) {
      std::complex<double> sum = 0.0;
      for (int j = 0; j < length; ++j)
        sum += line[j] * std::polar(1.0, sign * 2.0 * M_PI * (static_cast<long>(j) * k % length) / length);
      values[start + k * stride] = sum;
    }
  }
}

}  // namespace

// Every value of a run against the field's definition evaluated in double: S the DFT of
// rho at the box's minimum-image lags, g = sqrt(max(S, 0) / sum max(S, 0)), and volumes
// 4b + 2h, 4b + 2h + 1 the real and imaginary parts of the backward DFT of g Z, Z the
// deviates 2h, 2h + 1 of time block b's lane streams, in their documented order of bins. The grid's and
// the box's sides are not whole lane blocks, the voxels are anisotropic and the last
// block of volumes is partial, so any slip in the pruned axes, the turned planes or the
// writing of the courses shows.
TEST(MixedAcf, IsTheBackwardTransformOfItsScaledSpectrumAtEveryVoxel) {
  constexpr int kX = 11, kY = 7, kZ = 5, kT = 10;
  const std::array<double, 3> voxelMm{3.0, 2.5, 3.5};
  const sim::MixedAcf acf{0.5, 2.0, 3.0};
  std::vector<float> values(static_cast<std::size_t>(kX) * kY * kZ * kT);
  const sim::VtcGrid grid{values.data(), kX, kY, kZ, kT, 0, 0, 0, 1};
  const sim::MixedAcfFilter filter(acf, kX, kY, kZ, voxelMm);
  const sim::FieldKey key{21, 2};
  sim::TimeCourseModels models;
  models.levels = sim::kStandardNormal;
  sim::makeStructuredNoise(grid, key, filter, models);

  const std::array<int, 3> box = filter.box();
  ASSERT_NE(box[0] % 16, 0);
  const std::size_t bins = static_cast<std::size_t>(box[0]) * box[1] * box[2];
  BoxValues spectrum(bins);
  for (std::size_t k = 0; k < bins; ++k) {
    const int x = k % box[0], y = k / box[0] % box[1], z = k / (box[0] * box[1]);
    const double dx = std::min(x, box[0] - x) * voxelMm[0];
    const double dy = std::min(y, box[1] - y) * voxelMm[1];
    const double dz = std::min(z, box[2] - z) * voxelMm[2];
    spectrum[k] = acf.at(std::sqrt(dx * dx + dy * dy + dz * dz));
  }
  for (int axis = 0; axis < 3; ++axis) dftAlong(spectrum, box, axis, -1);
  double total = 0.0;
  for (const auto& s : spectrum) total += std::max(s.real(), 0.0);

  const sim::FieldKey spectrumKey{key.seed, key.run, sim::kSpectrumStream};
  const int rows = box[1] * box[2];
  const std::vector<float> ones(16 * static_cast<std::size_t>(rows), 1.0f);
  double worst = 0.0;
  for (int block = 0; 4 * block < kT; ++block) {
    // Each lane block's rows (ky, kz) of deviates, in the order its streams draw them.
    std::vector<float> pairs[2];
    for (auto& p : pairs) p.resize(32 * static_cast<std::size_t>(rows) * ((box[0] + 15) / 16));
    for (int laneBlock = 0; 16 * laneBlock < box[0]; ++laneBlock) {
      sim::LaneStreams streams = sim::laneStreamsOf(spectrumKey, block, laneBlock);
      const std::size_t at = 32 * static_cast<std::size_t>(rows) * laneBlock;
      sim::scaledStreamPairs(streams, rows, 16, ones.data(), 32, &pairs[0][at], &pairs[1][at]);
    }
    for (int half = 0; half < 2 && 4 * block + 2 * half < kT; ++half) {
      BoxValues field(bins);
      for (std::size_t k = 0; k < bins; ++k) {
        const int x = k % box[0], row = static_cast<int>(k / box[0]);  // row = kz * boxY + ky
        const std::size_t re = 32 * (static_cast<std::size_t>(rows) * (x / 16) + row) + x % 16;
        const double gain = std::sqrt(std::max(spectrum[k].real(), 0.0) / total);
        field[k] = gain * std::complex<double>(pairs[half][re], pairs[half][re + 16]);
      }
      for (int axis = 0; axis < 3; ++axis) dftAlong(field, box, axis, +1);
      const int t = 4 * block + 2 * half;
      for (int z = 0; z < kZ; ++z)
        for (int y = 0; y < kY; ++y)
          for (int x = 0; x < kX; ++x) {
            const auto& expected = field[(static_cast<std::size_t>(z) * box[1] + y) * box[0] + x];
            const float* course = &values[static_cast<std::size_t>(grid.timeCourseOffset(x, y, z))];
            worst = std::max(worst, std::abs(course[t] - expected.real()));
            if (t + 1 < kT) worst = std::max(worst, std::abs(course[t + 1] - expected.imag()));
          }
    }
  }
  // Values of sd 1 from single-precision transforms of a few hundred bins per axis.
  EXPECT_LT(worst, 2e-5);
}

// Levels alone are put on as the field is written; the values are those of the field put
// on them afterwards, (s * f) + b, bit for bit.
TEST(MixedAcf, PutsTheFieldOnItsLevelsAsItIsWritten) {
  constexpr int kX = 12, kY = 9, kZ = 7, kT = 40;
  const sim::MixedAcfFilter filter({0.5, 3.0, 5.0}, kX, kY, kZ, {3.0, 3.0, 3.0});
  const std::size_t size = static_cast<std::size_t>(kX) * kY * kZ * kT;
  std::vector<float> field(size), onLevels(size);
  const sim::Levels levels{100.0f, 4.5f};
  sim::TimeCourseModels standard, scaled;
  standard.levels = sim::kStandardNormal;
  scaled.levels = levels;
  sim::makeStructuredNoise({field.data(), kX, kY, kZ, kT, 0, 0, 0, 1}, {3, 1}, filter, standard);
  sim::makeStructuredNoise({onLevels.data(), kX, kY, kZ, kT, 0, 0, 0, 1}, {3, 1}, filter, scaled);
  for (float& value : field) value = levels.noiseAmplitude * value + levels.baseline;
  EXPECT_EQ(std::memcmp(field.data(), onLevels.data(), size * sizeof(float)), 0);
}
