// The batched scale factors must equal the library-based ones for every radius the
// polar method can accept: every float in (0, 1), subnormals included, on every vector
// path this machine runs. In the optimised build this test tries them all, which is
// the proof that the batched deviates cannot differ from gasdev's; under the
// sanitizers, which slow arithmetic many times over, it tries every 61st.
#include "numerics/polar_scale.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "numerics/random_state.h"

namespace {

using tolvane::cpu::nameOf;
using tolvane::cpu::VectorPath;

#if defined(__SANITIZE_ADDRESS__)
constexpr std::uint32_t kBitStep = 61;
#else
constexpr std::uint32_t kBitStep = 1;
#endif

constexpr std::uint32_t kFirstBits = 0x00000001;  // the smallest subnormal
constexpr std::uint32_t kEndBits = 0x3F800000;    // 1.0f, excluded

}  // namespace

TEST(PolarScales, EqualTheLibraryPathForEveryRadiusInTheOpenUnitInterval) {
  for (const VectorPath path : tolvane::cpu::availableVectorPaths()) {
    SCOPED_TRACE(nameOf(path));
    constexpr std::size_t kBatch = 1 << 16;
    std::vector<float> radii(kBatch), batched(kBatch);
    std::uint64_t checked = 0, differing = 0;
    std::uint32_t firstDifference = 0;
    for (std::uint64_t start = kFirstBits; start < kEndBits; start += kBatch * kBitStep) {
      std::size_t n = 0;
      for (std::uint64_t bits = start; bits < kEndBits && n < kBatch; bits += kBitStep, ++n) {
        const auto pattern = static_cast<std::uint32_t>(bits);
        std::memcpy(&radii[n], &pattern, sizeof pattern);
      }
      tolvane::random::polarScales(radii.data(), batched.data(), n, path);
      for (std::size_t i = 0; i < n; ++i) {
        const float expected = tolvane::random::polarScale(radii[i]);
        if (std::memcmp(&expected, &batched[i], sizeof expected) != 0) {
          if (differing++ == 0) std::memcpy(&firstDifference, &radii[i], sizeof firstDifference);
        }
      }
      checked += n;
    }
    EXPECT_EQ(differing, 0u) << "first differing radius has bits 0x" << std::hex << firstDifference;
    EXPECT_GE(checked, (kEndBits - kFirstBits) / kBitStep);
  }
}

TEST(PolarScales, HandleOddCountsAndRadiiNextToTheEnds) {
  const float radii[] = {0x1p-149f, 0x1p-126f, 1.0f - 0x1p-24f, 0.5f, 1.0f - 0x1p-23f};
  float scales[5];
  for (const VectorPath path : tolvane::cpu::availableVectorPaths())
    for (std::size_t count = 1; count <= 5; ++count) {
      tolvane::random::polarScales(radii, scales, count, path);
      for (std::size_t i = 0; i < count; ++i)
        EXPECT_EQ(scales[i], tolvane::random::polarScale(radii[i]))
            << nameOf(path) << ", radius " << radii[i];
    }
}
