// The counter-based noise field: its documented key and counter layout, its
// independence from how the work is split and from the vector path, and the accuracy
// of its transforms.
#include <Random123/philox.h>
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <vector>

#include "engine/counter_noise.h"

namespace tolvane::engine {
namespace {

using cpu::VectorPath;

constexpr FieldKey kKey{12345, 7};

// Box-Muller in double from four words, as the header documents it.
void boxMuller(const std::uint32_t words[4], double out[4]) {
  for (int pair = 0; pair < 2; ++pair) {
    const double u = ((words[2 * pair] >> 9) + 0.5) / 8388608.0;
    const double a = 2.0 * M_PI * (words[2 * pair + 1] >> 8) / 16777216.0;
    const double r = std::sqrt(-2.0 * std::log(u));
    out[2 * pair] = r * std::cos(a);
    out[2 * pair + 1] = r * std::sin(a);
  }
}

// The deviates of one counter.
void referenceDeviates(const FieldKey& key, std::int64_t voxel, std::uint32_t block,
                       double out[4]) {
  const r123::Philox4x32 philox;
  const auto voxelBits = static_cast<std::uint64_t>(voxel);
  const r123::Philox4x32::ctr_type counter = {{block, static_cast<std::uint32_t>(voxelBits),
                                               static_cast<std::uint32_t>(voxelBits >> 32), 0}};
  const auto words = philox(counter, {{key.seed, key.run}});
  boxMuller(words.v, out);
}

TEST(CounterNoise, DeviatesFollowTheDocumentedKeyAndCounterLayout) {
  // Voxels beyond 2^32 check that the voxel's high bits reach the counter.
  for (const std::int64_t voxel :
       {std::int64_t{0}, std::int64_t{106719}, (std::int64_t{1} << 32) + 5}) {
    std::vector<float> deviates(70);
    fieldDeviates(kKey, voxel, 0, 70, deviates.data());
    for (int t = 0; t < 70; ++t) {
      double expected[4];
      referenceDeviates(kKey, voxel, static_cast<std::uint32_t>(t / 4), expected);
      // The float transforms are within a few ulps of the double ones; values reach
      // 5.8, so 1e-5 absolute is about 16 ulps there and far below any real fault.
      EXPECT_NEAR(deviates[t], expected[t % 4], 1e-5) << "voxel " << voxel << ", t " << t;
    }
  }
}

TEST(CounterNoise, AnySubsetOfTheFieldIsTheSameAsThatPartOfTheWhole) {
  constexpr int kDimX = 5, kDimY = 4, kDimZ = 3, kTimePoints = 37;  // not a multiple of 4
  const int values = kDimX * kDimY * kDimZ * kTimePoints;
  std::vector<float> whole(values), pieces(values);
  const Levels levels{100.0f, 5.0f};
  const VtcGrid wholeGrid{whole.data(), kDimX, kDimY, kDimZ, kTimePoints, 0, 0, 0, 1};
  const VtcGrid pieceGrid{pieces.data(), kDimX, kDimY, kDimZ, kTimePoints, 0, 0, 0, 1};
  fillCounterNoise(wholeGrid, levels, kKey, 0, wholeGrid.voxelCount());
  // Filled backwards in uneven pieces, as threads might.
  fillCounterNoise(pieceGrid, levels, kKey, 41, 60);
  fillCounterNoise(pieceGrid, levels, kKey, 7, 41);
  fillCounterNoise(pieceGrid, levels, kKey, 0, 7);
  EXPECT_EQ(std::memcmp(whole.data(), pieces.data(), values * sizeof(float)), 0);

  // One voxel's stretch of time points from an odd start, as the effect passes ask.
  std::vector<float> stretch(13);
  fieldDeviates(kKey, 17, 9, 13, stretch.data());
  for (int i = 0; i < 13; ++i) {
    const float value = levels.noiseAmplitude * stretch[i] + levels.baseline;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(value),
              std::bit_cast<std::uint32_t>(whole[17 * kTimePoints + 9 + i]));
  }

