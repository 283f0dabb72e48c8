#include "simulation/line_ring.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "numerics/vector_path.h"

using tolvane::simulation::LineRing;

namespace {

// Row t holds t * 65536 + v for voxel v: exact in float for t < 256 and v < 65536, so
// that every stored value names the time point and voxel it came from.
float label(int t, std::int64_t v) { return static_cast<float>(t * 65536 + v); }

// Draws every round into a ring and stores it, as the noise pass does, into courses
// that start `offset` floats into an allocation with room around it; every course
// must then hold its own time points, and the room must be untouched.
void expectCoursesFromTheRing(std::int64_t voxels, int timePoints, std::size_t offset,
                              tolvane::cpu::VectorPath path) {
  constexpr std::size_t kMargin = 32;
  constexpr float kUntouched = -1.0f;
  const std::size_t values = static_cast<std::size_t>(voxels) * timePoints;
  std::vector<float> storage(offset + values + kMargin, kUntouched);
  float* courses = storage.data() + offset;
  const LineRing ring(courses, voxels, timePoints);
  ASSERT_TRUE(ring);
  for (int round = 0; round * LineRing::kRoundTimePoints < timePoints; ++round) {
    for (int k = 0; k < LineRing::kRoundTimePoints; ++k) {
      const int t = round * LineRing::kRoundTimePoints + k;
      if (t >= timePoints) break;
      for (std::int64_t v = 0; v < voxels; ++v) ring.row(t)[v] = label(t, v);
    }
    ring.storeRound(round, path);
  }
  int wrong = 0;
  for (std::int64_t v = 0; v < voxels; ++v)
    for (int t = 0; t < timePoints; ++t)
      if (courses[v * timePoints + t] != label(t, v) && ++wrong <= 3)
        ADD_FAILURE() << "voxel " << v << ", time point " << t << ": "
                      << courses[v * timePoints + t];
  EXPECT_EQ(wrong, 0);
  for (std::size_t i = 0; i < offset; ++i) EXPECT_EQ(storage[i], kUntouched) << "before, " << i;
  for (std::size_t i = offset + values; i < storage.size(); ++i)
    EXPECT_EQ(storage[i], kUntouched) << "after, " << i - offset - values;
}

}  // namespace

TEST(LineRing, HandsEveryValueToItsCourseOnEveryPath) {
  // 1000 voxels fill 62 groups of 16 and leave 8; 997 leave a rest on every path. 250
  // time points as in a default run (16 rounds, the last partial), 256 (whole rounds
  // only) and 17 (a whole first round and one more value); offsets move every course's
  // line boundaries.
  for (const auto path : tolvane::cpu::availableVectorPaths()) {
    for (const std::int64_t voxels : {1000, 997}) {
      for (const int timePoints : {250, 256, 17}) {
        for (const std::size_t offset : {0, 3, 8, 15}) {
          SCOPED_TRACE(testing::Message()
                       << tolvane::cpu::nameOf(path) << ", " << voxels << " voxels, " << timePoints
                       << " time points, offset " << offset);
          expectCoursesFromTheRing(voxels, timePoints, offset, path);
        }
      }
    }
  }
}
