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

// Draws every time point into a ring and stores it, as the noise pass does, into courses
// that start `offset` floats into an allocation with room around it; every course
// must then hold its own time points, and the room must be untouched.
void expectCoursesFromTheRing(std::int64_t voxels, int timePoints, std::size_t offset) {
  constexpr std::size_t kMargin = 32;
  constexpr float kUntouched = -1.0f;
  const std::size_t values = static_cast<std::size_t>(voxels) * timePoints;
  std::vector<float> storage(offset + values + kMargin, kUntouched);
  float* courses = storage.data() + offset;
  const LineRing ring(courses, voxels, timePoints);
  ASSERT_TRUE(ring);
  for (int t = 0; t < timePoints; ++t) {
    for (std::int64_t v = 0; v < voxels; ++v) ring.drawRow(t)[v] = label(t, v);
    ring.storeTimePoint(t);
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

TEST(LineRing, HandsEveryValueToItsCourse) {
  if (!tolvane::cpu::avx2Available()) GTEST_SKIP() << "the ring stores with AVX2";
  // Course lengths of every phase period: 250 (8, as in a default run), 17 and 251 (16),
  // 20 (4), 24 (2), 256 (1, whole lines only); and shorter than a line, 5 and 12. 1100
  // voxels fill whole blocks of 64 and 128 and leave a rest; 997 leave a rest in every
  // class; 3 leave some classes empty. Offsets move every course's line boundaries.
  for (const std::int64_t voxels : {1100, 997, 3}) {
    for (const int timePoints : {250, 17, 251, 20, 24, 256, 5, 12}) {
      for (const std::size_t offset : {0, 3, 8, 15}) {
        SCOPED_TRACE(testing::Message()
                     << voxels << " voxels, " << timePoints << " time points, offset " << offset);
        expectCoursesFromTheRing(voxels, timePoints, offset);
      }
    }
  }
}