  // Another run of the same seed shares no value with this one.
  std::vector<float> otherRun(values);
  const VtcGrid otherGrid{otherRun.data(), kDimX, kDimY, kDimZ, kTimePoints, 0, 0, 0, 1};
  fillCounterNoise(otherGrid, levels, {kKey.seed, kKey.run + 1}, 0, otherGrid.voxelCount());
  int shared = 0;
  for (int i = 0; i < values; ++i) shared += whole[i] == otherRun[i];
  EXPECT_LE(shared, 2);  // a chance coincidence of two floats near 100 is rare
}

TEST(CounterNoise, EveryVectorPathGivesThePortableBits) {
  // Keys at the ends of their ranges and a second stream; time courses shorter than a
  // counter, ending inside a counter, inside a batch, or exactly on a batch's end; a
  // voxel range that starts and ends inside the grid.
  const FieldKey keys[] = {kKey, {0, 0}, {0xffffffffu, 0xfffffffeu, kDriftStream}};
  const int timeCourses[] = {1, 3, 4, 5, 63, 64, 65, 250, 253};
  constexpr int kDimX = 9, kDimY = 7, kDimZ = 5;
  const Levels levels{100.0f, 5.0f};
  for (const VectorPath path : cpu::availableVectorPaths()) {
    SCOPED_TRACE(cpu::nameOf(path));
    for (const FieldKey& key : keys) {
      for (const int timePoints : timeCourses) {
        const std::size_t values = std::size_t{kDimX} * kDimY * kDimZ * timePoints;
        // NaN everywhere, so that a store outside the range is seen as well.
        std::vector<float> portable(values, NAN), here(values, NAN);
        const VtcGrid portableGrid{portable.data(), kDimX, kDimY, kDimZ, timePoints, 0, 0, 0, 1};
        const VtcGrid grid{here.data(), kDimX, kDimY, kDimZ, timePoints, 0, 0, 0, 1};
        const std::int64_t end = grid.voxelCount() - 3;
        fillCounterNoise(portableGrid, levels, key, 2, end, VectorPath::kPortable);
        fillCounterNoise(grid, levels, key, 2, end, path);
        EXPECT_EQ(std::memcmp(portable.data(), here.data(), values * sizeof(float)), 0)
            << timePoints << " time points";
      }
    }
    // Stretches of one voxel from any start, the voxel's high bits included.
    for (const std::int64_t voxel : {std::int64_t{3}, (std::int64_t{1} << 40) + 77}) {
      for (const int first : {0, 1, 6, 63, 64}) {
        constexpr int kCount = 131;
        float portable[kCount], here[kCount];
        fieldDeviates(kKey, voxel, first, kCount, portable, VectorPath::kPortable);
        fieldDeviates(kKey, voxel, first, kCount, here, path);
        EXPECT_EQ(std::memcmp(portable, here, sizeof portable), 0) << "from " << first;
      }
      // The voxel's stream deviates combined with a time course, added and taken in
      // magnitude, against the definitions on the deviates; a NaN after the course must
      // stay.
      for (const int timePoints : {1, 5, 17, 65, 128, 131, 250}) {
        std::vector<float> deviates(timePoints), start(timePoints + 1, NAN);
        voxelStreamDeviates(kKey, voxel, timePoints, deviates.data(), VectorPath::kPortable);
        for (int t = 0; t < timePoints; ++t) start[t] = 0.37f * static_cast<float>(t) - 20.0f;
        std::vector<float> added(start), magnitude(start), expectedSum(start),
            expectedMagnitude(start);
        for (int t = 0; t < timePoints; ++t) {
          const float imaginary = 1.5f * deviates[t];
          expectedSum[t] = start[t] + imaginary;
          expectedMagnitude[t] = std::sqrt(start[t] * start[t] + imaginary * imaginary);
        }
        addStreamNoise(added.data(), voxel, timePoints, 1.5f, kKey, path);
        magnitudeWithStreamNoise(magnitude.data(), voxel, timePoints, 1.5f, kKey, path);
        const std::size_t bytes = added.size() * sizeof(float);
        EXPECT_EQ(std::memcmp(added.data(), expectedSum.data(), bytes), 0) << timePoints;
        EXPECT_EQ(std::memcmp(magnitude.data(), expectedMagnitude.data(), bytes), 0) << timePoints;
      }
    }
  }
}

// One counter's deviates of successive voxels by lane, as the drifts draw their
// coefficients: on every path each voxel's own deviates, for groups that end inside a
// batch of sixteen and voxel indices that carry from their low word into their high one;
// lanes past the group are +0.
TEST(CounterNoise, DeviatesOfSuccessiveVoxelsByLaneAreEachVoxelsOwn) {
  const FieldKey key{kKey.seed, kKey.run, kDriftStream};
  constexpr std::uint32_t kBlock = 62;
  for (const VectorPath path : cpu::availableVectorPaths()) {
    SCOPED_TRACE(cpu::nameOf(path));
    for (const std::int64_t start : {std::int64_t{5}, (std::int64_t{1} << 32) - 20}) {
      for (const int count : {1, 16, 21, kVoxelsByLane}) {
        std::vector<float> deviates(kDeviatesPerCounter * kVoxelsByLane, NAN);
        voxelDeviatesByLane(key, start, count, kBlock, deviates.data(), path);
        for (int j = 0; j < kVoxelsByLane; ++j) {
          float expected[4] = {0.0f, 0.0f, 0.0f, 0.0f};
          if (j < count) fieldDeviates(key, start + j, 4 * kBlock, 4, expected, VectorPath::kPortable);
          for (int i = 0; i < 4; ++i)
            EXPECT_EQ(std::bit_cast<std::uint32_t>(deviates[i * kVoxelsByLane + j]),
                      std::bit_cast<std::uint32_t>(expected[i]))
                << "voxel " << j << " of " << count << ", deviate " << i;
        }
      }
    }
  }
}

// One lane stream by its definition: xoshiro128+ from the words of a counter.
class ReferenceStream {
 public:
  ReferenceStream(const FieldKey& key, const std::array<std::uint32_t, 3>& counter) {
    const r123::Philox4x32 philox;
    const auto seed = philox({{counter[0], counter[1], counter[2], key.stream}}, {{key.seed, key.run}});
    for (int i = 0; i < 4; ++i) s_[i] = seed.v[i];
  }
  std::uint32_t next() {
    const std::uint32_t word = s_[0] + s_[3], t = s_[1] << 9;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = (s_[3] << 11) | (s_[3] >> 21);
    return word;
  }

