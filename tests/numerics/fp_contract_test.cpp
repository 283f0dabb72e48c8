// The build must round a product before adding to it, exactly as written: fused
// multiply-add changes single-precision results in the last bit.
#include <gtest/gtest.h>

namespace {

[[gnu::noinline]] float multiplyAdd(float a, float b, float c) { return a * b + c; }

}  // namespace

TEST(FloatingPointContraction, ProductIsRoundedBeforeTheAddition) {
  if (!__builtin_cpu_supports("fma")) GTEST_SKIP() << "this processor has no FMA instructions";
  // (1 + 2^-12)^2 = 1 + 2^-11 + 2^-24; rounded to float the 2^-24 is lost, so the
  // sum with -(1 + 2^-11) is exactly 0. A fused operation would keep 2^-24.
  volatile float a = 1.0f + 0x1p-12f;
  volatile float c = -(1.0f + 0x1p-11f);
  EXPECT_EQ(multiplyAdd(a, a, c), 0.0f);
}