 private:
  std::uint32_t s_[4];
};

// A voxel's stream deviates follow their definition on every path, for a voxel whose
// index needs its high word: lane l's k-th pair gives time points 32k + l and
// 32k + 16 + l.
TEST(CounterNoise, VoxelStreamsFollowTheirDefinitionOnEveryPath) {
  const FieldKey key{kKey.seed, kKey.run, kThermalStream};
  const std::int64_t voxel = (std::int64_t{3} << 32) + 12345;
  constexpr int kTimePoints = 83;
  std::vector<double> expected(96);
  for (std::uint32_t lane = 0; lane < 16; ++lane) {
    ReferenceStream stream(key, {lane, 12345, 3});
    for (int k = 0; k < 3; ++k) {
      std::uint32_t words[4] = {stream.next(), stream.next(), 0, 0};
      double pair[4];
      boxMuller(words, pair);
      expected[32 * k + lane] = pair[0];
      expected[32 * k + 16 + lane] = pair[1];
    }
  }
  std::vector<float> reference;
  for (const VectorPath path : cpu::availableVectorPaths()) {
    SCOPED_TRACE(cpu::nameOf(path));
    std::vector<float> deviates(kTimePoints + 1, NAN);
    voxelStreamDeviates(key, voxel, kTimePoints, deviates.data(), path);
    for (int t = 0; t < kTimePoints; ++t) EXPECT_NEAR(deviates[t], expected[t], 1e-5) << "t " << t;
    EXPECT_TRUE(std::isnan(deviates[kTimePoints]));
    if (reference.empty()) reference = deviates;
    EXPECT_EQ(std::memcmp(deviates.data(), reference.data(), kTimePoints * sizeof(float)), 0);
  }
}

// Lane streams follow their definition (seeds from the counter field, xoshiro128+
// words, the field's Box-Muller transform) and give the same bits on every path, drawn
// in one call or several; lanes past `lanes` are +0 and their streams still advance.
TEST(CounterNoise, LaneStreamsFollowTheirDefinitionOnEveryPath) {
  const FieldKey key{kKey.seed, kKey.run, kSpectrumStream};
  constexpr std::uint32_t kBlock = 9, kLaneBlock = 3;
  constexpr int kRows = 70, kLanes = 11, kPitch = 40;
  std::vector<float> scale(16 * kRows);
  for (std::size_t i = 0; i < scale.size(); ++i) scale[i] = 0.5f + 0.003f * i;

  // Every word and deviate by the definition, one stream at a time.
  std::vector<double> expected(4 * 16 * kRows);
  for (int lane = 0; lane < 16; ++lane) {
    ReferenceStream stream(key, {kBlock, kLaneBlock, static_cast<std::uint32_t>(lane)});
    for (int r = 0; r < kRows; ++r) {
      std::uint32_t words[4];
      for (std::uint32_t& word : words) word = stream.next();
      boxMuller(words, &expected[4 * (16 * r + lane)]);
    }
  }

  std::vector<float> reference;
  for (const VectorPath path : cpu::availableVectorPaths()) {
    SCOPED_TRACE(cpu::nameOf(path));
    std::vector<float> first(kRows * kPitch, NAN), second(kRows * kPitch, NAN);
    LaneStreams streams = laneStreamsOf(key, kBlock, kLaneBlock);
    scaledStreamPairs(streams, 30, kLanes, scale.data(), kPitch, first.data(), second.data(), path);
    scaledStreamPairs(streams, kRows - 30, kLanes, scale.data() + 16 * 30, kPitch,
                      first.data() + 30 * kPitch, second.data() + 30 * kPitch, path);
    for (int r = 0; r < kRows; ++r)
      for (int lane = 0; lane < 16; ++lane) {
        const std::size_t re = r * kPitch + lane, im = re + 16;
        const float got[4] = {first[re], first[im], second[re], second[im]};
        for (int d = 0; d < 4; ++d) {
          if (lane >= kLanes) {
            EXPECT_EQ(std::bit_cast<std::uint32_t>(got[d]), 0u) << "row " << r << ", lane " << lane;
            continue;
          }
          // Box-Muller in float is within a few ulps of double's; values reach 5.8 times
          // a scale below 1.6, so 2e-5 is some 20 ulps and far below any wrong word.
          const double want = expected[4 * (16 * r + lane) + d] * scale[16 * r + lane];
          EXPECT_NEAR(got[d], want, 2e-5) << "row " << r << ", lane " << lane << ", d" << d;
        }
      }
    for (int r = 0; r < kRows; ++r)
      for (int gap = 32; gap < kPitch; ++gap)
        EXPECT_TRUE(std::isnan(first[r * kPitch + gap]) && std::isnan(second[r * kPitch + gap]));
    first.insert(first.end(), second.begin(), second.end());
    if (reference.empty()) reference = first;
    EXPECT_EQ(std::memcmp(first.data(), reference.data(), first.size() * sizeof(float)), 0)
        << "not the same bits as the first path's";
  }
}

TEST(CounterNoise, TransformsAreWithinAFewUlpsOfTheirDefinitions) {
  // Every exponent and a spread of mantissas of the uniforms the field can produce.
  double worstLog = 0.0;
  for (std::uint32_t k = 0; k < (1u << 23); k += 997) {
    const float u = (static_cast<float>(k) + 0.5f) * 0x1p-23f;
    const double exact = std::log(static_cast<double>(u));
    const double ulp = std::nextafter(static_cast<float>(std::fabs(exact)), FLT_MAX) -
                       static_cast<float>(std::fabs(exact));
    worstLog = std::max(worstLog, std::fabs(fieldLog(u) - exact) / ulp);
  }
  EXPECT_LE(worstLog, 2.0);

  // Angles in every octant, both ends of each included. The error is measured against
  // the largest value (1), since near a zero of cos or sin the absolute error is what
  // the deviate feels.
  double worstTrig = 0.0;
  std::vector<std::uint32_t> angles;
  for (std::uint32_t k = 0; k < (1u << 24); k += 4099) angles.push_back(k);
  for (std::uint32_t octant = 0; octant < 8; ++octant) {
    angles.push_back(octant << 21);
    angles.push_back((octant << 21) - 1u + (octant == 0 ? (1u << 24) : 0u));
  }
  for (const std::uint32_t k : angles) {
    float c, s;
    fieldCosSin(k, &c, &s);
    const double a = 2.0 * M_PI * k / 16777216.0;
    worstTrig = std::max({worstTrig, std::fabs(c - std::cos(a)), std::fabs(s - std::sin(a))});
  }
  EXPECT_LE(worstTrig, 2.0 * FLT_EPSILON);
}

TEST(CounterNoise, DeviatesHaveTheMomentsOfAStandardNormal) {
  constexpr int kCount = 1 << 20;
  std::vector<float> deviates(kCount);
  for (int voxel = 0; voxel < kCount / 256; ++voxel) {
    fieldDeviates(kKey, voxel, 0, 256, deviates.data() + voxel * 256);
  }
  double sum = 0, squares = 0, fourth = 0, beyondTwo = 0;
  for (const float g : deviates) {
    sum += g;
    squares += double(g) * g;
    fourth += double(g) * g * g * g;
    beyondTwo += std::fabs(g) > 2.0f;
  }
  const double n = kCount;
  // Bounds of five standard errors: sd of the mean 1/sqrt(n), of the mean square
  // sqrt(2/n), of the fourth moment sqrt(96/n), of a proportion sqrt(p(1-p)/n).
  EXPECT_NEAR(sum / n, 0.0, 5.0 / std::sqrt(n));
  EXPECT_NEAR(squares / n, 1.0, 5.0 * std::sqrt(2.0 / n));
  EXPECT_NEAR(fourth / n, 3.0, 5.0 * std::sqrt(96.0 / n));
  const double p = 0.0455003;  // P(|g| > 2)
  EXPECT_NEAR(beyondTwo / n, p, 5.0 * std::sqrt(p * (1 - p) / n));
}

}  // namespace
}  // namespace tolvane::engine
